#pragma once
// Values from a server's answers, checked before they are stored or sent
// back: an ETag goes into an If-Match header, a display name into listings.

#include <cstddef>
#include <string>
#include <string_view>

#include "base/limits.h"

namespace calbridge::caldav {

// Sync tokens and ctags are opaque, but nothing in real servers comes near this.
inline constexpr std::size_t kMaxTokenBytes = 8192;

// The ETag when it is one (RFC 9110 8.8.3: "..." or W/"...", no control
// characters, spaces or quotes inside, and not absurdly long); else empty, so
// the object counts as having none.
std::string valid_etag(std::string_view text);

// A name for a person to read: line breaks, tabs and other control characters
// become spaces (runs of them one), bidirectional embeddings, overrides and
// isolates go, the ends are trimmed, and it is cut to max_characters
// user-perceived characters (and to the store's byte bound).
std::string display_text(std::string_view text, std::size_t max_characters = kMaxCalendarTitleCharacters);

// "#RRGGBB" or "#RRGGBBAA" (hex digits, as servers write calendar-color);
// anything else is no color, empty.
std::string valid_color(std::string_view text);

// A sync token or ctag, trimmed; empty (none) when longer than kMaxTokenBytes
// or holding control characters.
std::string valid_token(std::string_view text);

}  // namespace calbridge::caldav
