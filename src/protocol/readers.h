// Field readers: each yields a value of the wanted kind or nothing (absent).
// They never fail a request themselves; a missing key, null and every value of
// another kind read as absent.
#pragma once

#include "protocol/request.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// A finite number; true and false count as 1 and 0.
std::optional<double> number(const Request& input, std::string_view key);

// A non-empty string cut to its first `max` user-perceived characters.
std::optional<std::string> text(const Request& input, std::string_view key, std::size_t max);

// Any string, the empty one included, whole.
std::optional<std::string> plainString(const Request& input, std::string_view key);

// An array of strings only (possibly empty); one element of another kind makes it absent.
std::optional<std::vector<std::string>> stringList(const Request& input, std::string_view key);

// An array of numbers only, true and false counting as 1 and 0. Elements are not
// checked for finiteness (9e308 overflows to infinity); callers pass over those.
// One element of another kind makes the whole list absent.
std::optional<std::vector<double>> numberList(const Request& input, std::string_view key);

}  // namespace calbridge
