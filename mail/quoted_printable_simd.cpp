// Debian builds for generic x86-64: the vector code is compiled for its target in this function
// only and chosen when the processor reports the instructions.
#include "mail/quoted_printable_simd.h"

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#define DROPRELAY_QP_X86 1
#endif

namespace droprelay {

namespace {

bool forcedScalar = false;

#ifdef DROPRELAY_QP_X86

#define DROPRELAY_QP_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi,bmi2,popcnt")))

// Each byte's value as a hex digit; `valid` has a bit for each byte that is one.
DROPRELAY_QP_TARGET inline __m512i HexDigits(__m512i x, __mmask64& valid) {
  const __m512i fromZero = _mm512_sub_epi8(x, _mm512_set1_epi8('0'));
  const __m512i fromA = _mm512_sub_epi8(_mm512_or_si512(x, _mm512_set1_epi8(0x20)), _mm512_set1_epi8('a'));
  const __mmask64 digit = _mm512_cmple_epu8_mask(fromZero, _mm512_set1_epi8(9));
  const __mmask64 letter = _mm512_cmple_epu8_mask(fromA, _mm512_set1_epi8(5));
  valid = digit | letter;
  // Four bits in every byte, whatever it held: the high digit is shifted within 16-bit lanes.
  return _mm512_and_si512(_mm512_mask_blend_epi8(letter, fromZero, _mm512_add_epi8(fromA, _mm512_set1_epi8(10))),
                          _mm512_set1_epi8(0x0F));
}

DROPRELAY_QP_TARGET const char* DecodeBlocksVbmi2(const char* p, const char* end, char*& out) {
  // 64 bytes and the two digits an escape in the last place may need.
  while (end - p >= 66) {
    const __m512i here = _mm512_loadu_si512(p);
    const __m512i next1 = _mm512_loadu_si512(p + 1);
    const __m512i next2 = _mm512_loadu_si512(p + 2);
    const __mmask64 equals = _mm512_cmpeq_epi8_mask(here, _mm512_set1_epi8('='));
    __mmask64 highValid;
    __mmask64 lowValid;
    const __m512i high = HexDigits(next1, highValid);
    const __m512i low = HexDigits(next2, lowValid);
    const __mmask64 escapes = equals & highValid & lowValid;
    // Hex digits are never "=", so whole escapes cannot overlap. The block ends before the first
    // "=" that begins no escape, and before an escape whose digits lie past it.
    std::uint64_t length = 64;
    if (const std::uint64_t other = equals & ~escapes) length = static_cast<std::uint64_t>(_tzcnt_u64(other));
    const std::uint64_t inBlock = length == 64 ? ~0ull : (1ull << length) - 1;
    if (const std::uint64_t straddling = escapes & inBlock & ~(inBlock >> 2)) {
      length = static_cast<std::uint64_t>(_tzcnt_u64(straddling));
    }
    if (length == 0) break;
    const std::uint64_t taken = length == 64 ? ~0ull : (1ull << length) - 1;
    const std::uint64_t starts = escapes & taken;
    const __m512i decoded = _mm512_or_si512(_mm512_slli_epi16(high, 4), low);
    const __m512i bytes = _mm512_mask_blend_epi8(starts, here, decoded);
    // Every byte is kept but an escape's two digits.
    const std::uint64_t keep = taken & ~(starts << 1) & ~(starts << 2);
    const std::uint64_t count = static_cast<std::uint64_t>(_mm_popcnt_u64(keep));
    const __m512i packed = _mm512_maskz_compress_epi8(keep, bytes);
    _mm512_mask_storeu_epi8(out, count == 64 ? ~0ull : (1ull << count) - 1, packed);
    out += count;
    p += length;
    if (length < 62) break;  // stopped at something the byte-by-byte decoder must see
  }
  return p;
}

using BlockDecoder = const char* (*)(const char*, const char*, char*&);

BlockDecoder Chosen() {
  static const BlockDecoder chosen =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
              __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2")
          ? DecodeBlocksVbmi2
          : nullptr;
  return chosen;
}

#endif

}  // namespace

const char* DecodeQuotedPrintableBlocks(const char* p, const char* end, char*& out) {
#ifdef DROPRELAY_QP_X86
  if (!forcedScalar) {
    if (const BlockDecoder decode = Chosen()) return decode(p, end, out);
  }
#else
  (void)end;
  (void)out;
#endif
  return p;
}

void ForceScalarQuotedPrintable(bool scalar) { forcedScalar = scalar; }

}  // namespace droprelay
