// The store's folder and files on disk: made private and durable, and refused
// when someone else could have written or swapped them (as ssh does with
// ~/.ssh). Every check is made on a descriptor opened without following a final
// symbolic link, so what is checked is what is there.
//
// Each function answers with a problem: one line naming the path, what is wrong
// and the command that mends it; empty when all is well.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>

namespace calbridge {

// The store folder, opened and checked: owned by this user, a folder, and not
// writable by group or others (readable is fine). Folders that are missing are
// made first (mode 0700), each one's parent synced so that it survives a power cut.
class StoreFolder {
 public:
  explicit StoreFolder(std::string path) : path_(std::move(path)) {}
  ~StoreFolder();
  StoreFolder(const StoreFolder&) = delete;
  StoreFolder& operator=(const StoreFolder&) = delete;

  std::string open();
  // Makes the file `name` in the folder with mode 0600 unless it exists, and
  // syncs the folder when it made it.
  std::string createPrivateFile(const std::string& name);
  // Checks `name` in the folder: a regular file (not a link) owned by this user,
  // with no permission for group or others. `mayBeMissing` lets it be absent.
  // `identity`, when given, receives the file's device and inode (0 when absent).
  std::string checkFile(const std::string& name, bool mayBeMissing, std::pair<dev_t, ino_t>* identity = nullptr) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// Checks the database file `name` in `folder` (it must exist) and the -wal and
// -shm files SQLite keeps beside it (they may be missing), as checkFile does.
std::string checkDatabaseFiles(const StoreFolder& folder, const std::string& name,
                               std::pair<dev_t, ino_t>* identity = nullptr);

// An exclusive lock on a file beside the database (made with mode 0600 when
// missing, never through a symbolic link), held until this is destroyed.
// Processes take it to do one thing at a time; waiting for it ends at
// `deadline`, and then it is not held.
class FileLock {
 public:
  FileLock(const std::string& path, std::chrono::steady_clock::time_point deadline);
  ~FileLock();
  FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock& operator=(FileLock&&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace calbridge
