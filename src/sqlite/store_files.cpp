#include "sqlite/store_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace calbridge {

namespace {

// A path as it can be pasted into a shell.
std::string quoted(const std::string& path) {
  bool plain = !path.empty();
  for (char c : path) {
    plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      std::strchr("/._-+", c) != nullptr);
  }
  if (plain) return path;
  std::string text = "'";
  for (char c : path) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

std::string userName() {
  const passwd* user = ::getpwuid(::geteuid());
  return user != nullptr ? user->pw_name : std::to_string(::geteuid());
}

std::string ownerName(uid_t uid) {
  const passwd* user = ::getpwuid(uid);
  return user != nullptr ? std::string(user->pw_name) : "uid " + std::to_string(uid);
}

std::string modeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string cannot(const char* what, const std::string& path) {
  return "cannot " + std::string(what) + " " + path + ": " + std::strerror(errno);
}

// Syncs a folder, so that the entries just made in it survive a power cut.
// File systems that cannot sync a folder say so with EINVAL; theirs is not a fault.
bool syncFolder(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

bool syncFolder(const std::string& path) {
  int fd = ::open(path.empty() ? "/" : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = syncFolder(fd);
  ::close(fd);
  return synced;
}

// Makes `folder` and the folders above it that are missing. Whoever makes a
// folder syncs its parent; one made meanwhile by another process is theirs to sync.
std::string makeFolders(const std::string& folder) {
  struct stat info {};
  if (folder.empty() || ::stat(folder.c_str(), &info) == 0) return {};
  auto slash = folder.find_last_of('/');
  std::string parent = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
  if (slash != std::string::npos && slash > 0) {
    if (std::string problem = makeFolders(parent); !problem.empty()) return problem;
  }
  if (::mkdir(folder.c_str(), 0700) != 0) return errno == EEXIST ? std::string() : cannot("create", folder);
  return syncFolder(parent) ? std::string() : cannot("sync the folder", parent.empty() ? "/" : parent);
}

}  // namespace

StoreFolder::~StoreFolder() {
  if (fd_ >= 0) ::close(fd_);
}

std::string StoreFolder::open() {
  if (std::string problem = makeFolders(path_); !problem.empty()) return problem;
  // Read access, unlike O_PATH, lets the descriptor be synced.
  fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat link {};
  // With O_DIRECTORY a link to a folder fails as "not a folder".
  if (fd_ < 0 && (errno == ELOOP || errno == ENOTDIR) && ::lstat(path_.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    return path_ + " is a symbolic link; move the folder it points to in its place, or set XDG_DATA_HOME to the "
                   "folder that holds the real one";
  }
  if (fd_ < 0 && errno == ENOTDIR) return path_ + " is not a folder; move it away: mv " + quoted(path_) + " " + quoted(path_ + ".moved");
  if (fd_ < 0) return cannot("open", path_);
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return cannot("read the state of", path_);
  if (info.st_uid != ::geteuid()) {
    return path_ + " belongs to " + ownerName(info.st_uid) + ", not to " + userName() +
           "; if you did not make it, remove it, else as root run: chown -R " + userName() + " " + quoted(path_);
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return path_ + " can be written by others (mode " + modeText(info.st_mode) +
           "); check its files, then run: chmod go-w " + quoted(path_);
  }
  return {};
}

std::string StoreFolder::createPrivateFile(const std::string& name) {
  const std::string path = path_ + "/" + name;
  int fd = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno == EEXIST ? std::string() : cannot("create", path);
  ::close(fd);
  return syncFolder(fd_) ? std::string() : cannot("sync the folder", path_);
}

std::string StoreFolder::checkFile(const std::string& name, bool mayBeMissing,
                                   std::pair<dev_t, ino_t>* identity) const {
  const std::string path = path_ + "/" + name;
  if (identity != nullptr) *identity = {0, 0};
  // O_PATH: no read of the file, no wait on a FIFO, and closing it drops none of
  // the POSIX locks SQLite holds on the same file.
  int fd = ::openat(fd_, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT && mayBeMissing ? std::string() : cannot("open", path);
  struct stat info {};
  bool stated = ::fstat(fd, &info) == 0;
  ::close(fd);
  if (!stated) return cannot("read the state of", path);
  if (S_ISLNK(info.st_mode)) {
    char target[4096];
    ssize_t length = ::readlinkat(fd_, name.c_str(), target, sizeof target - 1);
    std::string source = length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
    source = source.empty() ? "TARGET" : quoted(source[0] == '/' ? source : path_ + "/" + source);
    return path + " is a symbolic link; put the file it points to in its place: mv " + source + " " + quoted(path);
  }
  if (!S_ISREG(info.st_mode)) return path + " is not a regular file; move it away: mv " + quoted(path) + " " + quoted(path + ".moved");
  if (info.st_uid != ::geteuid()) {
    return path + " belongs to " + ownerName(info.st_uid) + ", not to " + userName() +
           "; if you did not make it, remove it: rm " + quoted(path) + ", else as root run: chown " + userName() + " " +
           quoted(path);
  }
  if ((info.st_mode & 077) != 0) {
    return path + " is open to others (mode " + modeText(info.st_mode) + "); make it private: chmod 600 " + quoted(path);
  }
  if (identity != nullptr) *identity = {info.st_dev, info.st_ino};
  return {};
}

std::string checkDatabaseFiles(const StoreFolder& folder, const std::string& name, std::pair<dev_t, ino_t>* identity) {
  std::string problem = folder.checkFile(name, false, identity);
  for (const char* suffix : {"-wal", "-shm"}) {
    if (problem.empty()) problem = folder.checkFile(name + suffix, true);
  }
  return problem;
}

FileLock::FileLock(const std::string& path, std::chrono::steady_clock::time_point deadline) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace calbridge
