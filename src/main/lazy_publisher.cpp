#include "main/lazy_publisher.h"

#include "main/modules.h"

namespace calbridge {

namespace {

constexpr const char* kModule = "calbridge-caldav.so";

}  // namespace

LazyPublisher::LazyPublisher(std::function<ZoneCache&()> zones)
    : zones_(std::move(zones)), started_(std::chrono::steady_clock::now()) {}

LazyPublisher::~LazyPublisher() = default;

ObjectPublisher* LazyPublisher::load() {
  if (tried_) return loaded_.get();
  tried_ = true;
  std::string why;
  using Make = ObjectPublisher* (*)(ZoneCache*, long long);
  auto make = reinterpret_cast<Make>(moduleSymbol(kModule, "calbridge_caldav_publisher", &why));
  if (make == nullptr) {
    loadFailure_ = Status::unreachable(why);
    return nullptr;
  }
  loaded_.reset(make(&zones_(), static_cast<long long>(started_.time_since_epoch().count())));
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
