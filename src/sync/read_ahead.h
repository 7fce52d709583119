// Reading a first sync's objects while the server is still sending them.
//
// A first sync holds every object in memory before the account is stored
// with them, so reading them one after the other once the last has come adds
// all of the reading to all of the fetching. A ReadAhead reads each batch on
// a thread of its own as the sync hands it over; the account is then stored
// from what was read, and only an object whose final text was not read ahead
// (one a later answer replaced, say) is read again.
#pragma once

#include "calendar/stored_event.h"
#include "calendar/time_zone.h"
#include "replica/replica.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace calbridge {

// An object's events; none when its text cannot be read or was too large to
// fetch, which the warnings tell.
std::vector<StoredEvent> eventsOf(const ReplicaObject& object, ZoneCache& zones, std::vector<std::string>* warnings);

class ReadAhead {
 public:
  // `zones` belongs to the reading thread from here until finish() returns:
  // nobody else may use it meanwhile.
  explicit ReadAhead(ZoneCache& zones);
  // Stops the thread, leaving unread what is still queued.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Queues copies of the objects for reading. Returns at once, unless the
  // queue already holds kQueuedBytes of text: then once the reading thread
  // has caught up that far (what is queued is a second copy of each text;
  // one batch may take the queue past the bound).
  void add(const std::vector<ReplicaObject>& objects);
  static constexpr std::size_t kQueuedBytes = 8u << 20;
  // Reads what is still queued, on this thread too, and ends the other.
  void finish();
  // After finish(): the events of `object`, read ahead when its text was,
  // else read now; warnings only for what is taken.
  std::vector<StoredEvent> take(const ReplicaObject& object, std::vector<std::string>* warnings);

 private:
  // What was read of one text, and enough to know that text again without
  // keeping it (a first sync already holds every text once).
  struct Read {
    std::string etag;
    std::size_t size = 0;
    std::size_t digest = 0;
    bool tooLarge = false;
    std::vector<StoredEvent> events;
    std::vector<std::string> warnings;
  };
  static bool sameText(const Read& read, const ReplicaObject& object);
  // Reads queued objects with `zones` into `into` until the queue is empty
  // and no more come (or, when `untilStopped` is false, just until empty).
  void readQueued(ZoneCache& zones, std::unordered_map<std::string, Read>& into, bool untilStopped);

  ZoneCache& zones_;
  std::mutex mutex_;
  std::condition_variable wake_;  // for the reading thread: something queued, or the end
  std::condition_variable room_;  // for add(): the queue shrank
  std::deque<ReplicaObject> queue_;
  std::size_t queuedBytes_ = 0;
  bool stopping_ = false;  // no more objects come; read what is queued and end
  bool abandoned_ = false;  // end without reading the rest
  // By url: the reading thread's until finish(), which adds its own. Of two
  // reads of one url either may be kept: take() uses one only for its text.
  std::unordered_map<std::string, Read> read_;
  std::thread thread_;
};

}  // namespace calbridge
