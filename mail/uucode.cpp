// uuencode decoding of single lines and of whole blocks of data lines.
#include <algorithm>

#include "mail/codecs.h"
#include "mail/mail_error.h"
#include "text/lines.h"

namespace droprelay {

namespace {
constexpr std::size_t kMaxLineBytes = std::tuple_size_v<UULineBuffer>;  // 45
constexpr std::size_t kMaxDataChars = kMaxLineBytes / 3 * 4;              // 60
}  // namespace

int UUDecodeChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u == 0x60 || u == 0x20) return 0;
  if (u >= 0x21 && u <= 0x5F) return u - 0x20;
  throw EMailError("UUCODE message format error");
}

int UUDecodeLine(std::string_view line, UULineBuffer& dest) {
  if (line.empty()) return 0;
  const int count = UUDecodeChar(line[0]);
  // At most 60 characters are read whatever the count says, so neither the line nor the
  // 45-byte buffer is ever overrun.
  const std::string_view data = line.substr(1, kMaxDataChars);
  dest.fill(0);
  std::uint32_t bits = 0;
  int pending = 0;
  std::size_t out = 0;
  for (const char c : data) {
    bits = (bits << 6) | static_cast<std::uint32_t>(UUDecodeChar(c));
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      dest[out++] = static_cast<std::uint8_t>(bits >> pending);
    }
  }
  if (count <= static_cast<int>(kMaxLineBytes)) return count;
  // A count above "M" claims more than a line can carry: answer only what the characters held.
  return static_cast<int>(std::min(kMaxLineBytes, data.size() * 6 / 8));
}

bool UUDecodeToStream(std::string_view text, TMemoryStream& dest) {
  dest.Clear();
  std::ptrdiff_t start = -1;
  bool endFlag = false;
  std::string_view line;
  UULineBuffer decoded{};
  for (;;) {
    NextBufferLine(text, start, endFlag, line);
    if (endFlag) break;
    if (line.empty()) continue;
    // A line is read as a C string, so it ends at a NUL byte.
    const std::string_view data = line.substr(0, line.find('\0'));
    const int n = UUDecodeLine(data, decoded);
    if (n > 0) {
      dest.Write(std::string_view(reinterpret_cast<const char*>(decoded.data()), static_cast<std::size_t>(n)));
    }
  }
  return true;
}

UUBlockDamage UUDecodeBlock(std::string_view text, bool cut, TMemoryStream& dest) {
  dest.Clear();
  UUBlockDamage damage;
  // Only the last line can be cut: the text ends inside it.
  std::size_t lastLine = text.size();
  if (cut) {
    std::string_view rest = text;
    while (rest.size() >= 2 && rest.substr(rest.size() - 2) == "\r\n") rest.remove_suffix(2);
    const std::size_t lastBreak = rest.rfind("\r\n");
    lastLine = lastBreak == std::string_view::npos ? 0 : lastBreak + 2;
  }
  ByteBuffer decoded;
  UULineBuffer buffer{};
  CrLfLines lines(text);
  while (lines.Next()) {
    const std::string_view line = lines.Line().substr(0, lines.Line().find('\0'));
    if (line.empty()) continue;
    try {
      const int n = UUDecodeLine(line, buffer);
      const std::size_t wanted = (static_cast<std::size_t>(std::min(UUDecodeChar(line[0]), 45)) + 2) / 3 * 4;
      if (lines.LineStart() == lastLine && line.size() - 1 < wanted) {
        damage.problem = "the line is cut short: " + std::to_string(line.size() - 1) + " of " +
                         std::to_string(wanted) + " characters";
      } else {
        decoded.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
        ++damage.lines;
        continue;
      }
    } catch (const EMailError& error) {
      damage.problem = error.what();
    }
    damage.damaged = true;
    damage.offset = lines.LineStart();
    break;
  }
  dest.Assign(std::move(decoded));
  return damage;
}

}  // namespace droprelay
