#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace droprelay::platform {

namespace {

// Fills `bytes` from the kernel's random source. getrandom(2) is one system call; constructing a
// std::random_device for every draw costs far more (it probes the processor each time, which a
// virtual machine traps), and a message may need several boundaries.
void FillRandom(unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t got = ::getrandom(bytes, count, 0);
    if (got > 0) {
      bytes += got;
      count -= static_cast<std::size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    // No getrandom (a very old kernel): the C++ library's source instead.
    std::random_device device;
    for (; count > 0; --count) *bytes++ = static_cast<unsigned char>(device());
  }
}

}  // namespace

std::uint32_t RandomNumber() {
  // Reads the kernel's random source on every draw: nothing to seed, nothing shared to lock.
  unsigned char bytes[4];
  FillRandom(bytes, sizeof bytes);
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::string RandomHex(std::size_t digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string bytes((digits + 1) / 2, '\0');
  FillRandom(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size());
  std::string out;
  out.reserve(digits);
  for (std::size_t i = 0; out.size() < digits; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i / 2]);
    out += kHex[i % 2 == 0 ? byte & 15 : byte >> 4];
  }
  return out;
}

}  // namespace droprelay::platform
