// Mail profiles: the stand-in for the mail client's named profiles and for the registry's
// DefaultProfile. One INI file, read with the Windows profile-file rules (section and key names
// without regard to case, first occurrence wins, blanks around a value dropped, one pair of
// enclosing quotes removed, at most 2047 characters, ";" lines are comments), at the moment of use:
//
//   [Profiles]
//   DefaultProfile=office
//   [office]
//   url=smtp://mail.example.org:587      ; or smtps://host[:port], or file:///pickup/folder/
//   from=relay@example.org
//   user=relay                           ; optional: AUTH user; the password is the caller's,
//   password=...                         ;   else this one (the file must not be readable by others),
//   passwordfile=/etc/droprelay/office.pw ;  else the first line of this file (same rule)
//   starttls=1                           ; optional: require STARTTLS on smtp://
//   plaintext=1                          ; optional: allow AUTH over plain smtp:// to another host
//   cafile=/etc/ssl/certs/corp.pem       ; optional: CA bundle for the server's certificate
//
// (A ";" after a value belongs to the value; comments stand on lines of their own.)
#pragma once

#include <string>

namespace droprelay::submit {

struct MailProfile {
  enum class Kind { kSmtp, kPickup };
  std::string name;
  Kind kind = Kind::kSmtp;
  std::string url;           // the server URL as written (smtp:// or smtps://)
  std::string pickupFolder;  // for file:// profiles: the folder, ending in "/"
  std::string from;          // envelope sender and From header
  std::string user;          // empty: no AUTH
  bool starttls = false;
  bool plaintext = false;    // AUTH over an unencrypted connection explicitly allowed
  std::string password;      // from password= or passwordfile=; empty when neither is set
  std::string cafile;
};

// $DROPRELAY_PROFILES, else $XDG_CONFIG_HOME/droprelay/profiles.ini, else
// ~/.config/droprelay/profiles.ini.
std::string MailProfilesPath();

// The `DefaultProfile` of section "Profiles"; empty when there is none (no file, no key).
std::string DefaultMailProfile();

// Reads and checks the named profile. False, with the reason recorded as the last error, when
// the name is empty, the file or the section is missing, or a value is unusable. Secrets are
// refused, with `secretRefused` (when given) set, when a password sits in a file others can read
// (the profiles file for password=, the password file for passwordfile=), or when a user would
// log in over smtp:// without STARTTLS to a host other than this machine and plaintext=1 does not
// allow it.
bool LoadMailProfile(const std::string& name, MailProfile& profile, bool* secretRefused = nullptr);
// The same, answering the reason in `why` instead of recording it.
bool LoadMailProfile(const std::string& name, MailProfile& profile, std::string& why, bool* secretRefused = nullptr);

// True when `name` names no profile the relay could use at all: it is empty, the profiles file
// cannot be read, or it has no url for that profile. Such a fault is the configuration's.
bool MailProfileMissing(const std::string& name);

// True when `url` (smtp://host[:port]...) names this machine: localhost, 127.0.0.0/8 or [::1].
bool IsLoopbackUrl(const std::string& url);

// One value of the profiles file by the rules above; false when the file, section or key is
// missing. Exposed for tests and for the relay's own checks.
bool ReadProfileValue(const std::string& path, const std::string& section, const std::string& key,
                      std::string& value);

}  // namespace droprelay::submit
