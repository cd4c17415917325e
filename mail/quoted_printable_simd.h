// Quoted-printable escapes decoded sixteen at a time: text in a non-Latin script is escapes back
// to back ("=D0=9F=D1=80..."), three stored bytes per byte of text.
#pragma once

namespace droprelay {

// Decodes the run of "=XX" escapes (either case of hex digits) that starts at `p`, as far as it
// goes while at least 48 bytes remain, writing the bytes at `out` and moving it past them. It may
// write up to 16 bytes beyond what it decodes (the caller's output has that slack). Answers where
// it stopped: at the first byte that does not begin a whole escape, or where fewer than 48 bytes
// remain; the caller decodes from there byte by byte.
const char* DecodeEscapeRun(const char* p, const char* end, char*& out);

// For tests: true makes DecodeEscapeRun decode nothing, as on a processor without SSSE3.
void ForceScalarEscapeRuns(bool scalar);

}  // namespace droprelay
