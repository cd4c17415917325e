// What mailinspect reports about one stored message, gathered once and written as text or JSON.
// Every string in it is valid UTF-8, ready to print.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace droprelay::tools {

struct PartView {
  std::string label;  // "message", "[0]" ...
  std::string path;   // "message[1][0]"
  std::string type;
  std::string boundary;
  std::vector<std::string> headers;
  std::uint64_t storedSize = 0;
  std::uint64_t decodedSize = 0;
  bool embedded = false;
  std::vector<PartView> parts;
};

struct Report {
  std::string file;
  std::string error;  // empty when the file was read
  PartView parsed;
  PartView restructured;
  struct Warning {
    std::string part;
    std::string text;
    std::string code;         // the library's token ("uuencode-damaged" ...), or mailinspect's own
    std::int64_t offset = -1;  // bytes from the file's start; -1 when it has none
  };
  std::vector<Warning> warnings;
  std::vector<std::string> plainLines;
  std::vector<std::string> htmlLines;
  std::string plainText;  // the body as one text, converted from its charset
  std::string htmlText;
  struct Attachment {
    std::string name;
    std::string type;
    std::string part;
    std::uint64_t size = 0;
    bool embedded = false;
  };
  std::vector<Attachment> attachments;
  std::string subject;
  std::string to;
  std::uint64_t composedSize = 0;
};

// Loads `fileName` (regular files only; a FIFO or device is refused, never waited on) and goes
// through the relay's steps. A file that cannot be read gives a report with `error` set.
Report InspectFile(const std::string& fileName);

// The report as one JSON object.
std::string ReportJson(const Report& report);

}  // namespace droprelay::tools
