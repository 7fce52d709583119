// The bridge's publisher: it opens the CalDAV module (libcurl, libxml2,
// libical) only when a change goes to a server, so that every other request
// starts without loading them.
#pragma once

#include "replica/publisher.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace calbridge {

class ZoneCache;

class LazyPublisher final : public ObjectPublisher {
 public:
  // `zones` is asked for when the module is opened, and must outlive this.
  // Made at the command's start: a change's bound counts from here.
  explicit LazyPublisher(std::function<ZoneCache&()> zones);
  ~LazyPublisher() override;

  Status publish(const RemoteAccount& account, const ObjectChange& change, PublishedObject* answer) override;
  Status makeCalendar(const RemoteAccount& account, const std::string& title, const std::string& color,
                      std::string* url) override;
  Status removeCalendar(const RemoteAccount& account, const std::string& calendarUrl) override;

 private:
  // The module's publisher; null, with why in loadFailure_, when it cannot be opened.
  ObjectPublisher* load();
  std::function<ZoneCache&()> zones_;
  std::chrono::steady_clock::time_point started_;
  std::unique_ptr<ObjectPublisher> loaded_;
  bool tried_ = false;
  Status loadFailure_;
};

}  // namespace calbridge
