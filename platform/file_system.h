// Files and folders: the stand-ins for FindFirstFile, the file-existence test, DeleteFileA,
// MoveFileExA and the creation of a folder path.
//
// Symbolic links are never followed: anyone who can write to a shared folder such as /tmp can put
// a link where a file is expected, so a link is treated as an entry of its own that is found,
// tested, moved or deleted itself, never its target.
//
// Every failure records its errno with SetLastError, so SystemErrorText() describes the failing call.
#pragma once

#include <cstdint>
#include <dirent.h>
#include <optional>
#include <string>

namespace droprelay::platform {

// Reads one folder entry at a time, in the order the file system lists them. Only as many entries
// are read as the caller asks for, so finding the first file of a huge folder costs no more than in
// a folder of one file. Destroying the object ends the search.
class DirectorySearch {
 public:
  // A folder that cannot be opened yields no entries (the error is recorded).
  explicit DirectorySearch(const std::string& folder);
  ~DirectorySearch();
  DirectorySearch(const DirectorySearch&) = delete;
  DirectorySearch& operator=(const DirectorySearch&) = delete;

  bool IsOpen() const { return dir_ != nullptr; }

  // The name of the next entry that is not a directory ("." and ".." included among directories):
  // regular files whatever their mode, hidden (dot) files, symbolic links (to anything, even to a
  // folder) and special files. std::nullopt when the folder has no further such entry.
  std::optional<std::string> NextFile();
  // Whether the listing stopped at an error (EIO, ...) rather than at its end; the error is recorded.
  bool Failed() const { return failed_; }

 private:
  std::string folder_;
  DIR* dir_ = nullptr;
  bool failed_ = false;
};

// The first non-directory entry of `folder` (a plain folder path, with or without a final "/").
std::optional<std::string> FindFirstFile(const std::string& folder);

// How many folder entries all searches have read since the process started. Lets a test prove
// that a search stops at the first match instead of listing the whole folder.
std::uint64_t DirectoryEntriesRead();

// The file operations of the relay cycle, behind virtual functions so a test can make one fail
// the way a busy or protected file would. The base class is the real implementation.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when an entry of that name exists (a dangling symbolic link exists too).
  virtual bool FileExists(const std::string& path);

  // Removes the entry (a symbolic link itself, never its target). Folders are refused.
  virtual bool DeleteFile(const std::string& path);

  // Moves `from` to `to`, replacing an existing entry at `to` (a link there is replaced, not
  // written through). Across file systems the content is copied to a fresh temporary name in the
  // target folder, flushed, renamed over `to`, and only then is `from` removed, so a failure at any
  // point leaves the source in place. A symbolic link is moved as a link.
  virtual bool MoveFileReplace(const std::string& from, const std::string& to);

  // Creates `folder` and every missing parent; true when it exists as a folder afterwards.
  virtual bool CreateFolderPath(const std::string& folder);
};

// The real file system.
FileSystem& RealFileSystem();

}  // namespace droprelay::platform
