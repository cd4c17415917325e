// `droprelay --inspect`: what the relay would send for each stored message, without sending,
// waiting, or writing anything.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace droprelay {

// Prints, for each file, the recipient after processing, the subject, the first attachment's name
// and size, and the body, as UTF-8 text for a person, or (json) one JSON object per file and line.
// The relay's log lines go to `diagnostics`. Every line of either stream passes the log's filter
// (SafeLogText), field by field and body line by body line. A file the relay would not read (a
// link, not a regular file, locked by another process, gone, larger than max_message_size) is not
// shown: its reason goes to `diagnostics`, and the answer is 1; otherwise 0.
int RunInspect(const platform::IniFile& config, const std::vector<std::string>& files, bool json, std::ostream& out,
               std::ostream& diagnostics);

}  // namespace droprelay
