#include "app/substitution_table.h"

#include "app/relay_config.h"
#include "text/convert.h"

namespace droprelay {

SubstitutionTable LoadSubstitutionTable(const platform::IniFile& config) {
  SubstitutionTable table;
  for (int i = 0; i <= 255; ++i) {
    const std::string key = "string" + std::to_string(i);
    const std::string change = config.ReadString(kSectionStrings2change, key, "");
    if (change.empty()) continue;
    table.ChangeStrings.push_back(Utf8ToCp1251(change));
    table.ReplacementStrings.push_back(Utf8ToCp1251(config.ReadString(kSectionEquivalentStrings, key, "")));
  }
  return table;
}

}  // namespace droprelay
