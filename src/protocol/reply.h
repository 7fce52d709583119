// The response envelope and the exit status.
#pragma once

#include <rapidjson/stringbuffer.h>
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

// A streaming JSON writer for reply data. A string that is not valid UTF-8 or a
// number that is not finite makes the whole reply unserialisable; the writer
// remembers that, so callers need not check every call.
class JsonOut {
 public:
  JsonOut() : writer_(buffer_) {}

  void startObject() { note(writer_.StartObject()); }
  void endObject() { note(writer_.EndObject()); }
  void startArray() { note(writer_.StartArray()); }
  void endArray() { note(writer_.EndArray()); }
  void key(std::string_view k) { note(writer_.Key(k.data(), static_cast<rapidjson::SizeType>(k.size()))); }
  void string(std::string_view s) { note(writer_.String(s.data(), static_cast<rapidjson::SizeType>(s.size()))); }
  void boolean(bool b) { note(writer_.Bool(b)); }
  void null() { note(writer_.Null()); }
  void number(double d) { note(writer_.Double(d)); }
  void integer(std::int64_t i) { note(writer_.Int64(i)); }

  bool good() const { return good_ && writer_.IsComplete(); }
  std::string take() { return std::string(buffer_.GetString(), buffer_.GetSize()); }

 private:
  using Writer = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                   rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;
  void note(bool written) { good_ = good_ && written; }

  rapidjson::StringBuffer buffer_;
  Writer writer_;
  bool good_ = true;
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
