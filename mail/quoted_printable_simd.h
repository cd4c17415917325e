// Quoted-printable decoding 64 stored bytes at a time where the processor has AVX-512 VBMI2:
// plain bytes and "=XX" escapes in any mixture (text in a non-Latin script is short runs of
// escapes between blanks) decode in one step per block, the escapes' digits squeezed out by a
// byte compress.
#pragma once

namespace droprelay {

// Decodes from `p` block by block as long as each block holds only plain bytes and whole escapes
// (either case of hex digits), writing exactly the decoded bytes at `out` and moving it past them.
// Stops before anything else that begins with "=" (a soft line break, an "=" that is a character
// of its own) or where fewer than 66 bytes remain, and answers where; the caller's byte-by-byte
// decoder goes on from there. Without the instructions it decodes nothing and answers `p`.
const char* DecodeQuotedPrintableBlocks(const char* p, const char* end, char*& out);

// For tests: true makes DecodeQuotedPrintableBlocks decode nothing, as on an older processor.
void ForceScalarQuotedPrintable(bool scalar);

}  // namespace droprelay
