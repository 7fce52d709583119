// GLib's references and errors held the C++ way, and the bound on every wait
// for Evolution Data Server.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace calbridge {

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
// An owned reference to a GObject.
template <typename T>
using GRef = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
using GText = std::unique_ptr<gchar, GFree>;

// A GError that a call may set, freed with its holder.
class GErrorHolder {
 public:
  GErrorHolder() = default;
  ~GErrorHolder() { g_clear_error(&error_); }
  GErrorHolder(const GErrorHolder&) = delete;
  GErrorHolder& operator=(const GErrorHolder&) = delete;

  // For the call's GError** argument; clears what an earlier call left.
  GError** out() {
    g_clear_error(&error_);
    return &error_;
  }
  const GError* get() const { return error_; }
  // The error's message, or `otherwise` when none was set.
  std::string message(const char* otherwise = "unknown error") const {
    return error_ != nullptr && error_->message != nullptr ? error_->message : otherwise;
  }

 private:
  GError* error_ = nullptr;
};

// The time a store may spend waiting for EDS, from its first call on: every
// call is given cancellable(), which a watch cancels when the time is up, so
// that no call (some of libecal's wait minutes for an answer) waits longer.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds bound);
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  GCancellable* cancellable() const { return cancellable_.get(); }
  bool passed() const;
  // What is left, in milliseconds for GLib's calls; at least 1.
  int leftMilliseconds() const;

 private:
  std::chrono::steady_clock::time_point end_;
  GRef<GCancellable> cancellable_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread watch_;
};

// Why no session bus can be reached, without starting one (GIO would launch a
// bus of its own where X11 runs); empty when there is one.
std::string sessionBusProblem();

}  // namespace calbridge
