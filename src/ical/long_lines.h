// Long content lines, made short before libical reads them.
//
// libical's line reader scans all it has gathered of a line again for every
// piece it adds, so a line costs the square of its length: one 8 MB
// DESCRIPTION took 7.5 to 24 s. The reader needs no long value in full (a
// title comes from the text itself, a description is only counted), so what
// libical gets has none: long free text is cut, a long list of dates is split
// into several properties of the same meaning, and a text where any other
// line (a UID, a time with its parameters) is longer still is not read at
// all. The text the store keeps is the original.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace calbridge {

// Free text and lists of dates longer than this (a logical, unfolded line, in
// bytes) are cut or split to it.
inline constexpr std::size_t kLongLine = 4096;
// Any other line may be this long; libical reads one in about a millisecond.
inline constexpr std::size_t kLongestLine = 65536;

// `text` as libical is to read it; nothing, with why in *error, when a line
// that cannot be shortened is longer than kLongestLine.
std::optional<std::string> linesForLibical(std::string_view text, std::string* error);

}  // namespace calbridge
