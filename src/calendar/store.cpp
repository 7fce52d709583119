#include "calendar/store.h"

#include <sys/random.h>

#include <cstdint>
#include <cstdio>
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

std::string newUuid() {
  std::uint8_t bytes[16];
  // getentropy, not getrandom: macOS has only the former.
  if (getentropy(bytes, sizeof bytes) != 0) {
    // No kernel entropy call (very old kernels): the library's device still is random.
    std::random_device device;
    for (auto& b : bytes) b = static_cast<std::uint8_t>(device());
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return std::string(text, 36);
}

}  // namespace calbridge
