// Arbitrary bytes through every header function and decoder: nothing may crash, hang, read out of
// bounds or throw anything but the uuencode format error.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/codecs.h"
#include "mail/header_utils.h"
#include "mail/mail_error.h"

using namespace droprelay;

namespace {

// Splits the input into a few arguments at 0xFF 0x00 pairs, so one input drives functions that
// take a line and a name or value.
std::string_view NextArgument(std::string_view& rest) {
  const std::size_t cut = rest.find(std::string_view("\xFF\x00", 2));
  std::string_view arg = rest.substr(0, cut);
  rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 2);
  return arg;
}

template <typename F>
void Guarded(F f) {
  try {
    f();
  } catch (const EMailError&) {
    // The one error these functions may raise.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view rest = input;
  const std::string_view a = NextArgument(rest);
  const std::string_view b = NextArgument(rest);
  const std::string_view c = NextArgument(rest);

  Guarded([&] { DecodeEncodedWords(input); });
  Guarded([&] { DecodeEncodedWords(a); });
  NormalizeHeaderLine(input);
  NormalizeHeaderLine(a);
  GetHeaderLineValue(a);
  SetHeaderLineValue(a, b);
  GetHeaderLineParam(a, b);
  GetHeaderLineParamExtended(a, b);
  // A name written in its RFC 2231 form reads back as the same bytes.
  if (GetHeaderLineParamExtended("X: v; n*=" + EncodeHeaderParamExtended(c), "n") != c) __builtin_trap();
  SetHeaderLineParam(a, b, c);

  const TStringList lines = {std::string(a), std::string(b), std::string(c)};
  FindHeaderLine(&lines, b, static_cast<int>(c.size() % 4));

  std::string line;
  std::ptrdiff_t index = 1;
  std::size_t taken = 0;
  while (index >= 0) {
    ExtractNextLine(input, line, index);
    taken += line.size();
    if (taken > input.size()) __builtin_trap();  // lines must partition the text
  }

  const std::string qp = DecodeQuotedPrintable(input);
  if (qp.size() > input.size()) __builtin_trap();
  if (DecodeQuotedPrintable(EncodeQuotedPrintable(input, size % 2 == 0)) != input) __builtin_trap();

  std::string bytes;
  if (Base64DecodeBuffer(input, bytes) != bytes.size() || bytes.size() > input.size() / 4 * 3) __builtin_trap();

  UULineBuffer uu{};
  Guarded([&] {
    const int n = UUDecodeLine(a, uu);
    if (n < 0 || n > 45) __builtin_trap();
  });
  TMemoryStream stream;
  Guarded([&] { UUDecodeToStream(input, stream); });

  std::ptrdiff_t start = -1;
  bool end = false;
  std::string_view piece;
  std::size_t lineCount = 0;
  for (;;) {
    NextBufferLine(input, start, end, piece);
    if (end) break;
    if (piece.data() < input.data() || piece.data() + piece.size() > input.data() + input.size()) __builtin_trap();
    if (++lineCount > input.size() + 1) __builtin_trap();
  }
  CleanFileName(input);
  return 0;
}
