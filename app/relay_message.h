// Relaying one file of the drop folder: the step of the cycle between finding a file and disposing
// of it. The answer decides the file's fate: true lets the cycle delete or move it, false leaves it
// in the drop folder for a later cycle.
#pragma once

#include <functional>
#include <string>

#include "app/relay_config.h"
#include "app/substitution_table.h"

namespace droprelay {

// Everything the relay of one message may reach, owned by the relay service and valid for the
// duration of the call.
struct RelayContext {
  const RelayConfig& config;                            // settings, read at the moment of use
  const std::function<void(const std::string&)>& mainlog;  // the activity log (Windows-1251 text)
  const std::string& TempFolder;                        // ends in "/" unless empty
  const SubstitutionTable& substitutions;
};

// Relays the file `dropFolder` + `fileName` (the folder ends in "/"). Never throws.
bool RelayMessageFile(const RelayContext& context, const std::string& dropFolder, const std::string& fileName);

}  // namespace droprelay
