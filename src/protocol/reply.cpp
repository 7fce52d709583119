#include "protocol/reply.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <unistd.h>

namespace calbridge {

namespace {

// Valid UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool validUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
    if (extra < 0 || c > 0xF4 || end - p <= extra) return false;
    unsigned char second = p[1];
    unsigned char low = 0x80, high = 0xBF;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
    if (second < low || second > high) return false;
    for (int i = 2; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += extra + 1;
  }
  return true;
}

// True when JSON takes the string as it is: printable ASCII without quote or backslash.
bool needsNoEscape(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') return false;
  }
  return true;
}

}  // namespace

void JsonOut::verbatim(rapidjson::Type type, std::string_view text) {
  note(writer_.RawValue("", 0, type));
  output_.text.append(text);
}

// Most strings in replies (identifiers, most titles) go out as they are; the
// rest are checked for UTF-8 once and escaped by the writer.
void JsonOut::string(std::string_view s) {
  if (!needsNoEscape(s)) {
    note(validUtf8(s) && writer_.String(s.data(), static_cast<rapidjson::SizeType>(s.size())));
    return;
  }
  note(writer_.RawValue("", 0, rapidjson::kStringType));
  output_.text.push_back('"');
  output_.text.append(s);
  output_.text.push_back('"');
}

void JsonOut::key(std::string_view k) {
  // A key is a string in the writer's eyes: it places ':' or ',' alike.
  string(k);
}

// Times are mostly whole seconds. For those the shortest text that reads back
// is the integer with ".0", exactly what the writer's general conversion makes.
void JsonOut::number(double d) {
  if (d == std::floor(d) && std::fabs(d) < 1e15 && !(d == 0 && std::signbit(d))) {
    char text[24];
    auto written = std::to_chars(text, text + sizeof text - 2, static_cast<long long>(d));
    *written.ptr++ = '.';
    *written.ptr++ = '0';
    verbatim(rapidjson::kNumberType, std::string_view(text, static_cast<std::size_t>(written.ptr - text)));
    return;
  }
  note(writer_.Double(d));
}

Reply finishReply(bool ok, JsonOut& out) {
  if (!out.good()) return Reply{ok, std::string(kUnserialisableReply)};
  return Reply{ok, out.take()};
}

std::string_view errorText(ErrorCode code) {
  switch (code) {
    case ErrorCode::invalid: return "invalid";
    case ErrorCode::denied: return "denied";
    case ErrorCode::failed: return "failed";
  }
  return "failed";
}

Reply fail(ErrorCode code) {
  JsonOut out;
  out.startObject();
  out.key("ok");
  out.boolean(false);
  out.key("error");
  out.string(errorText(code));
  out.endObject();
  return finishReply(false, out);
}

int reply(const Reply& finished, int fd) {
  // One write call carries the whole text; the loop only resumes after a signal
  // or a short write on a full pipe, so the host never sees two replies.
  const char* p = finished.text.data();
  std::size_t left = finished.text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // the host has gone; the exit status still tells what happened
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return finished.ok ? 0 : 1;
}

}  // namespace calbridge
