// The table of string substitutions applied to subject and body: pair i replaces every occurrence
// of ChangeStrings[i] by ReplacementStrings[i], in order.
#pragma once

#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace droprelay {

struct SubstitutionTable {
  std::vector<std::string> ChangeStrings;       // Windows-1251, never empty strings
  std::vector<std::string> ReplacementStrings;  // Windows-1251, same length as ChangeStrings
};

// Probes the keys string0 ... string255 of "Strings2change" in order; every non-empty value makes a
// pair whose replacement is the same key of "equivalentStrings" (empty when missing). Gaps in the
// numbering close up; a key only in "equivalentStrings" is ignored. All 256 keys can make a pair.
// Values are turned into Windows-1251 once, here (UTF-8 converted, other bytes kept).
SubstitutionTable LoadSubstitutionTable(const platform::IniFile& config);

}  // namespace droprelay
