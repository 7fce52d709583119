#include "evolution/glib_support.h"

#include <sys/stat.h>

#include <cstdlib>

namespace calbridge {

Deadline::Deadline(std::chrono::milliseconds bound)
    : end_(std::chrono::steady_clock::now() + bound), cancellable_(g_cancellable_new()) {
  watch_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_until(lock, end_, [this] { return stopping_; })) g_cancellable_cancel(cancellable_.get());
  });
}

Deadline::~Deadline() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  watch_.join();
}

bool Deadline::passed() const {
  return std::chrono::steady_clock::now() >= end_ || g_cancellable_is_cancelled(cancellable());
}

int Deadline::leftMilliseconds() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(1, left.count()));
}

std::string sessionBusProblem() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return {};
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat info {};
  if (runtime != nullptr && *runtime == '/' && ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 &&
      S_ISSOCK(info.st_mode)) {
    return {};
  }
  return "no session bus: DBUS_SESSION_BUS_ADDRESS is not set and $XDG_RUNTIME_DIR/bus is not there";
}

}  // namespace calbridge
