// Start-up correction of the project server's notification time (table MSP_WEB_ADMIN).
#pragma once

#include <functional>
#include <string>

namespace droprelay {

namespace platform {
class RecordQuery;
}

struct LocalClockTime {
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
};

using LogFunction = std::function<void(const std::string&)>;

// HHMMSS of the next half or full hour: H:30:00 up to and including minute 30, else the next full
// hour; 23:31..23:59 wraps to 000000 (a time of day cannot be 24:00:00).
int ScheduledTimeFor(LocalClockTime now);

// Opens "SELECT * FROM MSP_WEB_ADMIN" through `connectionString`, writes ScheduledTimeFor(now) into
// WADMIN_NPE_SCHEDULED_TIME of the first row only, and logs the new time; an empty table changes
// and logs nothing. Any failure logs the error text and then the fixed database error line.
// Never throws.
void CorrectScheduledTime(const std::string& connectionString, LocalClockTime now, const LogFunction& log);

// The same through `query` instead of a new ODBC query; `query` is closed afterwards in every case.
void CorrectScheduledTime(const std::string& connectionString, LocalClockTime now, const LogFunction& log,
                          platform::RecordQuery& query);

// The same with the failure's two lines going to `errorLog` (the relay logs them as errors, the
// new time as information).
void CorrectScheduledTime(const std::string& connectionString, LocalClockTime now, const LogFunction& log,
                          const LogFunction& errorLog);
void CorrectScheduledTime(const std::string& connectionString, LocalClockTime now, const LogFunction& log,
                          const LogFunction& errorLog, platform::RecordQuery& query);

}  // namespace droprelay
