#include "platform/secret_file.h"

#include <sys/stat.h>

#include <cstdio>

namespace droprelay::platform {

std::string ExposedSecretText(const std::string& path, const std::string& what) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || (st.st_mode & S_IROTH) == 0) return {};
  char modes[64];
  const unsigned mode = st.st_mode & 07777;
  // Taking away what others may do keeps the owner's and the group's access as they were.
  std::snprintf(modes, sizeof modes, "(mode %04o); set mode %04o", mode, mode & ~07u);
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, "%04o", mode & ~07u);
  return path + " holds " + what + " and is readable by others " + modes + " (chmod " + wanted + " " + path + ")";
}

}  // namespace droprelay::platform
