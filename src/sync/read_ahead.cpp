#include "sync/read_ahead.h"

#include "base/limits.h"
#include "caldav/client.h"
#include "caldav/http.h"
#include "sync/object_events.h"

#include <functional>

namespace calbridge {

std::vector<StoredEvent> eventsOf(const ReplicaObject& object, ZoneCache& zones, std::vector<std::string>* warnings) {
  if (object.too_large) {
    warnings->push_back(caldav::shown_url(object.url) + ": larger than " +
                        std::to_string(caldav::kMaxObjectBytes >> 20) + " MiB, kept without its text; it lists nothing");
    return {};
  }
  ObjectEvents read = readObjectEvents(object.data, zones);
  if (!read.error.empty()) {
    warnings->push_back(object.url + ": " + read.error);
    return {};
  }
  if (read.cuts > 0)
    warnings->push_back(object.url + ": titles cut to " + std::to_string(kMaxTitleCharacters) + " characters, uids to " +
                        std::to_string(kMaxUidCharacters));
  return std::move(read.events);
}

ReadAhead::ReadAhead(ZoneCache& zones) : zones_(zones), thread_([this] { readQueued(zones_, read_, true); }) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
  }
  wake_.notify_one();
  room_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ReadAhead::add(const std::vector<ReplicaObject>& objects) {
  // One lock and one wake per batch, not per object: each wake of a waiting
  // thread is a call into the kernel.
  {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return queuedBytes_ < kQueuedBytes || abandoned_; });
    for (const ReplicaObject& o : objects) {
      queue_.push_back(o);
      queuedBytes_ += o.data.size();
    }
  }
  wake_.notify_one();
}

void ReadAhead::finish() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  // The fetching is over: this thread reads beside the other, with zones of
  // its own, whose defined ones then join the caller's.
  ZoneCache zones;
  std::unordered_map<std::string, Read> read;
  readQueued(zones, read, false);
  if (thread_.joinable()) thread_.join();
  zones_.addDefinedFrom(zones);
  for (auto& [url, one] : read) read_.insert_or_assign(url, std::move(one));
}

void ReadAhead::readQueued(ZoneCache& zones, std::unordered_map<std::string, Read>& into, bool untilStopped) {
  // A few objects per turn of the lock, so that once the fetching ends both
  // threads still share what is left.
  constexpr std::size_t kPerTurn = 16;
  std::vector<ReplicaObject> taken;
  for (;;) {
    taken.clear();
    {
      std::unique_lock lock(mutex_);
      if (untilStopped) wake_.wait(lock, [this] { return abandoned_ || stopping_ || !queue_.empty(); });
      if (abandoned_ || queue_.empty()) return;
      while (!queue_.empty() && taken.size() < kPerTurn) {
        queuedBytes_ -= queue_.front().data.size();
        taken.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    room_.notify_one();
    for (ReplicaObject& object : taken) {
      Read read;
      try {
        read.events = eventsOf(object, zones, &read.warnings);
      } catch (const std::exception&) {
        continue;  // read again by take(), where a failure has a caller to reach
      }
      read.etag = std::move(object.etag);
      read.size = object.data.size();
      read.digest = std::hash<std::string>{}(object.data);
      read.tooLarge = object.too_large;
      into.insert_or_assign(std::move(object.url), std::move(read));
    }
  }
}

// A server gives a changed text a new ETag; the size and a digest stand
// guard besides.
bool ReadAhead::sameText(const Read& read, const ReplicaObject& object) {
  return read.etag == object.etag && read.tooLarge == object.too_large && read.size == object.data.size() &&
         read.digest == std::hash<std::string>{}(object.data);
}

std::vector<StoredEvent> ReadAhead::take(const ReplicaObject& object, std::vector<std::string>* warnings) {
  auto it = read_.find(object.url);
  if (it == read_.end() || !sameText(it->second, object)) return eventsOf(object, zones_, warnings);
  for (auto& w : it->second.warnings) warnings->push_back(std::move(w));
  std::vector<StoredEvent> events = std::move(it->second.events);
  read_.erase(it);
  return events;
}

}  // namespace calbridge
