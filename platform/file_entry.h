// File-system calls behind FileToString and DeleteFileRetry. A "file" here is any directory entry
// that is not a directory: a symbolic link counts as the entry itself and is never followed when
// testing or removing. Failures are recorded with SetLastError, so SystemErrorText() names them.
#pragma once

#include <cstddef>
#include <string>

namespace droprelay::platform {

enum class EntryState {
  kMissing,    // nothing by that name
  kFile,       // an entry that is not a directory (a dangling link included)
  kDirectory,  // a directory is never a file for these routines
  kUnknown,    // the test itself failed (no permission, I/O error): it may well be there
};
EntryState FileEntryState(const std::string& path);

// True when `path` names something that is not a directory, following a symbolic link (the
// test of a file to be read, such as an attachment).
bool IsExistingFile(const std::string& path);

// Removes the entry itself (unlink: a link goes, its target stays). Directories are refused.
bool RemoveFileEntry(const std::string& path);

// Appends the whole content of the regular file `path` to `out`, holding an exclusive advisory
// lock (flock, taken without waiting) while reading, in blocks of `blockSize` bytes. A symbolic
// link is read through: the lock is taken on the file it names. False, with whatever had been
// appended, when the entry is missing, not a regular file, locked by another holder or a read fails.
bool ReadFileExclusive(const std::string& path, std::string& out, std::size_t blockSize = 65536);

}  // namespace droprelay::platform
