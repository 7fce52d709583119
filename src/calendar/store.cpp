#include "calendar/store.h"

#include <pthread.h>
#include <sys/random.h>

#include <cstdint>
#include <cstring>
#include <random>

namespace calbridge {

std::vector<Event> Store::eventsMatching(double start, double end,
                                         const std::vector<std::shared_ptr<const Calendar>>& calendars) {
  std::vector<Event> events;
  enumerateEventsMatching(start, end, calendars, [&](const Event& event) {
    events.push_back(event);
    return true;
  });
  return events;
}

namespace {

// Random bytes come from the kernel 256 at a time (getentropy's most), not 16:
// a first sync names thousands of events, and a call into the kernel each
// time was a fifth of inserting an event row on a virtual machine.
struct EntropyPool {
  std::uint8_t bytes[256];
  std::size_t used = sizeof bytes;
};
thread_local EntropyPool pool;

// A child made by fork must not hand out the parent's next identifiers.
void forgetPoolInChild() { pool.used = sizeof pool.bytes; }

void randomBytes(std::uint8_t* out, std::size_t count) {
  if (pool.used + count > sizeof pool.bytes) {
    static const bool forgottenAtFork = pthread_atfork(nullptr, nullptr, forgetPoolInChild) == 0;
    (void)forgottenAtFork;
    // getentropy, not getrandom: macOS has only the former.
    if (getentropy(pool.bytes, sizeof pool.bytes) != 0) {
      // No kernel entropy call (very old kernels): the library's device still is random.
      std::random_device device;
      for (auto& b : pool.bytes) b = static_cast<std::uint8_t>(device());
    }
    pool.used = 0;
  }
  std::memcpy(out, pool.bytes + pool.used, count);
  pool.used += count;
}

}  // namespace

std::string newUuid() {
  std::uint8_t bytes[16];
  randomBytes(bytes, sizeof bytes);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace calbridge
