#include "main/store_choice.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sqlite/store_files.h"

namespace calbridge {

namespace {

constexpr std::string_view kNames[] = {"own", "evolution"};

std::string configHome() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config";
  return {};
}

std::string trimmed(std::string_view text) {
  while (!text.empty() && std::strchr(" \t\r\n", text.front()) != nullptr) text.remove_prefix(1);
  while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

std::optional<StoreKind> storeKindNamed(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    if (kNames[i] == name) return static_cast<StoreKind>(i);
  }
  return std::nullopt;
}

std::string_view nameOf(StoreKind kind) { return kNames[static_cast<std::size_t>(kind)]; }

std::string storeSettingPath() {
  const std::string home = configHome();
  return home.empty() ? std::string() : home + "/calbridge/store";
}

StoreSetting readStoreSetting(const std::string& path) {
  StoreSetting setting;
  if (path.empty()) return setting;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      setting.problem =
          "cannot read " + path + ": " + std::strerror(errno) + "; set it with: calbridge-store store own";
    }
    return setting;
  }
  struct stat info {};
  char text[64];
  ssize_t n = -1;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    setting.problem = path + " is not a regular file; remove it and set the store again: calbridge-store store own";
  } else if (info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) {
    setting.problem =
        path + " could be written by someone else; remove it and set the store again: calbridge-store store own";
  } else {
    n = ::read(fd, text, sizeof text);
  }
  ::close(fd);
  if (!setting.problem.empty()) return setting;
  if (n >= 0) setting.kind = storeKindNamed(trimmed(std::string_view(text, static_cast<std::size_t>(n))));
  if (!setting.kind) setting.problem = path + " names no store; set one with: calbridge-store store own|evolution";
  return setting;
}

std::string writeStoreSetting(const std::string& path, StoreKind kind) {
  if (path.empty()) return "no config folder: neither XDG_CONFIG_HOME nor HOME is an absolute path";
  const std::string folderPath = path.substr(0, path.find_last_of('/'));
  StoreFolder folder(folderPath);
  if (std::string problem = folder.open(); !problem.empty()) return problem;
  const std::string temporary = path + ".new";
  const std::string text = std::string(nameOf(kind)) + "\n";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot write " + temporary + ": " + std::strerror(errno);
  const bool written = ::fchmod(fd, 0600) == 0 &&
                       ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    ::unlink(temporary.c_str());
    return "cannot write " + path + ": " + why;
  }
  int dir = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return {};
}

bool sessionBusPresent() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat info {};
  return runtime != nullptr && runtime[0] == '/' && ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 &&
         S_ISSOCK(info.st_mode);
}

StoreDecision decideStore(bool busPresent, bool ownInUse, std::optional<bool> desktopAnswers) {
  if (!busPresent) return {StoreKind::own, false, "no session bus: the desktop's calendars cannot be asked"};
  if (ownInUse) return {StoreKind::own, true, "calbridge's own store holds accounts or events"};
  if (!desktopAnswers) return {StoreKind::own, false, "Evolution Data Server did not answer in time"};
  if (*desktopAnswers) return {StoreKind::evolution, true, "Evolution Data Server answers on the session bus"};
  return {StoreKind::own, true, "Evolution Data Server does not answer on the session bus"};
}

}  // namespace calbridge
