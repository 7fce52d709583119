#include "eventkit/strings.h"

#include <utf8proc.h>

#include <vector>

namespace calbridge {

NSString* newNSString(std::string_view utf8) {
  std::vector<unichar> units;
  units.reserve(utf8.size());
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
  for (std::size_t at = 0; at < utf8.size();) {
    utf8proc_int32_t code = 0;
    utf8proc_ssize_t length = utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(utf8.size() - at), &code);
    if (length <= 0) return nil;
    at += static_cast<std::size_t>(length);
    if (code >= 0x10000) {
      code -= 0x10000;
      units.push_back(static_cast<unichar>(0xD800 + (code >> 10)));
      units.push_back(static_cast<unichar>(0xDC00 + (code & 0x3FF)));
    } else {
      units.push_back(static_cast<unichar>(code));
    }
  }
  // Made from the characters, a string may take a leading U+FEFF for a byte
  // order mark and drop it (GNUstep's does); a formatted one keeps it.
  if (!units.empty() && units.front() == 0xFEFF) {
    NSString* rest = [[NSString alloc] initWithCharacters:units.data() + 1 length:units.size() - 1];
    return [[NSString alloc] initWithFormat:@"%C%@", static_cast<unichar>(0xFEFF), rest];
  }
  return [[NSString alloc] initWithCharacters:units.data() length:units.size()];
}

std::string utf8Of(NSString* string) {
  std::string utf8;
  const NSUInteger length = string.length;
  if (length == 0) return utf8;
  std::vector<unichar> units(length);
  [string getCharacters:units.data() range:NSMakeRange(0, length)];
  utf8.reserve(length);
  utf8proc_uint8_t encoded[4];
  for (NSUInteger i = 0; i < length; ++i) {
    utf8proc_int32_t code = units[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    utf8.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(utf8proc_encode_char(code, encoded)));
  }
  return utf8;
}

}  // namespace calbridge
