#include "protocol/reply.h"

#include <cerrno>
#include <sys/mman.h>
#include <array>
#include <cstdint>
#include <cstring>
#include <charconv>
#include <cmath>
#include <unistd.h>

namespace calbridge {

namespace {

// Length of the UTF-8 sequence starting at p (before end), or 0 when it is not
// valid: shortest forms only, no surrogates, nothing above U+10FFFF.
std::size_t sequenceLength(const unsigned char* p, const unsigned char* end) {
  unsigned char c = *p;
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
  if (extra < 0 || c > 0xF4 || end - p <= extra) return 0;
  unsigned char low = 0x80, high = 0xBF;
  if (c == 0xE0) low = 0xA0;
  if (c == 0xED) high = 0x9F;
  if (c == 0xF0) low = 0x90;
  if (c == 0xF4) high = 0x8F;
  if (p[1] < low || p[1] > high) return 0;
  for (int i = 2; i <= extra; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  return static_cast<std::size_t>(extra) + 1;
}

bool validUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    std::size_t length = sequenceLength(p, end);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

// Bytes a JSON string cannot hold as they are (controls, quote, backslash),
// and the lead bytes of multi-byte characters, which need a look.
constexpr auto kAttention = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = table['\\'] = true;
  for (int c = 0x80; c < 0x100; ++c) table[c] = true;
  return table;
}();

// True when the string is valid UTF-8 that JSON takes as it is, which is what
// the writer would write for it: it escapes only controls, quote and backslash.
bool verbatimSafe(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  // Eight bytes at a time while they are plain ASCII: no high bit, nothing
  // below 0x20, no quote, no backslash (a byte equal to c shows as a zero byte
  // in word ^ c, and a zero byte sets its high bit in (v - 0x01..) & ~v).
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  auto zeroByte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  for (;;) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      std::uint64_t special = (word & kHighs) | ((word - 0x20 * kOnes) & ~word & kHighs) |
                              zeroByte(word ^ ('"' * kOnes)) | zeroByte(word ^ ('\\' * kOnes));
      if (special != 0) break;
      p += 8;
    }
    while (p < end && !kAttention[*p]) ++p;
    if (p == end) return true;
    if (*p < 0x80) return false;
    std::size_t length = sequenceLength(p, end);
    if (length == 0) return false;
    p += length;
  }
}

}  // namespace

namespace {

// The text of a finite number as the writer makes it, in `buffer` (32 bytes):
// whole values below 1e15 as the integer and ".0", others by its shortest
// round-trip conversion.
std::string_view numberText(double d, char* buffer) {
  char* end;
  if (d == std::floor(d) && std::fabs(d) < 1e15 && !(d == 0 && std::signbit(d))) {
    end = std::to_chars(buffer, buffer + 30, static_cast<long long>(d)).ptr;
    *end++ = '.';
    *end++ = '0';
  } else {
    end = rapidjson::internal::dtoa(d, buffer);
  }
  return {buffer, static_cast<std::size_t>(end - buffer)};
}

}  // namespace

bool JsonText::plain(std::string_view s) { return verbatimSafe(s); }

void JsonText::put(std::string_view piece) {
  if (piece.empty()) return;  // an empty view may point nowhere, which memcpy must not be given
  if (used_ + piece.size() > text_.size()) text_.resize(std::max<std::size_t>(2 * text_.size(), used_ + piece.size() + 256));
  std::memcpy(text_.data() + used_, piece.data(), piece.size());
  used_ += piece.size();
}

void JsonText::string(std::string_view name, std::string_view value) {
  put(name);
  put("\"");
  put(value);
  put("\"");
}

void JsonText::number(std::string_view name, double value) {
  put(name);
  char buffer[32];
  put(numberText(value, buffer));
}

void JsonText::boolean(std::string_view name, bool value) {
  put(name);
  put(value ? "true" : "false");
}

void JsonOut::reserve(std::size_t bytes) {
  output_.text.reserve(bytes);
#ifdef MADV_HUGEPAGE  // Linux's advice; macOS has none of the kind
  // Writing megabytes page by page costs a fault per 4 KiB; whole 2 MiB pages,
  // where the system grants them, cost one each.
  constexpr std::uintptr_t kHuge = 2 << 20;
  auto begin = reinterpret_cast<std::uintptr_t>(output_.text.data());
  std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  std::uintptr_t last = (begin + output_.text.capacity()) & ~(kHuge - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

void JsonOut::verbatim(rapidjson::Type type, std::string_view text) {
  note(writer_.RawValue("", 0, type));
  output_.text.append(text);
}

// Most strings in replies (identifiers, titles) go out as they are; the rest
// are checked for UTF-8 once and escaped by the writer.
void JsonOut::string(std::string_view s) {
  if (!verbatimSafe(s)) {
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
  if (!std::isfinite(d)) {
    note(writer_.Double(d));  // refused: JSON has no such number
    return;
  }
  char buffer[32];
  verbatim(rapidjson::kNumberType, numberText(d, buffer));
}

Reply finishReply(bool ok, JsonOut& out) {
  // The fallback says "ok":false, and the exit status must say the same.
  if (!out.good()) return Reply{false, std::string(kUnserialisableReply)};
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
