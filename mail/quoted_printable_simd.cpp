#include "mail/quoted_printable_simd.h"

#include <array>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DROPRELAY_X86 1
#endif

namespace droprelay {

namespace {

bool forcedScalar = false;

#ifdef DROPRELAY_X86

// pshufb masks that gather, from one of the three 16-byte blocks of 48 stored bytes, the byte at
// offset `role` (0: "=", 1: high digit, 2: low digit) of each of the sixteen escapes; 0x80 where
// that byte lies in another block.
struct Gather {
  std::array<std::array<std::int8_t, 16>, 3> mask{};
};

constexpr Gather MakeGather(int role) {
  Gather g;
  for (int block = 0; block < 3; ++block) {
    for (int i = 0; i < 16; ++i) {
      const int k = 3 * i + role;
      g.mask[static_cast<std::size_t>(block)][static_cast<std::size_t>(i)] =
          static_cast<std::int8_t>(k / 16 == block ? k % 16 : 0x80);
    }
  }
  return g;
}

constexpr Gather kEquals = MakeGather(0);
constexpr Gather kHigh = MakeGather(1);
constexpr Gather kLow = MakeGather(2);

__attribute__((target("ssse3"))) __m128i Collect(const Gather& g, __m128i a, __m128i b, __m128i c) {
  const auto mask = [&](int block) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(g.mask[static_cast<std::size_t>(block)].data()));
  };
  return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, mask(0)), _mm_shuffle_epi8(b, mask(1))),
                      _mm_shuffle_epi8(c, mask(2)));
}

// The value of each byte as a hex digit, and in `valid` 0xFF where it is one. Bytes of 0x80 and
// above compare as negative and are never digits.
__attribute__((target("ssse3"))) __m128i HexValues(__m128i x, __m128i& valid) {
  const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)), _mm_cmpgt_epi8(_mm_set1_epi8('9' + 1), x));
  const __m128i lower = _mm_or_si128(x, _mm_set1_epi8(0x20));
  const __m128i letter =
      _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)), _mm_cmpgt_epi8(_mm_set1_epi8('f' + 1), lower));
  valid = _mm_or_si128(digit, letter);
  // "0".."9" carry their value in the low four bits; "A".."F" and "a".."f" carry 1..6, plus 9.
  return _mm_add_epi8(_mm_and_si128(x, _mm_set1_epi8(0x0F)), _mm_and_si128(letter, _mm_set1_epi8(9)));
}

__attribute__((target("ssse3"))) const char* DecodeEscapeRunSsse3(const char* p, const char* end, char*& out) {
  while (end - p >= 48) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    __m128i highValid;
    __m128i lowValid;
    const __m128i high = HexValues(Collect(kHigh, a, b, c), highValid);
    const __m128i low = HexValues(Collect(kLow, a, b, c), lowValid);
    const __m128i equals = _mm_cmpeq_epi8(Collect(kEquals, a, b, c), _mm_set1_epi8('='));
    const auto whole =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(equals, _mm_and_si128(highValid, lowValid))));
    // The escapes that stand back to back from the start.
    const unsigned count = static_cast<unsigned>(__builtin_ctz(~whole | 0x10000u));
    if (count == 0) break;
    // The high digit's value fits its byte's upper half: a 16-bit shift moves nothing across bytes.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(_mm_slli_epi16(high, 4), low));
    out += count;
    p += 3 * count;
    if (count < 16) break;
  }
  return p;
}

using RunDecoder = const char* (*)(const char*, const char*, char*&);

RunDecoder Chosen() {
  static const RunDecoder chosen = __builtin_cpu_supports("ssse3") ? DecodeEscapeRunSsse3 : nullptr;
  return chosen;
}

#endif

}  // namespace

const char* DecodeEscapeRun(const char* p, const char* end, char*& out) {
#ifdef DROPRELAY_X86
  if (!forcedScalar) {
    if (const auto decode = Chosen()) return decode(p, end, out);
  }
#else
  (void)end;
  (void)out;
#endif
  return p;
}

void ForceScalarEscapeRuns(bool scalar) { forcedScalar = scalar; }

}  // namespace droprelay
