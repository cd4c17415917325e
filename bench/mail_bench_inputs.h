// The benchmark's input messages, generated deterministically into a folder and reused while
// their stamp matches: (a) one message with a 50 MiB base64 attachment, (b) 2,000 small
// multipart/alternative messages with Cyrillic encoded-word subjects, (c) one message with 200
// attachments of 100 KiB, (d) one message whose text body is 20 MB of quoted-printable Cyrillic
// UTF-8, (e) one message of 100,000 tiny parts.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mail/codecs.h"

namespace droprelay::bench {

namespace fs = std::filesystem;

inline constexpr const char* kInputStamp = "droprelay mail bench inputs v3";
inline constexpr std::size_t kLargeAttachmentBytes = 50u << 20;
inline constexpr int kSmallMessages = 2000;
inline constexpr int kManyAttachments = 200;
inline constexpr std::size_t kManyAttachmentBytes = 100u << 10;
inline constexpr std::size_t kQuotedBodyBytes = 20u << 20;  // the body as stored, encoded
inline constexpr int kTinyParts = 100000;

// splitmix64: the same bytes on every machine and run.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::string Bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
      const std::uint64_t v = Next();
      for (std::size_t k = 0; k < 8 && i + k < n; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
    }
    return s;
  }

 private:
  std::uint64_t state_;
};

inline std::string Base64Lines(const std::string& data) {
  TMemoryStream source, encoded;
  source.Write(data);
  Base64EncodeStream(encoded, source);
  return std::string(encoded.View());
}

inline std::string Header(const std::string& subject, const std::string& contentType, int id) {
  return "From: =?utf-8?B?0J/RgNC+0LLQtdGA0LrQsA==?= <sender@example.org>\r\n"
         "To: Recipient <rcpt@example.org>\r\n"
         "Subject: " + subject + "\r\n"
         "Date: Mon, 01 Jun 2026 10:00:00 +0000\r\n"
         "Message-ID: <bench-" + std::to_string(id) + "@example.org>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: " + contentType + "\r\n"
         "\r\n";
}

inline std::string AttachmentPart(const std::string& boundary, const std::string& name, const std::string& data) {
  return "--" + boundary + "\r\n"
         "Content-Type: application/octet-stream; name=\"" + name + "\"\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename=\"" + name + "\"\r\n"
         "\r\n" + Base64Lines(data);
}

inline std::string TextPart(const std::string& boundary, const std::string& type, const std::string& utf8) {
  return "--" + boundary + "\r\n"
         "Content-Type: " + type + "; charset=\"utf-8\"\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n"
         "\r\n" + EncodeQuotedPrintable(utf8, false) + "\r\n";
}

inline std::string LargeAttachmentMessage() {
  Random random(1);
  const std::string b = "bench-a-boundary";
  return Header("Large attachment", "multipart/mixed; boundary=\"" + b + "\"", 0) +
         "This is a multi-part message in MIME format.\r\n" +
         TextPart(b, "text/plain", "Please find the archive attached.") +
         AttachmentPart(b, "archive.bin", random.Bytes(kLargeAttachmentBytes)) + "--" + b + "--\r\n";
}

inline std::string CyrillicText(Random& random, int words) {
  static const char* const kWords[] = {"привет", "отчёт", "письмо", "сервер", "почта", "задача",
                                       "проект", "время", "сегодня", "неделя", "вложение", "ответ"};
  std::string s;
  for (int i = 0; i < words; ++i) {
    if (i > 0) s += (i % 12 == 0) ? "\r\n" : " ";
    s += kWords[random.Next() % (sizeof kWords / sizeof kWords[0])];
  }
  return s;
}

inline std::string SmallMessage(int index) {
  Random random(1000 + static_cast<std::uint64_t>(index));
  const std::string subject = CyrillicText(random, 5) + " №" + std::to_string(index);
  const std::string b = "bench-b-" + std::to_string(index);
  const std::string text = CyrillicText(random, 120);
  const std::string html = "<html><body><p>" + CyrillicText(random, 120) + "</p></body></html>";
  return Header("=?utf-8?B?" + [&] {
                  std::string enc = Base64Lines(subject);
                  std::string flat;
                  for (char c : enc) {
                    if (c != '\r' && c != '\n') flat.push_back(c);
                  }
                  return flat;
                }() + "?=",
                "multipart/alternative; boundary=\"" + b + "\"", index) +
         TextPart(b, "text/plain", text) + TextPart(b, "text/html", html) + "--" + b + "--\r\n";
}

inline std::string ManyAttachmentsMessage() {
  Random random(2);
  const std::string b = "bench-c-boundary";
  std::string m = Header("Many attachments", "multipart/mixed; boundary=\"" + b + "\"", 1) +
                  TextPart(b, "text/plain", "Two hundred files attached.");
  for (int i = 0; i < kManyAttachments; ++i) {
    m += AttachmentPart(b, "file" + std::to_string(i) + ".bin", random.Bytes(kManyAttachmentBytes));
  }
  return m + "--" + b + "--\r\n";
}

// A long Cyrillic letter (lines of twelve words, an ASCII figure now and then), quoted-printable:
// nearly every byte of the stored body is part of an "=XX" escape.
inline std::string QuotedPrintableMessage() {
  Random random(3);
  std::string encoded;
  while (encoded.size() < kQuotedBodyBytes) {
    // Each paragraph ends in CR LF, where the encoder's column starts again: encoding paragraph by
    // paragraph gives the same text as encoding the whole.
    const std::string paragraph =
        CyrillicText(random, 600) + " (" + std::to_string(random.Next() % 100000) + " = итого)\r\n\r\n";
    encoded += EncodeQuotedPrintable(paragraph, false);
  }
  return Header("=?utf-8?B?0J7RgtGH0ZHRgg==?=",
                "text/plain; charset=\"utf-8\"\r\nContent-Transfer-Encoding: quoted-printable", 2) +
         encoded;
}

// One multipart/mixed with a text part and 100,000 tiny text parts (about 4 MB): every step must
// be linear in the number of parts.
inline std::string TinyPartsMessage() {
  const std::string b = "bench-e";
  std::string m = Header("Many tiny parts", "multipart/mixed; boundary=\"" + b + "\"", 3) +
                  TextPart(b, "text/plain", "A hundred thousand parts.");
  m.reserve(kTinyParts * 48);
  for (int i = 0; i < kTinyParts; ++i) {
    m += "--" + b + "\r\nContent-Type: text/plain\r\n\r\npart " + std::to_string(i) + "\r\n";
  }
  return m + "--" + b + "--\r\n";
}

struct Inputs {
  fs::path large;                // (a)
  std::vector<fs::path> small;   // (b)
  fs::path many;                 // (c)
  fs::path quoted;               // (d)
  fs::path tiny;                 // (e)
};

inline void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// The folder is $DROPRELAY_BENCH_DIR or a fixed one under the temporary folder.
inline Inputs PrepareInputs(bool generate) {
  const char* env = std::getenv("DROPRELAY_BENCH_DIR");
  const fs::path dir = env != nullptr ? fs::path(env) : fs::temp_directory_path() / "droprelay-mail-bench";
  Inputs in;
  in.large = dir / "a-large-attachment.eml";
  in.many = dir / "c-many-attachments.eml";
  in.quoted = dir / "d-quoted-printable-text.eml";
  in.tiny = dir / "e-tiny-parts.eml";
  for (int i = 0; i < kSmallMessages; ++i) in.small.push_back(dir / "b" / (std::to_string(i) + ".eml"));

  const fs::path stamp = dir / "STAMP";
  std::string current;
  if (std::ifstream s(stamp); s) std::getline(s, current);
  if (current == kInputStamp || !generate) return in;

  fs::create_directories(dir / "b");
  WriteFile(in.large, LargeAttachmentMessage());
  for (int i = 0; i < kSmallMessages; ++i) WriteFile(in.small[static_cast<std::size_t>(i)], SmallMessage(i));
  WriteFile(in.many, ManyAttachmentsMessage());
  WriteFile(in.quoted, QuotedPrintableMessage());
  WriteFile(in.tiny, TinyPartsMessage());
  WriteFile(stamp, std::string(kInputStamp) + "\n");
  return in;
}

inline std::uint64_t TotalSize(const std::vector<fs::path>& files) {
  std::uint64_t total = 0;
  for (const auto& f : files) total += fs::file_size(f);
  return total;
}

}  // namespace droprelay::bench
