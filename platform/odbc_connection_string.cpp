// Connection strings: ADO (OLE DB) strings for SQL Server mapped to the FreeTDS ODBC driver, and the
// blanking of passwords in every text that may reach the log.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/odbc.h"
#include "text/ascii.h"

namespace droprelay::platform {
namespace {

struct Attribute {
  std::string key;    // lower case, surrounding blanks removed
  std::string value;  // quotes or braces removed
};

// White space as isspace() has it in the C locale.
std::string_view Trim(std::string_view text) { return TrimBytes(text, kCWhiteSpace); }

// Reads "key=value;key=value". A value may be enclosed in double or single quotes (ADO, a doubled
// quote stands for one) or in braces (ODBC, a doubled "}" stands for one), and may then hold ";".
// Malformed parts (no "=") are skipped rather than refused: the driver has the last word.
std::vector<Attribute> ParseAttributes(std::string_view text) {
  std::vector<Attribute> attributes;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t equals = text.find('=', pos);
    const std::size_t semicolon = text.find(';', pos);
    if (equals == std::string_view::npos || (semicolon != std::string_view::npos && semicolon < equals)) {
      if (semicolon == std::string_view::npos) break;
      pos = semicolon + 1;
      continue;
    }
    Attribute attribute;
    attribute.key = AsciiLowerCase(Trim(text.substr(pos, equals - pos)));
    pos = equals + 1;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    const char open = pos < text.size() ? text[pos] : '\0';
    if (open == '"' || open == '\'' || open == '{') {
      const char close = open == '{' ? '}' : open;
      ++pos;
      while (pos < text.size()) {
        if (text[pos] == close) {
          if (pos + 1 < text.size() && text[pos + 1] == close) {
            attribute.value += close;
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        attribute.value += text[pos++];
      }
      // Anything between the closing quote and the next ";" is dropped.
      const std::size_t next = text.find(';', pos);
      pos = next == std::string_view::npos ? text.size() : next + 1;
    } else {
      const std::size_t next = text.find(';', pos);
      const std::size_t end = next == std::string_view::npos ? text.size() : next;
      attribute.value = std::string(Trim(text.substr(pos, end - pos)));
      pos = end == text.size() ? end : end + 1;
    }
    if (!attribute.key.empty()) attributes.push_back(std::move(attribute));
  }
  return attributes;
}

bool IsOdbcString(const std::vector<Attribute>& attributes) {
  return std::any_of(attributes.begin(), attributes.end(), [](const Attribute& a) {
    return a.key == "driver" || a.key == "dsn" || a.key == "filedsn";
  });
}

// The value as ODBC wants it: braced when it would otherwise be cut or misread.
std::string OdbcValue(std::string_view value) {
  const bool plain = value.find_first_of(";{}=") == std::string_view::npos && value == Trim(value);
  if (plain) return std::string(value);
  std::string result = "{";
  for (const char c : value) {
    result += c;
    if (c == '}') result += '}';
  }
  return result + "}";
}

bool IsTrue(std::string_view value) {
  const std::string v = AsciiLowerCase(Trim(value));
  return v == "sspi" || v == "true" || v == "yes";
}

// Data Source forms: "host", "host\instance", "host,port", "tcp:host,port"; "." and "(local)" name
// this machine.
void AppendServer(std::string& out, std::string_view dataSource) {
  std::string_view source = Trim(dataSource);
  if (source.size() > 4 && AsciiLowerCase(source.substr(0, 4)) == "tcp:") source.remove_prefix(4);
  std::string_view port;
  if (const std::size_t comma = source.rfind(','); comma != std::string_view::npos) {
    port = Trim(source.substr(comma + 1));
    source = Trim(source.substr(0, comma));
    // With an explicit port the instance name is not needed to find the server; FreeTDS refuses both.
    if (const std::size_t backslash = source.find('\\'); backslash != std::string_view::npos) {
      source = source.substr(0, backslash);
    }
  }
  std::string host(source);
  const std::string hostLower = AsciiLowerCase(host.substr(0, host.find('\\')));
  if (hostLower == "." || hostLower == "(local)" || hostLower.empty()) {
    const std::size_t backslash = host.find('\\');
    host = "localhost" + (backslash == std::string::npos ? std::string() : host.substr(backslash));
  }
  out += ";Server=" + OdbcValue(host);
  if (!port.empty()) out += ";Port=" + OdbcValue(port);
}

}  // namespace

std::string ToOdbcConnectionString(std::string_view connectionString) {
  const std::vector<Attribute> attributes = ParseAttributes(connectionString);
  if (IsOdbcString(attributes)) return std::string(connectionString);

  std::string dataSource;
  std::string catalog;
  std::string user;
  std::string password;
  bool hasPassword = false;
  bool integrated = false;
  for (const Attribute& a : attributes) {
    if (a.key == "data source" || a.key == "server" || a.key == "address" || a.key == "addr" ||
        a.key == "network address") {
      dataSource = a.value;
    } else if (a.key == "initial catalog" || a.key == "database") {
      catalog = a.value;
    } else if (a.key == "user id" || a.key == "uid" || a.key == "user") {
      user = a.value;
    } else if (a.key == "password" || a.key == "pwd") {
      password = a.value;
      hasPassword = true;
    } else if (a.key == "integrated security" || a.key == "trusted_connection") {
      integrated = IsTrue(a.value);
    }
  }

  // TDS 7.1 is spoken by every SQL Server from 2000 (the era of Project Server's MSP_WEB_ADMIN) to
  // today's, and carries an integer update well. Not "auto": against a server that accepts the
  // connection but does not answer, FreeTDS then retries in Sybase's dialect and waits for ever.
  std::string out = "Driver={" + std::string(kFreeTdsDriver) + "}";
  AppendServer(out, dataSource);
  if (!catalog.empty()) out += ";Database=" + OdbcValue(catalog);
  out += ";TDS_Version=7.1";
  if (integrated) {
    // The Windows identity of the running user: FreeTDS takes it from the Kerberos ticket cache.
    out += ";Trusted_Connection=Yes";
  } else {
    if (!user.empty()) out += ";UID=" + OdbcValue(user);
    if (hasPassword) out += ";PWD=" + OdbcValue(password);
  }
  return out;
}

unsigned LoginTimeoutSeconds(std::string_view connectionString) {
  constexpr unsigned kAdoDefault = 15;
  const std::vector<Attribute> attributes = ParseAttributes(connectionString);
  if (IsOdbcString(attributes)) return kAdoDefault;
  unsigned seconds = kAdoDefault;
  for (const Attribute& a : attributes) {
    if (a.key != "connect timeout" && a.key != "connection timeout") continue;
    const std::string_view value = Trim(a.value);
    if (value.empty() || value.size() > 6 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;  // not a number: the default stays, as a bad setting must not mean waiting for ever
    }
    seconds = static_cast<unsigned>(std::stoul(std::string(value)));
  }
  return seconds;
}

std::string HidePasswords(std::string_view text, std::string_view connectionString) {
  std::vector<std::string> secrets;
  for (const Attribute& a : ParseAttributes(connectionString)) {
    if ((a.key == "pwd" || a.key == "password") && !a.value.empty()) secrets.push_back(a.value);
  }
  // A text that quotes a connection string (ours or any other) loses every password value in it.
  for (const Attribute& a : ParseAttributes(text)) {
    if ((a.key == "pwd" || a.key == "password") && !a.value.empty()) secrets.push_back(a.value);
  }
  // Longest first, so a password that contains another is blanked whole.
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });

  std::string result(text);
  for (const std::string& secret : secrets) {
    for (std::size_t at = result.find(secret); at != std::string::npos; at = result.find(secret, at + 3)) {
      result.replace(at, secret.size(), "***");
    }
  }
  return result;
}

bool HasPassword(std::string_view connectionString) {
  for (const Attribute& a : ParseAttributes(connectionString)) {
    if ((a.key == "pwd" || a.key == "password") && !a.value.empty()) return true;
  }
  return false;
}

}  // namespace droprelay::platform
