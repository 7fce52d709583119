// Loaded with LD_PRELOAD into a program under test: fails chosen reads, writes
// or syncs of the calendar store's files (the database, its -wal and -shm), as
// a failing disk would, and counts them.
//
//   CALBRIDGE_FAULT_KIND    read, write or sync
//   CALBRIDGE_FAULT_AT      the call of that kind to fail, counting from 1
//   CALBRIDGE_FAULT_ONWARD  when set, every later call of that kind fails too
//   CALBRIDGE_FAULT_ERRNO   EIO (the default) or ENOSPC
//   CALBRIDGE_FAULT_COUNTS  a file that gets "READS WRITES SYNCS" at exit
//   CALBRIDGE_SLEEP_MARK    a file made at the program's first sleep: the store
//                           sleeps only while another holds the lock it waits
//                           for, so a test knows the program is waiting there
//
// Only descriptors opened on a path inside a "calbridge" folder whose name
// starts with "calendar.db" are touched; everything else passes through.
#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Kind { kRead = 0, kWrite = 1, kSync = 2, kNone = 3 };

constexpr int kMaxDescriptors = 4096;
std::atomic<bool> storeFile[kMaxDescriptors];
std::atomic<long> calls[3];

struct Plan {
  Kind kind = kNone;
  long at = 0;
  bool onward = false;
  int error = EIO;
};

const Plan& plan() {
  static const Plan p = [] {
    Plan p;
    const char* kind = std::getenv("CALBRIDGE_FAULT_KIND");
    if (kind != nullptr) {
      if (std::strcmp(kind, "read") == 0) p.kind = kRead;
      if (std::strcmp(kind, "write") == 0) p.kind = kWrite;
      if (std::strcmp(kind, "sync") == 0) p.kind = kSync;
    }
    if (const char* at = std::getenv("CALBRIDGE_FAULT_AT")) p.at = std::atol(at);
    p.onward = std::getenv("CALBRIDGE_FAULT_ONWARD") != nullptr;
    if (const char* error = std::getenv("CALBRIDGE_FAULT_ERRNO"); error != nullptr && std::strcmp(error, "ENOSPC") == 0) {
      p.error = ENOSPC;
    }
    return p;
  }();
  return p;
}

bool isStorePath(const char* path) {
  if (path == nullptr) return false;
  const char* name = std::strrchr(path, '/');
  name = name == nullptr ? path : name + 1;
  return std::strncmp(name, "calendar.db", 11) == 0 && std::strstr(path, "calbridge/") != nullptr;
}

void track(int fd, const char* path) {
  if (fd >= 0 && fd < kMaxDescriptors) storeFile[fd] = isStorePath(path);
}

// True when this call, a call of `kind` on `fd`, is to fail.
bool failing(int fd, Kind kind) {
  if (fd < 0 || fd >= kMaxDescriptors || !storeFile[fd]) return false;
  long n = ++calls[kind];
  const Plan& p = plan();
  if (p.kind != kind || p.at <= 0) return false;
  if (n == p.at || (p.onward && n > p.at)) {
    errno = p.error;
    return true;
  }
  return false;
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Report {
  ~Report() {
    const char* path = std::getenv("CALBRIDGE_FAULT_COUNTS");
    if (path == nullptr) return;
    if (FILE* f = std::fopen(path, "w")) {
      std::fprintf(f, "%ld %ld %ld\n", calls[kRead].load(), calls[kWrite].load(), calls[kSync].load());
      std::fclose(f);
    }
  }
} report;

void markFirstSleep() {
  static std::atomic<bool> marked{false};
  const char* path = std::getenv("CALBRIDGE_SLEEP_MARK");
  if (path == nullptr || marked.exchange(true)) return;
  static auto realOpen = next<int (*)(const char*, int, ...)>("open");
  static auto realClose = next<int (*)(int)>("close");
  const int fd = realOpen(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) realClose(fd);
}

mode_t modeOf(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

int nanosleep(const struct timespec* request, struct timespec* remaining) {
  markFirstSleep();
  static auto real = next<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
  return real(request, remaining);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request, struct timespec* remaining) {
  markFirstSleep();
  static auto real = next<int (*)(clockid_t, int, const struct timespec*, struct timespec*)>("clock_nanosleep");
  return real(clock, flags, request, remaining);
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeOf(flags, args);
  va_end(args);
  static auto real = next<int (*)(const char*, int, ...)>("open");
  int fd = real(path, flags, mode);
  track(fd, path);
  return fd;
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeOf(flags, args);
  va_end(args);
  static auto real = next<int (*)(const char*, int, ...)>("open64");
  int fd = real(path, flags, mode);
  track(fd, path);
  return fd;
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeOf(flags, args);
  va_end(args);
  static auto real = next<int (*)(int, const char*, int, ...)>("openat");
  int fd = real(dir, path, flags, mode);
  track(fd, path);
  return fd;
}

int close(int fd) {
  static auto real = next<int (*)(int)>("close");
  if (fd >= 0 && fd < kMaxDescriptors) storeFile[fd] = false;
  return real(fd);
}

ssize_t read(int fd, void* buffer, size_t size) {
  static auto real = next<ssize_t (*)(int, void*, size_t)>("read");
  return failing(fd, kRead) ? -1 : real(fd, buffer, size);
}

ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
  static auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
  return failing(fd, kRead) ? -1 : real(fd, buffer, size, offset);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  static auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  return failing(fd, kRead) ? -1 : real(fd, buffer, size, offset);
}

ssize_t write(int fd, const void* buffer, size_t size) {
  static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
  return failing(fd, kWrite) ? -1 : real(fd, buffer, size);
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off_t offset) {
  static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
  return failing(fd, kWrite) ? -1 : real(fd, buffer, size, offset);
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
  static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return failing(fd, kWrite) ? -1 : real(fd, buffer, size, offset);
}

int fsync(int fd) {
  static auto real = next<int (*)(int)>("fsync");
  return failing(fd, kSync) ? -1 : real(fd);
}

int fdatasync(int fd) {
  static auto real = next<int (*)(int)>("fdatasync");
  return failing(fd, kSync) ? -1 : real(fd);
}

}  // extern "C"
