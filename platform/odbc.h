// Database access through ODBC (unixODBC), the stand-in for an ADO query on a server-side cursor.
//
// The relay needs one thing from a database: open a query, and change one field of the row the cursor
// stands on, in place, as a positioned update. `RecordQuery` is that much of an ADO query; the ODBC
// implementation is behind OpenOdbcQuery(), so the relay's logic can be tested with a fake as well as
// against a real server.
//
// Every failure records the driver's diagnostic text as the last error (platform/syserror.h), with any
// password of the connection string blanked out, and then throws DatabaseFailure with the same text.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace droprelay::platform {

class DatabaseFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RecordQuery {
 public:
  virtual ~RecordQuery() = default;

  // Connects with `connectionString` (an ADO or an ODBC string, see ToOdbcConnectionString) and runs
  // `sql` on a server-side keyset cursor, positioned on the first row if there is one.
  virtual void Open(const std::string& connectionString, const std::string& sql) = 0;
  // True when the open query has no rows.
  virtual bool IsEmpty() const = 0;
  // Writes `value` into the field named `field` (names compared without regard to case) of the
  // current row, on the server, leaving every other row and field as it was.
  virtual void UpdateInt32(std::string_view field, std::int32_t value) = 0;
  // Closes the cursor and the connection. Safe to call at any time, any number of times; never
  // throws.
  virtual void Close() noexcept = 0;
};

// A query that talks ODBC through the system's driver manager.
std::unique_ptr<RecordQuery> OpenOdbcQuery();

// The driver registered for SQL Server by Debian's tdsodbc package (/etc/odbcinst.ini).
inline constexpr std::string_view kFreeTdsDriver = "FreeTDS";

// An ODBC string (one that names "Driver=" or "DSN=" or "FileDSN=", in any case) is returned as it
// is. Anything else is read as an ADO string for SQL Server ("Provider=SQLOLEDB.1;Data Source=...;
// Initial Catalog=...;Integrated Security=SSPI" or "User ID=...;Password=...") and turned into the
// equivalent string for the FreeTDS driver. ADO keys without an ODBC counterpart (Provider, Persist
// Security Info, ...) are dropped.
std::string ToOdbcConnectionString(std::string_view connectionString);

// Seconds to wait for a login: the ADO string's "Connect Timeout" (or "Connection Timeout") when it
// has a valid one, else ADO's default of 15. 0 means no limit, as in ADO.
unsigned LoginTimeoutSeconds(std::string_view connectionString);

// `text` with the value of every PWD= and Password= key of `connectionString` (and the key's value
// wherever it appears literally) replaced by "***". Used on every text that can reach the log.
std::string HidePasswords(std::string_view text, std::string_view connectionString);

// Whether `connectionString` carries a password (a PWD= or Password= key with a value).
bool HasPassword(std::string_view connectionString);

}  // namespace droprelay::platform
