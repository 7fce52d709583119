// Color strings and user-perceived characters: colorFromHex and hex, and
// graphemePrefix with the text readers built on it.
//
// Input: the first byte is the character limit (0 to 255, which covers every
// limit the commands use); the rest is the text. The same bytes, read as
// doubles, also make a color in each color space for hex.
#include "calendar/color.h"
#include "protocol/readers.h"
#include "protocol/reply.h"
#include "base/unicode.h"


#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using namespace calbridge;

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "text fuzzer: %s\n", what);
  std::abort();
}

bool isColorString(const std::string& s) {
  if (s.size() != 7 || s[0] != '#') return false;
  for (char c : s.substr(1)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void checkColors(std::string_view s, const std::uint8_t* data, std::size_t size) {
  if (auto color = colorFromHex(s)) {
    check(s.size() == 7 && s[0] == '#', "a color from something other than # and six characters");
    std::string text = hex(color);
    check(isColorString(text), "hex of a parsed color is not #rrggbb");
    if (s[1] != '+' && s[1] != '-') {
      std::string lower(s);
      for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
      check(text == lower, "a color string does not read back as itself");
    }
    auto again = colorFromHex(text);
    check(again && again->components == color->components, "hex of a color does not parse to the same color");
  }
  // Any components at all, NaN, infinities and huge values included.
  for (ColorSpace space : {ColorSpace::sRGB, ColorSpace::gray, ColorSpace::other}) {
    Color color{space, {}};
    for (std::size_t at = 0; at + sizeof(double) <= size && color.components.size() < 5; at += sizeof(double)) {
      double component;
      std::memcpy(&component, data + at, sizeof component);
      color.components.push_back(component);
    }
    check(isColorString(hex(color)), "hex of an arbitrary color is not #rrggbb");
  }
  check(hex(std::nullopt) == kDefaultColorString, "no color is not the default color");
}

void checkPrefix(std::string_view s, std::size_t max) {
  std::string_view prefix = graphemePrefix(s, max);
  check(prefix.data() == s.data() && prefix.size() <= s.size(), "the prefix is not a prefix");
  std::size_t count = graphemeCount(prefix);
  check(count <= max, "the prefix holds more characters than allowed");
  if (prefix.size() < s.size()) {
    check(count == max, "a cut prefix holds fewer characters than allowed");
    check(graphemeCount(s, max + 1) == max + 1, "a text within the limit was cut");
  } else {
    check(graphemeCount(s) <= max, "a text over the limit was not cut");
  }
  check(graphemePrefix(prefix, max) == prefix, "cutting twice cuts more");
}

// The text as a JSON string with only what JSON requires escaped, its bytes
// otherwise as they are: the request decoder's idea of UTF-8.
std::string asJsonMember(std::string_view s) {
  std::string json = "{\"t\":\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      json += escape;
    } else {
      json += c;
    }
  }
  return json + "\"}";
}

// The text through the reply writer, decoding and the readers. The writer and
// the decoder must agree on what is UTF-8, or a title could be taken in that
// can never be listed again.
void checkReaders(std::string_view s, std::size_t max) {
  JsonOut out;
  out.startObject();
  out.key("t");
  out.string(s);
  out.endObject();
  bool decodes = decodeRequest(asJsonMember(s)).document.IsObject();
  check(out.good() == decodes, "the reply writer and the request decoder disagree on UTF-8");
  if (!out.good()) return;
  std::string json = out.take();
  Request request = decodeRequest(json);
  check(request.document.IsObject(), "a request with a valid string did not decode");
  check(plainString(request, "t") == std::string(s), "a string does not read back as itself");
  auto cut = text(request, "t", max);
  if (s.empty()) {
    check(!cut, "the empty string read as text");
  } else {
    check(cut == std::string(graphemePrefix(s, max)), "text differs from the grapheme prefix");
  }
  check(!number(request, "t") && !stringList(request, "t") && !numberList(request, "t"),
        "a string read as another kind");
  check(canonicallyEqual(s, nfc(s)), "a text differs canonically from its own normal form");
  check(nfc(nfc(s)) == nfc(s), "normalisation is not idempotent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t max = data[0];
  std::string_view s(reinterpret_cast<const char*>(data + 1), size - 1);
  checkColors(s, data + 1, size - 1);
  checkPrefix(s, max);
  checkReaders(s, max);
  return 0;
}
