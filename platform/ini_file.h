// The INI file reader: the stand-in for the Windows profile functions.
//
// The rules are those of GetPrivateProfileString, which stored configuration files were written
// for: section and key names match without regard to case (ASCII), the first occurrence in the
// file wins, blanks around a value are not part of it, one pair of enclosing quotation marks
// (double or single) is removed, at most 2047 characters of a value are seen, and lines whose first
// non-blank character is ";" are comments (a ";" after a value belongs to the value). A section
// that appears twice is read in its first occurrence only (the API stops at the first header that
// matches), a line starting with "[" but without "]" is no section header, and CR, LF and CR LF
// all end a line.
//
// The file is read at the moment of use: every lookup checks whether the file changed (inode, size,
// modification time) and parses it again if so, so an edit takes effect without a restart. A
// missing or unreadable file is no error: every key then has its default, until KeepLastGood is
// called; from then on a read that fails keeps the settings last read and says why (ReadFailure).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace droprelay::platform {

class IniFile {
 public:
  // The longest value a lookup answers; the profile API reads into a buffer of 2048 characters.
  static constexpr std::size_t kMaxValueLength = 2047;

  explicit IniFile(std::string fileName);

  const std::string& FileName() const { return fileName_; }

  // The value of `key` in `section`, or `defaultValue` when the file, section or key is missing.
  // A key that is present with an empty value answers "" (not the default), as the profile API does.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const;

  // The value of `key` in `section`, or no value when the file, section or key is missing.
  std::optional<std::string> Lookup(std::string_view section, std::string_view key) const;

  // The value parsed as an integer (see ParseIniInteger); `defaultValue` when missing or garbage.
  int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;

  // An integer that is not 0; `defaultValue` when missing or garbage.
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

  // Reads the file now; false (error recorded) when it is there but cannot be read.
  bool Load() const;
  // From now on a file that vanishes or cannot be read keeps the settings last read: a running
  // relay never falls back to the built-in defaults because an editor replaced the file.
  void KeepLastGood() { keepLastGood_ = true; }
  // Why the settings in use are not the file's current ones (it vanished or cannot be read), or
  // nothing while they are.
  const std::optional<std::string>& ReadFailure() const {
    Refresh();
    return failure_;
  }

 private:
  struct Entry {
    std::string section;  // lower case
    std::string key;      // lower case
    std::string value;    // trimmed, unquoted, truncated
  };
  struct Stamp {
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    bool operator==(const Stamp&) const = default;
  };

  void Refresh() const;
  const Entry* Find(std::string_view section, std::string_view key) const;

  std::string fileName_;
  mutable bool loaded_ = false;
  mutable Stamp stamp_;
  mutable std::vector<Entry> entries_;
  bool keepLastGood_ = false;
  mutable std::optional<std::string> failure_;
};

// The integer rules of the configuration: optional sign, then decimal digits, or hexadecimal digits
// after "$" or (for texts longer than two characters) "0x"/"0X". Hexadecimal values up to 8 digits
// are taken as 32-bit patterns (so "$FFFFFFFF" is -1); decimal values must fit in 32 bits.
// Answers false for anything else (empty text, blanks, trailing garbage, overflow).
bool ParseIniInteger(std::string_view text, int& value);

// One key line of an INI text, as written.
struct IniEntry {
  std::string section;  // as written
  std::string key;      // as written
  std::string value;    // trimmed, unquoted, truncated
  int line = 0;         // 1-based line number
};

// One section header of an INI text. A header whose name (without regard to case) came before
// repeats it: its keys are never read.
struct IniSection {
  std::string name;   // as written
  int line = 0;       // 1-based line number
  int firstLine = 0;  // the line of the first header of that name (== line unless repeated)
  bool Repeated() const { return firstLine != line; }
};

// Everything a checker needs: the headers and every key line in file order, with the keys of
// repeated sections marked.
struct IniDocument {
  std::vector<IniSection> sections;
  struct Key {
    IniEntry entry;
    std::size_t section = 0;  // index into `sections`
  };
  std::vector<Key> keys;  // keys outside any section are unreachable and not listed
};
IniDocument ParseIniDocument(std::string_view text);

// The (section, key, value) triples the profile API can reach, in file order (the keys of repeated
// sections left out); exposed for tests and for other readers of INI-style files.
std::vector<IniEntry> ParseIniText(std::string_view text);

}  // namespace droprelay::platform
