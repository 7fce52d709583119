// Where a change to a replica calendar goes before the store keeps it: the
// account's server. The store stages the change in its transaction, and at
// commit hands each calendar object it touched to the publisher; it commits
// only when every one was accepted, with the text and ETag the server now has,
// and otherwise rolls back, so the replica stays exactly as the server last
// described it.
#pragma once

#include "calendar/stored_event.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace calbridge {

struct RemoteAccount;  // sqlite_store.h

// What one commit does to one calendar object of a replica.
struct ObjectChange {
  enum class Kind { create, modify, remove };
  Kind kind = Kind::modify;
  std::string calendarUrl;  // the collection the object is in
  std::string url;  // the object's resource; for create, a new name the store chose
  std::string etag;  // as the replica has it; empty for create
  std::string text;  // create and modify: the object's new text, made from the replica's
  std::vector<ObjectEdit> edits;  // modify: what made `text`, to apply to a newer text on a conflict
};

// The object as the server keeps it after a change.
struct PublishedObject {
  std::string etag;
  std::string text;  // the text sent (or, after a conflict, the server's text with the edits)
  std::vector<StoredEvent> events;  // read from `text`; what the replica lists
};

class ObjectPublisher {
 public:
  virtual ~ObjectPublisher() = default;

  // `account` names the server and how to sign in (url, user, password
  // command, CA file); it is only borrowed for the call.
  //
  // Makes `change` on the server, within the publisher's time bound. Nothing
  // when the server refused it, could not be reached or did not answer in
  // time; a remove that succeeded returns an empty object. May be called from
  // inside the store's write transaction, and must not use the store.
  virtual std::optional<PublishedObject> publish(const RemoteAccount& account, const ObjectChange& change) = 0;

  // A new calendar collection under the account's calendar home, with a title
  // and a color ("#RRGGBB" or empty). Returns the collection's url.
  virtual std::optional<std::string> makeCalendar(const RemoteAccount& account, const std::string& title,
                                                  const std::string& color) = 0;
  // Removes the collection at `calendarUrl` with everything in it.
  virtual bool removeCalendar(const RemoteAccount& account, const std::string& calendarUrl) = 0;
};

}  // namespace calbridge
