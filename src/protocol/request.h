// The request object: one JSON object decoded from standard input.
#pragma once

#include <rapidjson/document.h>

#include "base/limits.h"

#include <cstddef>
#include <string_view>

namespace calbridge {

// A decoded request. Holds the top-level object, or nothing when the input was
// empty, undecodable or not an object: the empty request. Never modified once made.
struct Request {
  rapidjson::Document document;  // an object, or null for the empty request
};

// Decodes `bytes` as strict JSON: UTF-8 only (a leading byte order mark is
// skipped), no NaN or Infinity, no NUL bytes, no lone surrogate escapes, one value
// only. Numbers are read as the correctly rounded double of their text. Depth
// costs heap, not stack. Anything else yields the empty request.
Request decodeRequest(std::string_view bytes);

// The value of member `key`, compared under canonical equivalence; when the key
// appears more than once the last one wins. Null when absent.
const rapidjson::Value* member(const Request& request, std::string_view key);

}  // namespace calbridge
