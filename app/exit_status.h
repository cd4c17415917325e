// How a run (or a command) ends, as sysexits.h numbers it. Kept apart so that every part of the
// program can answer a status without depending on the relay service.
#pragma once

namespace droprelay {

inline constexpr int kExitOk = 0;           // nothing left waiting
inline constexpr int kExitNoInput = 66;     // EX_NOINPUT: the drop folder is missing or unreadable
inline constexpr int kExitCantCreate = 73;
inline constexpr int kExitIoError = 74;     // EX_IOERR: the drop folder could not be listed to its end  // EX_CANTCREAT: a folder the relay writes is unusable
inline constexpr int kExitTempFail = 75;    // EX_TEMPFAIL: files deferred, or another run is at work
inline constexpr int kExitConfig = 78;      // EX_CONFIG: the configuration (or the account it names) is wrong

}  // namespace droprelay
