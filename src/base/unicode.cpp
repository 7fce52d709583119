#include "base/unicode.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace calbridge {

namespace {

// Decodes one code point at `s[i]`; a malformed byte reads as itself, one byte long.
utf8proc_int32_t decodeAt(std::string_view s, std::size_t i, std::size_t* length) {
  utf8proc_int32_t cp = 0;
  auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + i),
                            static_cast<utf8proc_ssize_t>(s.size() - i), &cp);
  if (n <= 0) {
    *length = 1;
    return static_cast<unsigned char>(s[i]);
  }
  *length = static_cast<std::size_t>(n);
  return cp;
}

// Walks grapheme cluster boundaries, calling `atBoundary(byteOffset)` at the
// start of each cluster after the first; stops early when it returns false.
template <typename F>
void forEachBoundary(std::string_view s, F&& atBoundary) {
  if (s.empty()) return;
  std::size_t i = 0;
  std::size_t len = 0;
  // Plain ASCII breaks between every pair of characters except CR LF, so the
  // common case needs no property lookups; any other byte hands over to utf8proc.
  while (i + 1 < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    auto d = static_cast<unsigned char>(s[i + 1]);
    if (c >= 0x80 || d >= 0x80) break;
    ++i;
    if (c == '\r' && d == '\n') continue;
    if (!atBoundary(i)) return;
  }
  if (i + 1 >= s.size()) return;
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = decodeAt(s, i, &len);
  i += len;
  while (i < s.size()) {
    utf8proc_int32_t current = decodeAt(s, i, &len);
    if (utf8proc_grapheme_break_stateful(previous, current, &state)) {
      if (!atBoundary(i)) return;
    }
    previous = current;
    i += len;
  }
}

}  // namespace

std::string_view graphemePrefix(std::string_view s, std::size_t max) {
  if (max == 0) return s.substr(0, 0);
  if (s.size() <= max) return s;  // every cluster holds at least one byte
  std::size_t clusters = 1;
  std::size_t end = s.size();
  forEachBoundary(s, [&](std::size_t at) {
    if (clusters == max) {
      end = at;
      return false;
    }
    ++clusters;
    return true;
  });
  return s.substr(0, end);
}

std::size_t graphemeCount(std::string_view s, std::size_t limit) {
  if (s.empty() || limit == 0) return 0;
  std::size_t clusters = 1;
  // With a limit of one the first boundary would already count past it.
  if (clusters < limit) forEachBoundary(s, [&](std::size_t) { return ++clusters < limit; });
  return clusters;
}

bool isAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string nfc(std::string_view s) {
  if (isAscii(s)) return std::string(s);
  utf8proc_uint8_t* out = nullptr;
  auto n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                        static_cast<utf8proc_ssize_t>(s.size()), &out,
                        static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (n < 0) return std::string(s);
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;
  return nfc(a) == nfc(b);
}

bool cutToCharacters(std::string& text, std::size_t max, std::size_t maxBytes) {
  if (text.size() <= max) return false;  // no character is shorter than a byte
  std::size_t kept = std::min(graphemePrefix(text, max).size(), maxBytes);
  while (kept > 0 && kept < text.size() && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80) --kept;
  if (kept == text.size()) return false;
  text.resize(kept);
  return true;
}

}  // namespace calbridge
