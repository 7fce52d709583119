#include "main/lazy_publisher.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace calbridge {

namespace {

constexpr const char* kModule = "calbridge-caldav.so";

std::string programFolder() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string program(path, static_cast<std::size_t>(n));
  auto slash = program.rfind('/');
  return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

}  // namespace

std::string publisherModulePath() {
  const std::string folder = programFolder();
  if (folder.empty()) return {};
  for (std::string candidate : {folder + "/" + kModule, folder + "/../" CALBRIDGE_MODULE_SUBDIR "/" + kModule}) {
    if (::access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return {};
}

LazyPublisher::LazyPublisher(std::function<ZoneCache&()> zones) : zones_(std::move(zones)) {}

LazyPublisher::~LazyPublisher() = default;

ObjectPublisher* LazyPublisher::load() {
  if (tried_) return loaded_.get();
  tried_ = true;
  const std::string path = publisherModulePath();
  if (path.empty()) {
    loadFailure_ = Status::unreachable(std::string(kModule) + " is not installed beside calbridge");
    return nullptr;
  }
  // Kept open for the rest of the process, as a linked library would be.
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = ::dlerror();
    loadFailure_ = Status::unreachable(path + " cannot be loaded: " + (why != nullptr ? why : "no reason given"));
    return nullptr;
  }
  using Make = ObjectPublisher* (*)(ZoneCache*);
  auto make = reinterpret_cast<Make>(::dlsym(module, "calbridge_caldav_publisher"));
  if (make == nullptr) {
    loadFailure_ = Status::unreachable(path + " is not the CalDAV module");
    return nullptr;
  }
  loaded_.reset(make(&zones_()));
  return loaded_.get();
}

// Without the module nothing reaches the server, and so nothing is claimed.
Status LazyPublisher::publish(const RemoteAccount& account, const ObjectChange& change, PublishedObject* answer) {
  ObjectPublisher* real = load();
  return real != nullptr ? real->publish(account, change, answer) : loadFailure_;
}

Status LazyPublisher::makeCalendar(const RemoteAccount& account, const std::string& title, const std::string& color,
                                   std::string* url) {
  ObjectPublisher* real = load();
  return real != nullptr ? real->makeCalendar(account, title, color, url) : loadFailure_;
}

Status LazyPublisher::removeCalendar(const RemoteAccount& account, const std::string& calendarUrl) {
  ObjectPublisher* real = load();
  return real != nullptr ? real->removeCalendar(account, calendarUrl) : loadFailure_;
}

}  // namespace calbridge
