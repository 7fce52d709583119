// Each VEVENT's SUMMARY as the file writes it: libical trims the blanks at
// the ends of a value, which are part of a text (RFC 5545 3.3.11).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// By VEVENT in the order of `text` (unfolded, as the frame check leaves it),
// its SUMMARY unescaped; none for an event without one.
std::vector<std::optional<std::string>> writtenSummaries(std::string_view text);

}  // namespace calbridge
