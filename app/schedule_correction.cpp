#include "app/schedule_correction.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "platform/odbc.h"
#include "platform/syserror.h"
#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {
namespace {

constexpr const char* kQuery = "SELECT * FROM MSP_WEB_ADMIN";
constexpr const char* kField = "WADMIN_NPE_SCHEDULED_TIME";

// The system's error text and the fixed line, as every step's guard logs them; the exception's own
// text goes between them when it says more.
void LogFailure(const LogFunction& log, const std::string& what) noexcept {
  try {
    // The driver's text may be UTF-8 (a server answering in Russian); the log is Windows-1251.
    const std::string system = platform::SystemErrorText();
    log(Utf8ToCp1251(system));
    if (!what.empty() && what != system) log(Utf8ToCp1251(what));
    log(texts::DatabaseError());
  } catch (const std::exception&) {
    // The log swallows its own errors; nothing may leave the correction.
  }
}

// Closes the query however the correction ends.
class ClosingQuery {
 public:
  explicit ClosingQuery(platform::RecordQuery& query) : query_(query) {}
  ~ClosingQuery() { query_.Close(); }
  ClosingQuery(const ClosingQuery&) = delete;
  ClosingQuery& operator=(const ClosingQuery&) = delete;

 private:
  platform::RecordQuery& query_;
};

}  // namespace

int ScheduledTimeFor(LocalClockTime now) {
  if (now.minute <= 30) return now.hour * 10000 + 3000;
  // 24:00:00 is not a time of day the server's job can run at; the next full hour after 23:31 is
  // midnight.
  return ((now.hour + 1) % 24) * 10000;
}

void CorrectScheduledTime(const std::string& connectionString, LocalClockTime now, const LogFunction& log,
                          const LogFunction& errorLog, platform::RecordQuery& query) {
  try {
    const std::int32_t scheduled = ScheduledTimeFor(now);
    // Whatever fails, the query is closed and start-up goes on.
    const ClosingQuery closing(query);
    query.Open(connectionString, kQuery);
    if (!query.IsEmpty()) {
      query.UpdateInt32(kField, scheduled);
      char digits[16];
      std::snprintf(digits, sizeof digits, "%6.6d", static_cast<int>(scheduled));
      log(texts::NewScheduleTime() + digits);
    }
  } catch (const std::exception& error) {
    LogFailure(errorLog, error.what());
  }
}

void CorrectScheduledTime(const std::string& connectionString, LocalClockTime now, const LogFunction& log,
                          const LogFunction& errorLog) {
  try {
    const std::unique_ptr<platform::RecordQuery> query = platform::OpenOdbcQuery();
    CorrectScheduledTime(connectionString, now, log, errorLog, *query);
  } catch (const std::exception& error) {
    LogFailure(errorLog, error.what());  // only the query object's allocation can fail here
  }
}

void CorrectScheduledTime(const std::string& connectionString, LocalClockTime now, const LogFunction& log,
                          platform::RecordQuery& query) {
  CorrectScheduledTime(connectionString, now, log, log, query);
}

void CorrectScheduledTime(const std::string& connectionString, LocalClockTime now, const LogFunction& log) {
  CorrectScheduledTime(connectionString, now, log, log);
}

}  // namespace droprelay
