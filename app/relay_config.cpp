#include "app/relay_config.h"

namespace droprelay {

std::string WithTrailingDelimiter(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  return folder;
}

std::string FolderBesideDropFolder(const std::string& dropFolder, const std::string& name) {
  std::string folder = dropFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  const std::string parent = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
  return parent + name + "/";
}

std::string StateFolder(const RelayConfig& config, const std::string& dropFolder) {
  const std::string configured = config.state_path();
  if (!configured.empty()) return WithTrailingDelimiter(configured);
  std::string folder = dropFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  const std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
  // A drop folder without a name of its own (the root) still gets a state folder beside it.
  return FolderBesideDropFolder(dropFolder, (name.empty() || name == "/" ? "droprelay" : name) + kDefaultStateFolderSuffix);
}

std::string FailedFolder(const RelayConfig& config, const std::string& dropFolder) {
  const std::string configured = config.failed_path();
  return configured.empty() ? FolderBesideDropFolder(dropFolder, kDefaultFailedFolderName)
                            : WithTrailingDelimiter(configured);
}

}  // namespace droprelay
