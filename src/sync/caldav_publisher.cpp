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

// The cause of a failed request, as the store's callers read causes.
Status statusOf(const caldav::Error& e) {
  using Kind = caldav::ErrorKind;
  switch (e.kind()) {
    case Kind::unreachable:
    case Kind::timeout: return Status::unreachable(e.what());
    case Kind::not_found: return Status::notFound(e.what());
    case Kind::precondition_failed:
    case Kind::uid_conflict: return Status::conflict(e.what());
    case Kind::not_caldav:
    case Kind::bad_reply: return Status::badAnswer(e.what());
    case Kind::unauthorized:
    case Kind::forbidden:
    case Kind::rejected:
    case Kind::other_origin: break;
  }
  return Status::refused(e.what());
}

}  // namespace

CalDavPublisher::CalDavPublisher(ZoneCache& zones, ObjectTextEditor editor, std::chrono::milliseconds bound)
    : zones_(zones), editor_(editor), bound_(bound) {}

CalDavPublisher::~CalDavPublisher() = default;

std::size_t CalDavPublisher::exchanges() const {
  std::size_t n = 0;
  for (const auto& [account, http] : transports_) n += http->exchanges();
  return n;
}

Status CalDavPublisher::transportFor(const RemoteAccount& account, caldav::CurlTransport** http) {
  auto known = transports_.find(account.sourceIdentifier);
  if (known != transports_.end()) {
    *http = known->second.get();
    return Status::ok();
  }
  if (!deadline_) deadline_ = Clock::now() + bound_;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now());
  if (left <= std::chrono::milliseconds::zero()) return Status::unreachable("no time left for the server");
  TransportBounds bounds;
  bounds.command = left;
  bounds.connect = std::min(kConnectTime, bound_);
  bounds.request = bound_;
  bounds.deadline = *deadline_;
  std::string error;
  auto made = accountTransport(account, bounds, &error);
  if (!made) return Status::refused(error);
  *http = transports_.emplace(account.sourceIdentifier, std::move(made)).first->second.get();
  return Status::ok();
}

bool CalDavPublisher::calendarOf(const RemoteAccount& account, const std::string& calendarUrl) {
  if (account.singleCalendar)
    return caldav::url_origin(account.url) == caldav::url_origin(calendarUrl) &&
           caldav::normalized_path(account.url) == caldav::normalized_path(calendarUrl);
  return caldav::is_inside_home(account.url, calendarUrl);
}

Status CalDavPublisher::publish(const RemoteAccount& account, const ObjectChange& change, PublishedObject* answer) {
  // A replica kept before hrefs were checked may hold one that leads out of
  // its calendar; nothing is written there.
  if (!calendarOf(account, change.calendarUrl) || !caldav::is_member_of(change.calendarUrl, change.url)) {
    return Status::invalid(caldav::shown_url(change.url) + ": not an object of the account's calendar " +
                           caldav::shown_url(change.calendarUrl) + "; nothing sent");
  }
  caldav::CurlTransport* http = nullptr;
  if (Status s = transportFor(account, &http); !s) return s;
  *answer = PublishedObject{};
  // A change to an object must name the version it was made from, or the
  // request could replace or remove what somebody else wrote meanwhile.
  // Without one fit for If-Match the server's version is fetched first and
  // the change made to that, as after a conflict.
  ObjectChange checked = change;
  checked.etag = caldav::valid_etag(change.etag);
  if (checked.kind == ObjectChange::Kind::remove) return remove(*http, checked, answer);
  return put(*http, checked, answer);
}

Status CalDavPublisher::put(caldav::CurlTransport& http, const ObjectChange& change, PublishedObject* answer) {
  const bool create = change.kind == ObjectChange::Kind::create;
  const std::string shown = caldav::shown_url(change.url);
  if (create || !change.etag.empty()) {
    try {
      answer->etag = caldav::put_object(http, change.url, change.text, create ? std::string() : change.etag).etag;
      answer->text = change.text;
      return Status::ok();
    } catch (const caldav::Error& e) {
      // A new object meets an old one only when its name is taken: never overwrite that.
      if (create || !conflict(e)) return statusOf(e);
    }
  }
  // Changed elsewhere since the replica last saw it (or kept without an
  // ETag): the same edits on the server's text, so what the other change did stays.
  if (editor_ == nullptr || change.edits.empty())
    return Status::conflict(shown + (change.etag.empty() ? ": no ETag to change it by" : ": changed on the server"));
  try {
    caldav::Fetched now = caldav::fetch_objects(http, change.calendarUrl, {change.url}, 0);
    if (now.objects.empty()) return Status::notFound(shown + ": removed on the server");
    const caldav::FetchedObject& current = now.objects.front();
    if (current.etag.empty()) return Status::badAnswer(shown + ": the server gives no ETag for it");
    std::optional<std::string> edited = editor_(current.data, change.edits, zones_);
    if (!edited) return Status::conflict(shown + ": the server's version cannot take the change");
    // What the replica lists is read from this text, and it must list: the
    // server does not get a text the replica could not read.
    ObjectEvents read = readObjectEvents(*edited, zones_);
    if (!read.error.empty() || read.events.empty()) {
      return Status::badAnswer(shown + ": the server's version holds no event that can be read: " + read.error);
    }
    answer->etag = caldav::put_object(http, change.url, *edited, current.etag).etag;
    answer->text = std::move(*edited);
    answer->rebased = PublishedObject::Rebased{current.etag, std::move(read.events)};
    return Status::ok();
  } catch (const caldav::Error& e) {
    return statusOf(e);
  }
}

Status CalDavPublisher::remove(caldav::CurlTransport& http, const ObjectChange& change, PublishedObject* answer) {
  // An object already gone from the server is what the change asked for; the
  // next sync would take it out of the replica anyway.
  if (!change.etag.empty()) {
    try {
      caldav::delete_object(http, change.url, change.etag);
      return Status::ok();
    } catch (const caldav::Error& e) {
      if (gone(e)) return Status::ok();
      if (!conflict(e)) return statusOf(e);
    }
  }
  try {
    caldav::Fetched now = caldav::fetch_objects(http, change.calendarUrl, {change.url}, 0);
    if (now.objects.empty()) return Status::ok();
    const std::string& current = now.objects.front().etag;
    if (current.empty()) return Status::badAnswer(caldav::shown_url(change.url) + ": the server gives no ETag for it");
    caldav::delete_object(http, change.url, current);
    answer->rebased = PublishedObject::Rebased{current, {}};
    return Status::ok();
  } catch (const caldav::Error& e) {
    if (gone(e)) return Status::ok();
    return statusOf(e);
  }
}

Status CalDavPublisher::makeCalendar(const RemoteAccount& account, const std::string& title, const std::string& color,
                                     std::string* url) {
  if (account.singleCalendar) return Status::invalid("the account is one calendar, with no home to make another in");
  caldav::CurlTransport* http = nullptr;
  if (Status s = transportFor(account, &http); !s) return s;
  std::string home = account.url;
  if (home.empty() || home.back() != '/') home += '/';
  std::string made = caldav::resolve_url(home, newUuid() + "/");
  try {
    // A color the server will not keep leaves the calendar without one, as a
    // color the store cannot read leaves a local calendar.
    caldav::make_calendar(*http, made, title, color);
    *url = std::move(made);
    return Status::ok();
  } catch (const caldav::Error& e) {
    return statusOf(e);
  }
}

Status CalDavPublisher::removeCalendar(const RemoteAccount& account, const std::string& calendarUrl) {
  if (!calendarOf(account, calendarUrl))
    return Status::invalid(caldav::shown_url(calendarUrl) + ": not a calendar of the account's; nothing sent");
  caldav::CurlTransport* http = nullptr;
  if (Status s = transportFor(account, &http); !s) return s;
  try {
    caldav::delete_calendar(*http, calendarUrl);
    return Status::ok();
  } catch (const caldav::Error& e) {
    if (gone(e)) return Status::ok();
    return statusOf(e);
  }
}

}  // namespace calbridge
