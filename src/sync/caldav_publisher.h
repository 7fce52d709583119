// Changes to replica calendars sent to the account's server, read strictly:
// an answer counts as stored only when it says so beyond doubt, so that the
// store keeps a change only when the server has it.
#pragma once

#include "calendar/time_zone.h"
#include "replica/publisher.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace calbridge {

namespace caldav {
class CurlTransport;
}

// Applies edits to an object's text again (see ical/object_edit.h).
using ObjectTextEditor = std::optional<std::string> (*)(std::string_view, std::span<const ObjectEdit>, ZoneCache&);

class CalDavPublisher final : public ObjectPublisher {
 public:
  // Every request of this publisher's life ends within `bound` of its first
  // one (the password command's run included): a host waits that long at most.
  // Without an editor a conflict is a failure.
  CalDavPublisher(ZoneCache& zones, ObjectTextEditor editor, std::chrono::milliseconds bound = kBound);
  ~CalDavPublisher() override;
  CalDavPublisher(const CalDavPublisher&) = delete;
  CalDavPublisher& operator=(const CalDavPublisher&) = delete;

  Status publish(const RemoteAccount& account, const ObjectChange& change, PublishedObject* answer) override;
  Status makeCalendar(const RemoteAccount& account, const std::string& title, const std::string& color,
                      std::string* url) override;
  Status removeCalendar(const RemoteAccount& account, const std::string& calendarUrl) override;

  // HTTP exchanges sent so far, over every account.
  std::size_t exchanges() const;

  static constexpr std::chrono::milliseconds kBound{15'000};

 private:
  Status transportFor(const RemoteAccount& account, caldav::CurlTransport** http);
  // The calendar is the account's own: inside its home, or the account's one calendar.
  static bool calendarOf(const RemoteAccount& account, const std::string& calendarUrl);
  Status put(caldav::CurlTransport& http, const ObjectChange& change, PublishedObject* answer);
  Status remove(caldav::CurlTransport& http, const ObjectChange& change, PublishedObject* answer);

  ZoneCache& zones_;
  ObjectTextEditor editor_;
  std::chrono::milliseconds bound_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  // One connection per account, kept for the process: a conflict's GET and
  // second PUT, or several objects of one command, reuse it.
  std::map<std::string, std::unique_ptr<caldav::CurlTransport>> transports_;
};

}  // namespace calbridge
