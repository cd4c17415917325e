// Whole-group base64 decoding. A block of characters is checked and translated at once; the first
// character outside the alphabet ends the block's whole groups. A line break right after them is
// stepped over and the next block starts behind it, so lines of any length that is a multiple of 4
// stay on the vector path (with AVX2, those of 32 characters or more); anything else is left to
// the one-group loop and the caller's character-by-character loop.
// Debian builds for generic x86-64, so the vector code is compiled per function for its target
// and picked when the processor reports it.
#include "mail/base64_simd.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "mail/codecs.h"

#if defined(__x86_64__) || defined(__i386__)
#define DROPRELAY_BASE64_X86 1
#include <immintrin.h>
#endif

namespace droprelay {

namespace {

// The value of each character already in its place in a group's 24 bits, one table per place;
// a character outside the alphabet, or "=", sets bit 24 instead.
constexpr std::uint32_t kNotInGroup = 1u << 24;
constexpr std::array<std::uint32_t, 256> MakePlaced(int shift) {
  std::array<std::uint32_t, 256> placed{};
  for (auto& v : placed) v = kNotInGroup;
  for (std::size_t i = 0; i < Base64Table.size(); ++i) {
    placed[static_cast<unsigned char>(Base64Table[i])] = static_cast<std::uint32_t>(i) << shift;
  }
  return placed;
}
constexpr std::array<std::uint32_t, 256> kPlaced0 = MakePlaced(18);
constexpr std::array<std::uint32_t, 256> kPlaced1 = MakePlaced(12);
constexpr std::array<std::uint32_t, 256> kPlaced2 = MakePlaced(6);
constexpr std::array<std::uint32_t, 256> kPlaced3 = MakePlaced(0);

const unsigned char* DecodeGroupsScalar(const unsigned char* p, const unsigned char* end, char*& out) {
  char* o = out;
  while (end - p >= 4) {
    const std::uint32_t group = kPlaced0[p[0]] | kPlaced1[p[1]] | kPlaced2[p[2]] | kPlaced3[p[3]];
    if (group & kNotInGroup) {
      // A line break between whole groups, the usual line end, is skipped here.
      if (p[0] == '\r' && p[1] == '\n') {
        p += 2;
        continue;
      }
      break;
    }
    o[0] = static_cast<char>(group >> 16);
    o[1] = static_cast<char>(group >> 8);
    o[2] = static_cast<char>(group);
    o += 3;
    p += 4;
  }
  out = o;
  return p;
}

#ifdef DROPRELAY_BASE64_X86

// Line breaks, blanks and tabs take no place in a group and are no damage, so between whole groups
// a run of them is simply stepped over. Answers the character after the run (`p` if none).
inline const unsigned char* SkipLineBreak(const unsigned char* p, const unsigned char* end) {
  while (p < end && (*p == '\r' || *p == '\n' || *p == ' ' || *p == '\t')) ++p;
  return p;
}

// Where the next line break is expected. Finding each break from the characters makes every block's
// address wait for the previous block's check; once a line has shown the layout (its length, a
// multiple of 4, and its break), the next line is taken whole on that guess, and the guess is only
// confirmed: a wrong one costs a step of the ordinary loop, which learns the layout again.
struct LineGuess {
  static constexpr std::size_t kLongestLine = 256;
  static constexpr std::size_t kLongestBreak = 4;

  const unsigned char* lineStart;  // where the current line began (or the run, at first)
  std::size_t length = 0;          // 0: no guess
  std::size_t breakLength = 0;
  unsigned char breakBytes[kLongestBreak] = {};

  // True if a whole line of the guessed layout starts at `p` and ends within `end`.
  bool Holds(const unsigned char* p, const unsigned char* end) const {
    if (length == 0 || p != lineStart || static_cast<std::size_t>(end - p) < length + breakLength) return false;
    for (std::size_t i = 0; i < breakLength; ++i) {
      if (p[length + i] != breakBytes[i]) return false;
    }
    return true;
  }
  // The ordinary loop stepped over the break from `at` to `next`, right after whole groups.
  void Learn(const unsigned char* at, const unsigned char* next) {
    length = static_cast<std::size_t>(at - lineStart);
    breakLength = static_cast<std::size_t>(next - at);
    if (length > kLongestLine || breakLength > kLongestBreak) length = 0;
    if (length != 0) std::memcpy(breakBytes, at, breakLength);
    lineStart = next;
  }
};

#define DROPRELAY_AVX2 __attribute__((target("avx2"), always_inline)) inline
#define DROPRELAY_AVX2_LOOP __attribute__((target("avx2")))
#define DROPRELAY_VBMI_TARGET "avx2,avx512f,avx512bw,avx512vbmi"
#define DROPRELAY_VBMI __attribute__((target(DROPRELAY_VBMI_TARGET), always_inline)) inline
#define DROPRELAY_VBMI_LOOP __attribute__((target(DROPRELAY_VBMI_TARGET)))

struct Avx2Block {
  __m256i bytes;             // 24 decoded bytes, then 8 of no meaning
  std::uint32_t inAlphabet;  // one bit per character
};

// 32 characters at once. Validity comes from two 16-entry lookups, one by each half of the
// character: the high half's entry holds the classes of low halves that are NOT in the alphabet
// beside it, the low half's entry names its class, and a common bit means "outside". Classes of
// low halves: 0 | 1..9 | A | B | C..E | F.
DROPRELAY_AVX2 Avx2Block DecodeBlockAvx2(const unsigned char* p) {
  const __m256i lowClass = _mm256_setr_epi8(0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x04, 0x08,
                                            0x10, 0x10, 0x10, 0x20,  //
                                            0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x04, 0x08,
                                            0x10, 0x10, 0x10, 0x20);
  // 0x2_: only "+" (B) and "/" (F); 0x3_: 0..9; 0x4_, 0x6_: all but 0; 0x5_, 0x7_: 0..A; else none.
  const __m256i outsideByHigh = _mm256_setr_epi8(0x3F, 0x3F, 0x17, 0x3C, 0x01, 0x38, 0x01, 0x38, 0x3F, 0x3F, 0x3F,
                                                 0x3F, 0x3F, 0x3F, 0x3F, 0x3F,  //
                                                 0x3F, 0x3F, 0x17, 0x3C, 0x01, 0x38, 0x01, 0x38, 0x3F, 0x3F, 0x3F,
                                                 0x3F, 0x3F, 0x3F, 0x3F, 0x3F);
  // What to add to a character to get its value, by its high half; "/" looks up entry 1.
  const __m256i shiftByHigh = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                               0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  // Four 6-bit values to one 24-bit number per 32 bits, then its three bytes high first, packed.
  const __m256i pairWeights = _mm256_set1_epi32(0x01400140);
  const __m256i quadWeights = _mm256_set1_epi32(0x00011000);
  const __m256i bytesHighFirst = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                                  2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i joinLanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);

  const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble);
  const __m256i low = _mm256_and_si256(in, nibble);
  const __m256i outside =
      _mm256_and_si256(_mm256_shuffle_epi8(outsideByHigh, high), _mm256_shuffle_epi8(lowClass, low));
  const __m256i shift =
      _mm256_shuffle_epi8(shiftByHigh, _mm256_add_epi8(high, _mm256_cmpeq_epi8(in, _mm256_set1_epi8('/'))));
  const __m256i numbers =
      _mm256_madd_epi16(_mm256_maddubs_epi16(_mm256_add_epi8(in, shift), pairWeights), quadWeights);
  return {_mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(numbers, bytesHighFirst), joinLanes),
          static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(outside, _mm256_setzero_si256())))};
}

DROPRELAY_AVX2 void Store24(char* o, __m256i bytes) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(bytes));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm256_extracti128_si256(bytes, 1));
}

DROPRELAY_AVX2_LOOP const unsigned char* DecodeGroupsAvx2(const unsigned char* p, const unsigned char* end,
                                                          char*& out) {
  char* o = out;
  LineGuess guess{p};
  while (end - p >= 32) {
    if (guess.Holds(p, end)) {
      const std::size_t length = guess.length;
      // Lines shorter than a block go faster through the one-group loop, which steps over CR LF.
      if (length < 32) break;
      // The line in blocks of 32, the last one ending at the line's end (overlapping the one
      // before it); stored only once the whole line is known to be alphabet.
      const std::size_t blocks = (length + 31) / 32;
      Avx2Block block[LineGuess::kLongestLine / 32];
      std::uint32_t all = ~0u;
      for (std::size_t k = 0; k < blocks; ++k) {
        block[k] = DecodeBlockAvx2(p + std::min(32 * k, length - 32));
        all &= block[k].inAlphabet;
      }
      if (all == ~0u) {
        for (std::size_t k = 0; k < blocks; ++k) Store24(o + std::min(32 * k, length - 32) / 4 * 3, block[k].bytes);
        o += length / 4 * 3;
        p += length + guess.breakLength;
        guess.lineStart = p;
        continue;
      }
    }
    const Avx2Block block = DecodeBlockAvx2(p);
    if (block.inAlphabet == ~0u) {
      Store24(o, block.bytes);
      o += 24;
      p += 32;
      continue;
    }
    const auto first = static_cast<unsigned>(__builtin_ctz(~block.inAlphabet));
    const unsigned whole = first & ~3u;
    if (whole != 0) {
      // Only the whole groups' bytes: the buffer may end right after them.
      alignas(32) char bytes[32];
      _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), block.bytes);
      std::memcpy(o, bytes, whole / 4 * 3);
      o += whole / 4 * 3;
      p += whole;
    }
    if (whole != first) break;
    const unsigned char* const next = SkipLineBreak(p, end);
    if (next == p) break;
    guess.Learn(p, next);
    p = next;
  }
  out = o;
  return p;
}

// 64 characters at once, under a mask so nothing past the end is read. One 128-entry lookup gives
// each 7-bit character its value or 0x80 for "outside"; a character with its top bit set is
// outside too.
constexpr std::array<std::int8_t, 128> MakeVbmiValues() {
  std::array<std::int8_t, 128> values{};
  for (auto& v : values) v = -128;
  for (std::size_t i = 0; i < Base64Table.size(); ++i) {
    values[static_cast<unsigned char>(Base64Table[i])] = static_cast<std::int8_t>(i);
  }
  return values;
}
alignas(64) constexpr std::array<std::int8_t, 128> kVbmiValues = MakeVbmiValues();

// Byte j of 48 output bytes is byte 2 - j % 3 of the 32-bit number of group j / 3.
constexpr std::array<std::uint8_t, 64> MakeVbmiOrder() {
  std::array<std::uint8_t, 64> order{};
  for (unsigned j = 0; j < 48; ++j) order[j] = static_cast<std::uint8_t>(j / 3 * 4 + 2 - j % 3);
  return order;
}
alignas(64) constexpr std::array<std::uint8_t, 64> kVbmiOrder = MakeVbmiOrder();

struct VbmiBlock {
  __m512i bytes;      // 48 decoded bytes, then 16 of no meaning
  __mmask64 outside;  // one bit per character; the characters not loaded count as outside
};

inline __mmask64 LowBits(std::size_t count) { return count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1; }

DROPRELAY_VBMI VbmiBlock DecodeBlockVbmi(const unsigned char* p, std::size_t count) {
  const __m512i tableLow = _mm512_load_si512(kVbmiValues.data());
  const __m512i tableHigh = _mm512_load_si512(kVbmiValues.data() + 64);
  const __m512i pairWeights = _mm512_set1_epi32(0x01400140);
  const __m512i quadWeights = _mm512_set1_epi32(0x00011000);
  const __m512i bytesHighFirst = _mm512_load_si512(kVbmiOrder.data());

  const __mmask64 loaded = LowBits(count);
  const __m512i in = _mm512_maskz_loadu_epi8(loaded, p);
  const __m512i values = _mm512_permutex2var_epi8(tableLow, in, tableHigh);
  const __m512i numbers = _mm512_madd_epi16(_mm512_maddubs_epi16(values, pairWeights), quadWeights);
  // (The masked form only because GCC's unmasked one warns about its undefined source.)
  return {_mm512_maskz_permutexvar_epi8(~__mmask64{0}, bytesHighFirst, numbers),
          _mm512_movepi8_mask(_mm512_or_si512(values, in)) | ~loaded};
}

DROPRELAY_VBMI_LOOP const unsigned char* DecodeGroupsVbmi(const unsigned char* p, const unsigned char* end,
                                                          char*& out) {
  char* o = out;
  LineGuess guess{p};
  while (end - p >= 4) {
    if (guess.Holds(p, end)) {
      // The line in blocks of 64, stored only once the whole line is known to be alphabet. Lines
      // of up to two blocks, nearly all, are spelled out: they stay in registers.
      const std::size_t length = guess.length;
      bool stored = false;
      if (length <= 128) {
        const std::size_t headCount = std::min<std::size_t>(length, 64);
        const std::size_t tailCount = length - headCount;
        const VbmiBlock head = DecodeBlockVbmi(p, headCount);
        __mmask64 outside = head.outside & LowBits(headCount);
        VbmiBlock tail{};
        if (tailCount != 0) {
          tail = DecodeBlockVbmi(p + headCount, tailCount);
          outside |= tail.outside & LowBits(tailCount);
        }
        if (outside == 0) {
          _mm512_mask_storeu_epi8(o, LowBits(headCount / 4 * 3), head.bytes);
          if (tailCount != 0) _mm512_mask_storeu_epi8(o + 48, LowBits(tailCount / 4 * 3), tail.bytes);
          stored = true;
        }
      } else {
        const std::size_t blocks = (length + 63) / 64;
        VbmiBlock block[LineGuess::kLongestLine / 64];
        __mmask64 outside = 0;
        for (std::size_t k = 0; k < blocks; ++k) {
          const std::size_t count = std::min<std::size_t>(length - 64 * k, 64);
          block[k] = DecodeBlockVbmi(p + 64 * k, count);
          outside |= block[k].outside & LowBits(count);
        }
        if (outside == 0) {
          for (std::size_t k = 0; k < blocks; ++k) {
            const std::size_t count = std::min<std::size_t>(length - 64 * k, 64);
            _mm512_mask_storeu_epi8(o + 48 * k, LowBits(count / 4 * 3), block[k].bytes);
          }
          stored = true;
        }
      }
      if (stored) {
        o += length / 4 * 3;
        p += length + guess.breakLength;
        guess.lineStart = p;
        continue;
      }
    }
    const VbmiBlock block = DecodeBlockVbmi(p, static_cast<std::size_t>(end - p));
    const unsigned first = block.outside == 0 ? 64u : static_cast<unsigned>(__builtin_ctzll(block.outside));
    const unsigned whole = first & ~3u;
    _mm512_mask_storeu_epi8(o, LowBits(whole / 4 * 3), block.bytes);
    o += whole / 4 * 3;
    p += whole;
    if (first == 64) continue;
    if (whole != first || p >= end) break;
    const unsigned char* const next = SkipLineBreak(p, end);
    if (next == p) break;
    guess.Learn(p, next);
    p = next;
  }
  out = o;
  return p;
}

Base64Simd DetectBase64Simd() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi")) {
    return Base64Simd::kAvx512Vbmi;
  }
  if (__builtin_cpu_supports("avx2")) return Base64Simd::kAvx2;
  return Base64Simd::kScalar;
}

#else

Base64Simd DetectBase64Simd() { return Base64Simd::kScalar; }

#endif

const Base64Simd gSupported = DetectBase64Simd();
Base64Simd gInUse = gSupported;

}  // namespace

const unsigned char* DecodeBase64Run(const unsigned char* p, const unsigned char* end, char*& out) {
#ifdef DROPRELAY_BASE64_X86
  switch (gInUse) {
    case Base64Simd::kAvx512Vbmi:
      p = DecodeGroupsVbmi(p, end, out);
      break;
    case Base64Simd::kAvx2:
      p = DecodeGroupsAvx2(p, end, out);
      break;
    case Base64Simd::kScalar:
      break;
  }
#endif
  // The tail shorter than a block, or nothing if the vector code stopped at a group it cannot take.
  return DecodeGroupsScalar(p, end, out);
}

Base64Simd Base64SimdSupported() { return gSupported; }

void SetBase64Simd(Base64Simd level) { gInUse = level > gSupported ? gSupported : level; }

}  // namespace droprelay
