#include "app/relay_message.h"

#include "support/texts.h"

namespace droprelay {

// Until messages are parsed and submitted, relaying a file reports it and lets the cycle dispose
// of it, as when sending is switched off.
bool RelayMessageFile(const RelayContext& context, const std::string& /*dropFolder*/, const std::string& fileName) {
  context.mainlog(texts::FoundFile() + fileName);
  return true;
}

}  // namespace droprelay
