// The bounds of a request, in one place: the commands enforce them, and every
// other way text enters the store (calendar files, CalDAV servers, the owner's
// tool) cuts to the same ones, so that anything stored can be sent back in a
// reply and named again in a request.
#pragma once

#include <cstddef>

namespace calbridge {

// Input longer than this many bytes is refused before it is decoded.
inline constexpr std::size_t kMaxInputBytes = 1000000;

// Lengths in user-perceived characters (extended grapheme clusters).
inline constexpr std::size_t kMaxTitleCharacters = 255;  // an event's title
inline constexpr std::size_t kMaxCalendarTitleCharacters = 255;
inline constexpr std::size_t kMaxCalendarIdCharacters = 200;  // as deleteCalendar reads it
inline constexpr std::size_t kMaxUidCharacters = 1000;

inline constexpr double kMaxEventSeconds = 86400;  // how long a new event may last
inline constexpr std::size_t kMaxSkipEntries = 1000;
inline constexpr double kMaxWindowSeconds = 38880000;  // 450 days
inline constexpr std::size_t kMaxQueriedCalendars = 500;
inline constexpr std::size_t kMaxEventRecords = 20000;

}  // namespace calbridge
