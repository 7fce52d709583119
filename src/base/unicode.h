// Unicode helpers for the protocol: user-perceived characters and canonical
// equivalence. Inputs are UTF-8; malformed bytes are tolerated (each counts
// as one character and is compared byte for byte) so no caller has to check first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace calbridge {

// The longest prefix of `s` holding at most `max` extended grapheme clusters.
std::string_view graphemePrefix(std::string_view s, std::size_t max);

// Cuts `text` to its first `max` user-perceived characters and to no more than
// `maxBytes` bytes (one character may be any number of code points), never
// inside a code point; true when it was longer.
bool cutToCharacters(std::string& text, std::size_t max, std::size_t maxBytes);

// Extended grapheme clusters in `s`, counting no further than `limit`.
std::size_t graphemeCount(std::string_view s, std::size_t limit = static_cast<std::size_t>(-1));

// Normalization Form C of `s`; `s` itself when it is ASCII or not valid UTF-8.
std::string nfc(std::string_view s);

// Equality under Unicode canonical equivalence.
bool canonicallyEqual(std::string_view a, std::string_view b);

bool isAscii(std::string_view s);

}  // namespace calbridge
