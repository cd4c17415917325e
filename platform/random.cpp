#include "platform/random.h"

#include <random>

namespace droprelay::platform {

std::uint32_t RandomNumber() {
  // Reads the kernel's random source on every draw: nothing to seed, nothing shared to lock.
  std::random_device device;
  return static_cast<std::uint32_t>(device());
}

std::string RandomHex(std::size_t digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(digits);
  while (out.size() < digits) {
    std::uint32_t value = RandomNumber();
    for (int i = 0; i < 8 && out.size() < digits; ++i, value >>= 4) out += kHex[value & 15];
  }
  return out;
}

}  // namespace droprelay::platform
