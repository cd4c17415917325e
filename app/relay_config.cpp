#include "app/relay_config.h"

namespace droprelay {

std::string WithTrailingDelimiter(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  return folder;
}

}  // namespace droprelay
