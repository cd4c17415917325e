// Random tokens: names no other process or message will choose (boundaries, message ids, pickup
// file names). One generator for all of them, drawing on the operating system's random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace droprelay::platform {

// 32 random bits from the operating system.
std::uint32_t RandomNumber();

// `digits` lower-case hexadecimal digits: each 32-bit draw gives eight, lowest nibble first.
std::string RandomHex(std::size_t digits);

}  // namespace droprelay::platform
