// The bridge's publisher: it opens the CalDAV module (libcurl, libxml2,
// libical) only when a change goes to a server, so that every other request
// starts without loading them.
#pragma once

#include "sqlite/publisher.h"

#include <functional>
#include <memory>
#include <string>

namespace calbridge {

class ZoneCache;

class LazyPublisher final : public ObjectPublisher {
 public:
  // `zones` is asked for when the module is opened, and must outlive this.
  explicit LazyPublisher(std::function<ZoneCache&()> zones);
  ~LazyPublisher() override;

  std::optional<PublishedObject> publish(const RemoteAccount& account, const ObjectChange& change) override;
  std::optional<std::string> makeCalendar(const RemoteAccount& account, const std::string& title,
                                          const std::string& color) override;
  bool removeCalendar(const RemoteAccount& account, const std::string& calendarUrl) override;

 private:
  ObjectPublisher* load();
  std::function<ZoneCache&()> zones_;
  std::unique_ptr<ObjectPublisher> loaded_;
  bool tried_ = false;
};

}  // namespace calbridge
