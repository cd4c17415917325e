// Running one of the Python peers of tests/mail over a table of cases, with Debian's
// /usr/bin/python3 (its standard library is the peer): cases and answers go as hexadecimal lines.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace droprelay::testing {

// Bytes in hexadecimal, "=" for none (an empty field would vanish between blanks).
inline std::string Hex(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (bytes.empty()) return "=";
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

inline std::string Unhex(std::string_view hex) {
  std::string out;
  if (hex == "=") return out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return out;
}

// Runs tests/mail/`script` in `mode` on a file holding `lines`, one case each; its answer lines.
inline std::vector<std::string> RunPythonPeer(const std::string& script, const std::string& mode,
                                              const std::vector<std::string>& lines) {
  namespace fs = std::filesystem;
  const fs::path input = fs::temp_directory_path() / (script + "-" + std::to_string(::getpid()) + "-" + mode);
  {
    std::ofstream out(input, std::ios::binary);
    for (const std::string& line : lines) out << line << '\n';
  }
  const std::string command = "/usr/bin/python3 '" + (fs::path(DROPRELAY_TEST_DATA) / ".." / "mail" / script).string() +
                              "' " + mode + " '" + input.string() + "'";
  std::vector<std::string> answers;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    std::string answer;
    for (int c; (c = std::fgetc(pipe)) != EOF;) {
      if (c != '\n') {
        answer += static_cast<char>(c);
        continue;
      }
      answers.push_back(answer);
      answer.clear();
    }
    ::pclose(pipe);
  }
  fs::remove(input);
  return answers;
}

}  // namespace droprelay::testing
