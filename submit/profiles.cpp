#include "submit/profiles.h"

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <string_view>

#include "platform/file.h"
#include "platform/ini_file.h"
#include "platform/program_paths.h"
#include "platform/secret_file.h"
#include "submit/address.h"
#include "platform/syserror.h"
#include "text/ascii.h"

namespace droprelay::submit {
namespace {

std::string_view Trim(std::string_view s) { return TrimControls(s); }

bool SameName(std::string_view a, std::string_view b) { return AsciiEqualNoCase(a, b); }

bool HasControl(std::string_view s) {
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Decodes %XX in a file URL's path; a malformed escape is kept as written.
std::string PercentDecode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto hex = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool ParseBoolean(std::string_view text, bool& value) {
  if (text.empty()) {
    value = false;
    return true;
  }
  for (const char* yes : {"true", "yes", "on"}) {
    if (SameName(text, yes)) return value = true;
  }
  for (const char* no : {"false", "no", "off"}) {
    if (SameName(text, no)) {
      value = false;
      return true;
    }
  }
  // An integer by the INI rules, read the same in every locale.
  int number = 0;
  if (!platform::ParseIniInteger(text, number)) return false;
  value = number != 0;
  return true;
}

// The password of a password file: its first line, without the line end.
bool ReadPasswordFile(const std::string& path, std::string& password) {
  std::string content;
  if (!platform::ReadWholeFile(path, content)) return false;
  const std::size_t end = content.find_first_of("\r\n");
  password = content.substr(0, end);
  return true;
}

}  // namespace

bool IsLoopbackUrl(const std::string& url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  std::string_view host = std::string_view(url).substr(scheme + 3);
  host = host.substr(0, host.find_first_of("/?#"));
  if (const std::size_t at = host.rfind('@'); at != std::string_view::npos) host.remove_prefix(at + 1);
  if (!host.empty() && host.front() == '[') {
    return host.substr(0, host.find(']') + 1) == "[::1]";
  }
  host = host.substr(0, host.find(':'));
  if (SameName(host, "localhost")) return true;
  // 127.0.0.0/8: four dotted numbers, the first 127.
  if (host.rfind("127.", 0) != 0) return false;
  int dots = 0;
  for (const char c : host) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return dots == 3;
}

std::string MailProfilesPath() {
  const char* explicitPath = std::getenv("DROPRELAY_PROFILES");
  if (explicitPath && *explicitPath) return explicitPath;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return std::string(config) + "/droprelay/profiles.ini";
  return platform::HomeFolder() + "/.config/droprelay/profiles.ini";
}

namespace {

// One value by the same reading rules as the relay's own configuration file; false when the file,
// section or key is missing. The submission's own reads: they answer why in values of their own.
bool LookUpProfileValue(const std::string& path, const std::string& section, const std::string& key,
                        std::string& value) {
  if (!platform::CanRead(path)) return false;
  const std::optional<std::string> found = platform::IniFile(path).Lookup(section, key);
  if (!found) return false;
  value = *found;
  return true;
}

}  // namespace

bool ReadProfileValue(const std::string& path, const std::string& section, const std::string& key,
                      std::string& value) {
  if (!platform::CanRead(path)) return false;
  if (!LookUpProfileValue(path, section, key, value)) {
    platform::SetLastErrorText("No key \"" + key + "\" in section \"" + section + "\" of " + path);
    return false;
  }
  return true;
}

// A missing file, section or key answers empty; an exception (memory) is no such failure and
// reaches the caller with its cause.
std::string DefaultMailProfile() {
  std::string value;
  if (LookUpProfileValue(MailProfilesPath(), "Profiles", "DefaultProfile", value) && !HasControl(value)) return value;
  return {};
}

bool MailProfileMissing(const std::string& name) {
  if (Trim(name).empty()) return true;
  const std::string path = MailProfilesPath();
  std::string url;
  return !LookUpProfileValue(path, name, "url", url);
}

bool LoadMailProfile(const std::string& name, MailProfile& profile, bool* secretRefused) {
  std::string why;
  if (LoadMailProfile(name, profile, why, secretRefused)) return true;
  platform::SetLastErrorText(why);
  return false;
}

bool LoadMailProfile(const std::string& name, MailProfile& profile, std::string& why, bool* secretRefused) {
  if (secretRefused) *secretRefused = false;
  const auto Fail = [&](const std::string& text) {
    why = text;
    return false;
  };
  const auto refuse = [&](const std::string& text) {
    if (secretRefused) *secretRefused = true;
    return Fail(text);
  };
  if (Trim(name).empty()) return Fail("No mail profile named");
  if (HasControl(name)) return Fail("Invalid mail profile name \"" + EscapeForText(name) + "\"");
  const std::string path = MailProfilesPath();
  if (!platform::CanRead(path)) {
    return Fail("Cannot read the mail profiles file " + path + ": " + strerrordesc_np(platform::LastErrorCode()));
  }
  const auto read = [&](const char* key, std::string& value) { return LookUpProfileValue(path, name, key, value); };

  profile = MailProfile{};
  profile.name = name;
  if (!read("url", profile.url)) {
    return Fail("Mail profile \"" + EscapeForText(name) + "\" not found in " + path + " (no url)");
  }
  if (HasControl(profile.url)) return Fail("Mail profile \"" + EscapeForText(name) + "\": invalid url");
  const std::string_view url = profile.url;
  if (url.rfind("file://", 0) == 0) {
    profile.kind = MailProfile::Kind::kPickup;
    profile.pickupFolder = PercentDecode(url.substr(7));
    if (profile.pickupFolder.empty() || profile.pickupFolder.front() != '/') {
      return Fail("Mail profile \"" + EscapeForText(name) + "\": a pickup folder needs an absolute path (file:///...)");
    }
    if (profile.pickupFolder.back() != '/') profile.pickupFolder += '/';
  } else if (url.rfind("smtp://", 0) == 0 || url.rfind("smtps://", 0) == 0) {
    profile.kind = MailProfile::Kind::kSmtp;
    if (url.size() <= url.find("://") + 3) return Fail("Mail profile \"" + EscapeForText(name) + "\": url has no host");
  } else {
    return Fail("Mail profile \"" + EscapeForText(name) + "\": url must start with smtp://, smtps:// or file://");
  }

  if (!read("from", profile.from) || profile.from.empty()) {
    return Fail("Mail profile \"" + EscapeForText(name) + "\" has no from address");
  }
  if (const std::string problem = AddressProblem(profile.from); !problem.empty()) {
    return Fail("Mail profile \"" + EscapeForText(name) + "\": " + problem);
  }
  read("user", profile.user);
  if (HasControl(profile.user)) return Fail("Mail profile \"" + EscapeForText(name) + "\": invalid user");
  std::string starttls;
  read("starttls", starttls);
  if (!ParseBoolean(starttls, profile.starttls)) {
    return Fail("Mail profile \"" + EscapeForText(name) + "\": starttls is not 0 or 1");
  }
  std::string plaintext;
  read("plaintext", plaintext);
  if (!ParseBoolean(plaintext, profile.plaintext)) {
    return Fail("Mail profile \"" + EscapeForText(name) + "\": plaintext is not 0 or 1");
  }
  read("cafile", profile.cafile);
  if (HasControl(profile.cafile)) return Fail("Mail profile \"" + EscapeForText(name) + "\": invalid cafile");

  std::string password;
  if (read("password", password) && !password.empty()) {
    if (const std::string exposed = platform::ExposedSecretText(path, "a password"); !exposed.empty()) {
      return refuse("Mail profile \"" + EscapeForText(name) + "\": " + exposed);
    }
    profile.password = password;
  } else {
    std::string passwordFile;
    if (read("passwordfile", passwordFile) && !passwordFile.empty()) {
      if (HasControl(passwordFile)) return Fail("Mail profile \"" + EscapeForText(name) + "\": invalid passwordfile");
      if (const std::string exposed = platform::ExposedSecretText(passwordFile, "a password"); !exposed.empty()) {
        return refuse("Mail profile \"" + EscapeForText(name) + "\": " + exposed);
      }
      if (!ReadPasswordFile(passwordFile, profile.password)) {
        return Fail("Mail profile \"" + EscapeForText(name) + "\": cannot read the password file " + passwordFile +
                    ": " + strerrordesc_np(platform::LastErrorCode()));
      }
    }
  }

  // A password sent over a plain connection can be read on every network it crosses; on this
  // machine's own loopback it crosses none.
  if (profile.kind == MailProfile::Kind::kSmtp && url.rfind("smtp://", 0) == 0 && !profile.user.empty() &&
      !profile.starttls && !profile.plaintext && !IsLoopbackUrl(profile.url)) {
    return refuse("Mail profile \"" + EscapeForText(name) + "\": user " + EscapeForText(profile.user) +
                  " would log in without encryption over " + EscapeForText(profile.url) +
                  "; set starttls=1 (or plaintext=1 to allow it)");
  }
  return true;
}

}  // namespace droprelay::submit
