// Where a change to a replica calendar goes before a store keeps it: the
// account's server. A store stages each change as a value (ObjectChange), hands
// it to the publisher outside its write lock, and keeps it only once the server
// has taken it, from what the server answered (PublishedObject).
#pragma once

#include "base/status.h"
#include "calendar/stored_event.h"
#include "replica/replica.h"

#include <optional>
#include <string>
#include <vector>

namespace calbridge {

// What one change does to one calendar object of a replica.
struct ObjectChange {
  enum class Kind { create, modify, remove };
  Kind kind = Kind::modify;
  std::string calendarUrl;  // the collection the object is in
  std::string url;  // the object's resource; for create, a new name the store chose
  std::string etag;  // the version the change was made from; empty for create
  std::string text;  // create and modify: the object's new text, made from the replica's
  std::vector<ObjectEdit> edits;  // modify: what made `text`, to apply to a newer text on a conflict
};

// The object as the server keeps it after a change.
struct PublishedObject {
  std::string etag;  // empty after a remove
  std::string text;  // what the server now has: the text sent, or after a conflict the server's text with the edits
  // After a conflict only: the server had moved on from `change.etag`, and the
  // change went onto its version instead. What the store lists must then be
  // read again, from `text`.
  struct Rebased {
    std::string etag;  // of the server's version the change went onto
    std::vector<StoredEvent> events;  // read from `text` (none after a remove)
  };
  std::optional<Rebased> rebased;
};

class ObjectPublisher {
 public:
  virtual ~ObjectPublisher() = default;

  // `account` names the server and how to sign in (url, user, password
  // command, CA file); it is only borrowed for the call.
  //
  // Makes `change` on the server, within the publisher's time bound, and
  // fills `*answer` when the server has it. Otherwise why not: refused,
  // unreachable, no answer in time, an answer that cannot be read. A remove
  // of an object already gone succeeds. Never called inside a store's write
  // transaction, and must not use the store.
  virtual Status publish(const RemoteAccount& account, const ObjectChange& change, PublishedObject* answer) = 0;

  // A new calendar collection under the account's calendar home, with a title
  // and a color ("#RRGGBB" or empty); its url in `*url`.
  virtual Status makeCalendar(const RemoteAccount& account, const std::string& title, const std::string& color,
                              std::string* url) = 0;
  // Removes the collection at `calendarUrl` with everything in it; one already gone counts as removed.
  virtual Status removeCalendar(const RemoteAccount& account, const std::string& calendarUrl) = 0;
};

}  // namespace calbridge
