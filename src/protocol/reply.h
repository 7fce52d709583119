// The response envelope and the exit status.
#pragma once

#include <rapidjson/writer.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace calbridge {

enum class ErrorCode { invalid, denied, failed };

// The text written when a reply cannot be serialised: the failure envelope with
// "failed", without spaces.
inline constexpr std::string_view kUnserialisableReply = R"({"ok":false,"error":"failed"})";

// One finished reply: the envelope's text and its "ok" member, which alone
// decides the exit status (also when the text is the fallback).
struct Reply {
  bool ok = false;
  std::string text;
};

// The reply text as RapidJSON's writer builds it: a plain string, so the
// finished reply is moved out rather than copied.
struct ReplyText {
  using Ch = char;
  std::string text;
  void Put(char c) { text.push_back(c); }
  void Flush() {}
};
inline void PutReserve(ReplyText& stream, std::size_t count) { stream.text.reserve(stream.text.size() + count); }
inline void PutUnsafe(ReplyText& stream, char c) { stream.text.push_back(c); }

// A streaming JSON writer for reply data. A string that is not valid UTF-8 or a
// number that is not finite makes the whole reply unserialisable; the writer
// remembers that, so callers need not check every call. UTF-8 is checked here,
// once per string, rather than by RapidJSON character by character.
class JsonOut {
 public:
  JsonOut() : writer_(output_) {}

  void startObject() { note(writer_.StartObject()); }
  void endObject() { note(writer_.EndObject()); }
  void startArray() { note(writer_.StartArray()); }
  void endArray() { note(writer_.EndArray()); }
  void key(std::string_view k);
  void string(std::string_view s);
  void boolean(bool b) { note(writer_.Bool(b)); }
  void null() { note(writer_.Null()); }
  void number(double d);
  void integer(std::int64_t i) { note(writer_.Int64(i)); }
  // Writes one complete JSON value composed by the caller (see JsonText).
  void raw(rapidjson::Type type, std::string_view json) { verbatim(type, json); }

  // Room for a reply of about `bytes`, made before writing it: a long reply
  // then never moves while it grows. Pages not written are never touched.
  void reserve(std::size_t bytes);

  bool good() const { return good_ && writer_.IsComplete(); }
  std::string take() { return std::move(output_.text); }

 private:
  using Writer = rapidjson::Writer<ReplyText>;
  void note(bool written) { good_ = good_ && written; }
  // Lets the writer place the separator a value of `type` needs, then appends
  // the value's text as it is: what RawValue does, without its copy a
  // character at a time.
  void verbatim(rapidjson::Type type, std::string_view text);

  ReplyText output_;
  Writer writer_;
  bool good_ = true;
};

// Composes small JSON objects as text, for replies with many alike records.
// Takes only strings that need no escaping (valid UTF-8 without controls,
// quotes or backslashes); `plain` says whether one qualifies, and a caller with
// anything else writes through JsonOut instead.
class JsonText {
 public:
  static bool plain(std::string_view s);
  void clear() { used_ = 0; }
  void open() { put("{"); }
  void close() { put("}"); }
  // `name` is a key as it appears in JSON text, quotes, colon and comma
  // included where needed: "\"uid\":", ",\"title\":".
  void string(std::string_view name, std::string_view value);
  void number(std::string_view name, double value);  // a finite number
  void boolean(std::string_view name, bool value);
  std::string_view text() const { return {text_.data(), used_}; }

 private:
  // Appends through a pointer into room kept from record to record: no
  // bookkeeping of std::string's per piece.
  void put(std::string_view piece);

  std::string text_;
  std::size_t used_ = 0;
};

Reply finishReply(bool ok, JsonOut& out);

// A success reply; `writeData(JsonOut&)` writes the one "data" value.
template <typename WriteData>
Reply ok(WriteData&& writeData) {
  JsonOut out;
  out.startObject();
  out.key("ok");
  out.boolean(true);
  out.key("data");
  std::forward<WriteData>(writeData)(out);
  out.endObject();
  return finishReply(true, out);
}

// A failure reply carrying `code`.
Reply fail(ErrorCode code);

std::string_view errorText(ErrorCode code);

// Writes the reply's text to `fd` in one write (no newline follows) and returns
// the exit status: 0 when the reply's "ok" is true, else 1.
int reply(const Reply& finished, int fd);

}  // namespace calbridge
