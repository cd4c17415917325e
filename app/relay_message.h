// Relaying one file of the drop folder: the step of the cycle between finding a file and disposing
// of it. The answer decides the file's fate: true lets the cycle delete or move it, false leaves it
// in the drop folder for a later cycle.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "app/relay_config.h"
#include "app/substitution_table.h"

namespace droprelay {

// Everything the relay of one message may reach, owned by the relay service and valid for the
// duration of the call.
struct RelayContext {
  const RelayConfig& config;                               // settings, read at the moment of use
  const std::function<void(const std::string&)>& mainlog;  // the activity log (Windows-1251 text)
  const std::string& TempFolder;                           // ends in "/" unless empty
  const SubstitutionTable& substitutions;
};

// Relays the file `dropFolder` + `fileName` (the folder ends in "/"): parses it, saves its first
// attachment into TempFolder, rewrites recipient, subject and body, submits the result when
// send_mail is on, and removes the saved attachment again. Never throws.
bool RelayMessageFile(const RelayContext& context, const std::string& dropFolder, const std::string& fileName);

// What the relay would send for one stored message, for a person or another tool to look at.
struct RelayPreview {
  std::string recipient;  // all Windows-1251
  std::string subject;
  std::string body;
  struct Attachment {
    std::string name;
    std::size_t size = 0;
  };
  std::optional<Attachment> attachment;
};

// Runs the per-message steps exactly as RelayMessageFile does (HTML fallback included) but without
// its waits, without writing anything, and without sending. Log lines go to context.mainlog.
RelayPreview PreviewMessageFile(const RelayContext& context, const std::string& path);

// `sending_mail`: resolves the profile (MAPIProfile, else the default profile), logs the attempt,
// submits, and logs the collected error text when the submission reports a problem.
bool sending_mail(const RelayContext& context, const std::string& recipient, const std::string& subject,
                  const std::string& body, const std::string& attachmentPath);

}  // namespace droprelay
