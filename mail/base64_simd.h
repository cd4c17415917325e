// The bulk of base64 decoding: runs of whole groups of four alphabet characters, decoded with the
// processor's vector units where it has them (chosen at run time), else one group at a time.
#pragma once

namespace droprelay {

// Decodes whole groups of four alphabet characters from `p` on, 3 bytes per group at `out` (which
// it advances), stepping over line breaks (and blanks) between whole groups. Stops before the first group that
// is not four alphabet characters ("=", a character outside the alphabet, a line break inside a
// group) and before a last group of fewer than four characters; answers where it stopped.
// Reads nothing at or past `end`; writes at most 3 bytes for every 4 characters it stepped over.
// The bytes written never depend on the vector level in use; only how far a run reaches can.
const unsigned char* DecodeBase64Run(const unsigned char* p, const unsigned char* end, char*& out);

enum class Base64Simd { kScalar, kAvx2, kAvx512Vbmi };

// The best level this processor supports.
Base64Simd Base64SimdSupported();
// Sets the level in use, which is the best one unless set lower: for tests and benchmarks (not
// thread-safe against decoding at the same time); a level above the supported one is lowered.
void SetBase64Simd(Base64Simd level);

}  // namespace droprelay
