#include "sync/caldav_publisher.h"

#include "caldav/client.h"
#include "caldav/hrefs.h"
#include "caldav/http.h"
#include "caldav/server_text.h"
#include "calendar/store.h"
#include "sync/account_transport.h"
#include "sync/object_events.h"

#include <algorithm>

namespace calbridge {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kConnectTime{5'000};

bool gone(const caldav::Error& e) { return e.kind() == caldav::ErrorKind::not_found; }

// Some servers wrap a failed precondition in a multistatus; put_object tells
// it apart from other multistatus answers, and it is a conflict like a 412.
bool conflict(const caldav::Error& e) { return e.kind() == caldav::ErrorKind::precondition_failed; }

}  // namespace

CalDavPublisher::CalDavPublisher(ZoneCache& zones, ObjectTextEditor editor, std::chrono::milliseconds bound,
                                 std::optional<Clock::time_point> started)
    : zones_(zones), editor_(editor), bound_(bound) {
  if (started) deadline_ = *started + bound;
}

CalDavPublisher::~CalDavPublisher() = default;

std::size_t CalDavPublisher::exchanges() const {
  std::size_t n = 0;
  for (const auto& [account, http] : transports_) n += http->exchanges();
  return n;
}

caldav::CurlTransport* CalDavPublisher::transportFor(const RemoteAccount& account) {
  auto known = transports_.find(account.sourceIdentifier);
  if (known != transports_.end()) return known->second.get();
  if (!deadline_) deadline_ = Clock::now() + bound_;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now());
  if (left <= std::chrono::milliseconds::zero()) {
    error_ = "no time left for the server";
    return nullptr;
  }
  TransportBounds bounds;
  bounds.command = left;
  bounds.connect = std::min(kConnectTime, bound_);
  bounds.request = bound_;
  bounds.deadline = *deadline_;
  auto http = accountTransport(account, bounds, &error_);
  if (!http) return nullptr;
  return transports_.emplace(account.sourceIdentifier, std::move(http)).first->second.get();
}

std::optional<PublishedObject> CalDavPublisher::readBack(std::string text, std::string etag) {
  ObjectEvents read = readObjectEvents(text, zones_);
  if (!read.error.empty() || read.events.empty()) {
    error_ = "the object's text holds no event that can be read: " + read.error;
    return std::nullopt;
  }
  return PublishedObject{std::move(etag), std::move(text), std::move(read.events)};
}

std::optional<PublishedObject> CalDavPublisher::publish(const RemoteAccount& account, const ObjectChange& change) {
  error_.clear();
  // A replica kept before hrefs were checked may hold one that leads out of
  // its calendar; nothing is written there.
  if (!calendarOf(account, change.calendarUrl) || !caldav::is_member_of(change.calendarUrl, change.url)) {
    error_ = caldav::shown_url(change.url) + ": not an object of the account's calendar " +
             caldav::shown_url(change.calendarUrl) + "; nothing sent";
    return std::nullopt;
  }
  caldav::CurlTransport* http = transportFor(account);
  if (http == nullptr) return std::nullopt;
  // A change to an object must name the version it was made from; without
  // one fit for If-Match the server's version is fetched first, and the
  // change made to that.
  ObjectChange checked = change;
  checked.etag = caldav::valid_etag(change.etag);
  if (checked.kind == ObjectChange::Kind::remove) {
    if (!remove(*http, checked)) return std::nullopt;
    return PublishedObject{};
  }
  return put(*http, checked);
}

bool CalDavPublisher::calendarOf(const RemoteAccount& account, const std::string& calendarUrl) {
  if (account.singleCalendar) return caldav::normalized_path(account.url) == caldav::normalized_path(calendarUrl) &&
                                     caldav::url_origin(account.url) == caldav::url_origin(calendarUrl);
  return caldav::is_inside_home(account.url, calendarUrl);
}

std::optional<PublishedObject> CalDavPublisher::put(caldav::CurlTransport& http, const ObjectChange& change) {
  const bool create = change.kind == ObjectChange::Kind::create;
  // Read before sending: the server must not get a text the replica could not list.
  auto sent = readBack(change.text, {});
  if (!sent) return std::nullopt;
  // Reading a large object takes time too: none is left, nothing is sent.
  if (deadline_ && Clock::now() >= *deadline_) {
    error_ = "no time left for the server";
    return std::nullopt;
  }
  if (create || !change.etag.empty()) {
    try {
      sent->etag = caldav::put_object(http, change.url, change.text, create ? std::string() : change.etag).etag;
      return sent;
    } catch (const caldav::Error& e) {
      // A new object meets an old one only when its name is taken: never overwrite that.
      if (create || !conflict(e)) {
        error_ = e.what();
        return std::nullopt;
      }
    }
  }
  // Changed elsewhere since the replica last saw it: the same edits once more,
  // on the server's text, so what the other change did stays.
  if (editor_ == nullptr || change.edits.empty()) {
    error_ = caldav::shown_url(change.url) + (change.etag.empty() ? ": no ETag to change it by" : ": changed on the server");
    return std::nullopt;
  }
  try {
    caldav::Fetched now = caldav::fetch_objects(http, change.calendarUrl, {change.url}, 0);
    if (now.objects.empty()) {
      error_ = caldav::shown_url(change.url) + ": removed on the server";
      return std::nullopt;
    }
    const caldav::FetchedObject& current = now.objects.front();
    if (current.etag.empty()) {
      error_ = caldav::shown_url(change.url) + ": the server gives no ETag for it";
      return std::nullopt;
    }
    std::optional<std::string> edited = editor_(current.data, change.edits, zones_);
    if (!edited) {
      error_ = caldav::shown_url(change.url) + ": the server's version cannot take the change";
      return std::nullopt;
    }
    auto again = readBack(std::move(*edited), {});
    if (!again) return std::nullopt;
    again->etag = caldav::put_object(http, change.url, again->text, current.etag).etag;
    return again;
  } catch (const caldav::Error& e) {
    error_ = e.what();
    return std::nullopt;
  }
}

bool CalDavPublisher::remove(caldav::CurlTransport& http, const ObjectChange& change) {
  // An object already gone from the server is what the change asked for; the
  // next sync would take it out of the replica anyway.
  if (!change.etag.empty()) {
    try {
      caldav::delete_object(http, change.url, change.etag);
      return true;
    } catch (const caldav::Error& e) {
      if (gone(e)) return true;
      if (!conflict(e)) {
        error_ = e.what();
        return false;
      }
    }
  }
  try {
    caldav::Fetched now = caldav::fetch_objects(http, change.calendarUrl, {change.url}, 0);
    if (now.objects.empty()) return true;
    if (now.objects.front().etag.empty()) {
      error_ = caldav::shown_url(change.url) + ": the server gives no ETag for it";
      return false;
    }
    caldav::delete_object(http, change.url, now.objects.front().etag);
    return true;
  } catch (const caldav::Error& e) {
    if (gone(e)) return true;
    error_ = e.what();
    return false;
  }
}

std::optional<std::string> CalDavPublisher::makeCalendar(const RemoteAccount& account, const std::string& title,
                                                         const std::string& color) {
  error_.clear();
  if (account.singleCalendar) {
    error_ = "the account is one calendar, with no home to make another in";
    return std::nullopt;
  }
  caldav::CurlTransport* http = transportFor(account);
  if (http == nullptr) return std::nullopt;
  std::string home = account.url;
  if (home.empty() || home.back() != '/') home += '/';
  std::string url = caldav::resolve_url(home, newUuid() + "/");
  try {
    // A color the server will not keep leaves the calendar without one, as a
    // color the store cannot read leaves a local calendar.
    caldav::make_calendar(*http, url, title, color);
    return url;
  } catch (const caldav::Error& e) {
    error_ = e.what();
    return std::nullopt;
  }
}

bool CalDavPublisher::removeCalendar(const RemoteAccount& account, const std::string& calendarUrl) {
  error_.clear();
  if (!calendarOf(account, calendarUrl)) {
    error_ = caldav::shown_url(calendarUrl) + ": not a calendar of the account's; nothing sent";
    return false;
  }
  caldav::CurlTransport* http = transportFor(account);
  if (http == nullptr) return false;
  try {
    caldav::delete_calendar(*http, calendarUrl);
    return true;
  } catch (const caldav::Error& e) {
    if (gone(e)) return true;
    error_ = e.what();
    return false;
  }
}

}  // namespace calbridge
