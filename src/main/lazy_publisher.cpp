#include "main/lazy_publisher.h"

#include "main/modules.h"

namespace calbridge {

namespace {

constexpr const char* kModule = "calbridge-caldav.so";

}  // namespace

LazyPublisher::LazyPublisher(std::function<ZoneCache&()> zones) : zones_(std::move(zones)) {}

LazyPublisher::~LazyPublisher() = default;

ObjectPublisher* LazyPublisher::load() {
  if (tried_) return loaded_.get();
  tried_ = true;
  using Make = ObjectPublisher* (*)(ZoneCache*);
  auto make = reinterpret_cast<Make>(moduleSymbol(kModule, "calbridge_caldav_publisher"));
  if (make == nullptr) return nullptr;
  loaded_.reset(make(&zones_()));
  return loaded_.get();
}

// Without the module nothing reaches the server, and so nothing is claimed.
std::optional<PublishedObject> LazyPublisher::publish(const RemoteAccount& account, const ObjectChange& change) {
  ObjectPublisher* real = load();
  return real != nullptr ? real->publish(account, change) : std::nullopt;
}

std::optional<std::string> LazyPublisher::makeCalendar(const RemoteAccount& account, const std::string& title,
                                                       const std::string& color) {
  ObjectPublisher* real = load();
  return real != nullptr ? real->makeCalendar(account, title, color) : std::nullopt;
}

bool LazyPublisher::removeCalendar(const RemoteAccount& account, const std::string& calendarUrl) {
  ObjectPublisher* real = load();
  return real != nullptr && real->removeCalendar(account, calendarUrl);
}

}  // namespace calbridge
