#include "caldav/server_text.h"

#include <algorithm>
#include <utility>

#include "base/limits.h"
#include "base/unicode.h"

namespace calbridge::caldav {
namespace {

constexpr std::size_t kMaxEtagBytes = 1024;

std::string_view trimmed(std::string_view text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  size_t e = text.find_last_not_of(" \t\r\n");
  return text.substr(b, e - b + 1);
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The code point at text[i] and its length in bytes; malformed bytes read as
// themselves, one byte each.
std::pair<char32_t, size_t> code_point(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b = byte(i);
  size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
  if (n == 1 || i + n > text.size()) return {b, 1};
  char32_t c = b & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return {b, 1};
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  return {c, n};
}

bool is_bidi_control(char32_t c) { return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069); }
bool is_control(char32_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); }

}  // namespace

std::string valid_etag(std::string_view text) {
  std::string_view etag = trimmed(text);
  std::string_view inside = etag;
  if (inside.substr(0, 2) == "W/") inside.remove_prefix(2);
  if (etag.size() > kMaxEtagBytes || inside.size() < 2 || inside.front() != '"' || inside.back() != '"') return {};
  for (char c : inside.substr(1, inside.size() - 2)) {
    auto u = static_cast<unsigned char>(c);
    // etagc = %x21 / %x23-7E / obs-text
    if (u < 0x21 || u == '"' || u == 0x7F) return {};
  }
  return std::string(etag);
}

std::string display_text(std::string_view text, std::size_t max_characters) {
  std::string out;
  out.reserve(std::min(text.size(), max_characters * 4));
  bool space = false;
  for (size_t i = 0; i < text.size();) {
    auto [c, n] = code_point(text, i);
    if (is_bidi_control(c)) {
      // left out
    } else if (is_control(c) || c == ' ') {
      space = true;
    } else {
      if (space && !out.empty()) out += ' ';
      space = false;
      out.append(text, i, n);
    }
    i += n;
    // Far more than any cut keeps; the rest is never looked at.
    if (out.size() > kMaxInputBytes) break;
  }
  cutToCharacters(out, max_characters, kMaxInputBytes);
  return out;
}

std::string valid_color(std::string_view text) {
  std::string_view color = trimmed(text);
  if ((color.size() != 7 && color.size() != 9) || color.front() != '#') return {};
  for (char c : color.substr(1))
    if (!is_hex(c)) return {};
  return std::string(color);
}

std::string valid_token(std::string_view text) {
  std::string_view token = trimmed(text);
  if (token.size() > kMaxTokenBytes) return {};
  for (char c : token)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return {};
  return std::string(token);
}

}  // namespace calbridge::caldav
