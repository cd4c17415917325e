// The ODBC query: one connection, one statement on a keyset cursor, positioned updates through
// SQLSetPos (what an ADO recordset on a server-side cursor does when a field is assigned and posted).
#include "platform/odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/syserror.h"
#include "text/ascii.h"

namespace droprelay::platform {
namespace {

// ADO's default for a command (the login's is LoginTimeoutSeconds()). Without limits a server that
// drops packets or holds a lock would hold start-up for minutes.
constexpr SQLULEN kQueryTimeoutSeconds = 30;

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// Owns one ODBC handle of any type.
class Handle {
 public:
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }

  void Reset() noexcept {
    if (handle_ != SQL_NULL_HANDLE) SQLFreeHandle(type_, handle_);
    handle_ = SQL_NULL_HANDLE;
  }
  // Allocates under `parent` (SQL_NULL_HANDLE for the environment); false on failure.
  bool Allocate(SQLSMALLINT type, SQLHANDLE parent) {
    Reset();
    type_ = type;
    return Succeeded(SQLAllocHandle(type, parent, &handle_));
  }
  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }

 private:
  SQLSMALLINT type_ = SQL_HANDLE_ENV;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// The messages of every diagnostic record of `handle`, one line, records joined by "; ".
std::string DiagnosticText(const Handle& handle) {
  std::string text;
  if (handle.get() == SQL_NULL_HANDLE) return text;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER nativeError = 0;
    std::vector<SQLCHAR> message(1024);
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetDiagRec(handle.type(), handle.get(), record, state, &nativeError, message.data(),
                                       static_cast<SQLSMALLINT>(message.size()), &length);
    if (!Succeeded(rc)) break;
    std::string line(reinterpret_cast<const char*>(message.data()),
                     std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)),
                                           message.size() - 1));
    // A log line is one line: the driver's line breaks and indentation become one blank.
    std::string flat;
    for (const char c : line) {
      const bool blank = c == '\r' || c == '\n' || c == '\t' || c == ' ';
      if (!blank) {
        flat += c;
      } else if (!flat.empty() && flat.back() != ' ') {
        flat += ' ';
      }
    }
    line = TrimErrorText(flat);
    if (line.empty() || text.find(line) != std::string::npos) continue;
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

class OdbcQuery final : public RecordQuery {
 public:
  ~OdbcQuery() override { Close(); }

  void Open(const std::string& connectionString, const std::string& sql) override {
    Close();
    connectionString_ = connectionString;

    if (!environment_.Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE)) Fail("cannot allocate the ODBC environment");
    Check(SQLSetEnvAttr(environment_.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
          environment_, "cannot select ODBC 3");
    if (!connection_.Allocate(SQL_HANDLE_DBC, environment_.get())) {
      Check(SQL_ERROR, environment_, "cannot allocate an ODBC connection");
    }
    const SQLULEN loginTimeout = LoginTimeoutSeconds(connectionString);
    SQLSetConnectAttr(connection_.get(), SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(loginTimeout), 0);

    std::string odbcString = ToOdbcConnectionString(connectionString);
    SQLCHAR completed[1024];
    SQLSMALLINT completedLength = 0;
    Check(SQLDriverConnect(connection_.get(), nullptr, reinterpret_cast<SQLCHAR*>(odbcString.data()), SQL_NTS,
                           completed, sizeof completed, &completedLength, SQL_DRIVER_NOPROMPT),
          connection_, "cannot connect");
    connected_ = true;

    if (!statement_.Allocate(SQL_HANDLE_STMT, connection_.get())) {
      Check(SQL_ERROR, connection_, "cannot allocate an ODBC statement");
    }
    // A keyset cursor that may be updated: the server-side cursor of the ADO query. A driver that
    // cannot offer it says so with a warning and the positioned update fails later with its text.
    Check(SQLSetStmtAttr(statement_.get(), SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_KEYSET_DRIVEN),
                         0),
          statement_, "cannot request a keyset cursor");
    // Optimistic, as the ADO query's default lock type.
    Check(SQLSetStmtAttr(statement_.get(), SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_ROWVER), 0),
          statement_, "cannot request an updatable cursor");
    SQLSetStmtAttr(statement_.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(kQueryTimeoutSeconds), 0);

    std::string text = sql;
    Check(SQLExecDirect(statement_.get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS),
          statement_, "cannot run the query");
    cursorOpen_ = true;

    const SQLRETURN fetched = SQLFetchScroll(statement_.get(), SQL_FETCH_NEXT, 0);
    if (fetched == SQL_NO_DATA) {
      empty_ = true;
    } else {
      Check(fetched, statement_, "cannot read the first row");
      empty_ = false;
    }
  }

  bool IsEmpty() const override { return empty_; }

  void UpdateInt32(std::string_view field, std::int32_t value) override {
    if (!cursorOpen_ || empty_) Fail("no current row");
    const SQLUSMALLINT column = FindColumn(field);

    // Only the bound column is written by SQLSetPos; every other field of the row stays untouched.
    // Bound after the fetch, so the row's present value is never converted into the buffer.
    boundValue_ = value;
    boundIndicator_ = sizeof boundValue_;
    Check(SQLBindCol(statement_.get(), column, SQL_C_SLONG, &boundValue_, sizeof boundValue_, &boundIndicator_),
          statement_, "cannot bind the field");
    Check(SQLSetPos(statement_.get(), 1, SQL_UPDATE, SQL_LOCK_NO_CHANGE), statement_, "cannot update the row");
    SQLFreeStmt(statement_.get(), SQL_UNBIND);
  }

  void Close() noexcept override {
    if (cursorOpen_) SQLCloseCursor(statement_.get());
    cursorOpen_ = false;
    statement_.Reset();
    if (connected_) SQLDisconnect(connection_.get());
    connected_ = false;
    connection_.Reset();
    environment_.Reset();
    empty_ = true;
  }

 private:
  SQLUSMALLINT FindColumn(std::string_view field) {
    SQLSMALLINT count = 0;
    Check(SQLNumResultCols(statement_.get(), &count), statement_, "cannot count the fields");
    for (SQLSMALLINT column = 1; column <= count; ++column) {
      SQLCHAR name[256] = {};
      SQLSMALLINT nameLength = 0;
      SQLSMALLINT dataType = 0;
      SQLULEN size = 0;
      SQLSMALLINT digits = 0;
      SQLSMALLINT nullable = 0;
      Check(SQLDescribeCol(statement_.get(), static_cast<SQLUSMALLINT>(column), name, sizeof name, &nameLength,
                           &dataType, &size, &digits, &nullable),
            statement_, "cannot describe the fields");
      const std::string_view found(reinterpret_cast<const char*>(name),
                                   std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(nameLength, 0)),
                                                         sizeof name - 1));
      if (SameName(found, field)) return static_cast<SQLUSMALLINT>(column);
    }
    Fail("Field '" + std::string(field) + "' not found");
  }

  static bool SameName(std::string_view a, std::string_view b) {
    return AsciiEqualNoCase(a, b);
  }

  // Throws with the driver's text for a failed call; warnings (SQL_SUCCESS_WITH_INFO) pass.
  void Check(SQLRETURN rc, const Handle& handle, const std::string& what) {
    if (Succeeded(rc)) return;
    std::string text = DiagnosticText(handle);
    Fail(text.empty() ? what : text);
  }

  [[noreturn]] void Fail(const std::string& text) {
    const std::string shown = HidePasswords(text, connectionString_);
    SetLastErrorText(shown);
    throw DatabaseFailure(shown);
  }

  std::string connectionString_;
  Handle environment_;
  Handle connection_;
  Handle statement_;
  bool connected_ = false;
  bool cursorOpen_ = false;
  bool empty_ = true;
  SQLINTEGER boundValue_ = 0;
  SQLLEN boundIndicator_ = 0;
};

}  // namespace

std::unique_ptr<RecordQuery> OpenOdbcQuery() { return std::make_unique<OdbcQuery>(); }

}  // namespace droprelay::platform
