#include "protocol/request.h"

#include "base/unicode.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace calbridge {

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseIterativeFlag |
                                 rapidjson::kParseNumbersAsStringsFlag;

// UTF-8 validation passes escapes through unchecked, so "\udc00" arrives as the
// encoded surrogate ED B0 80, which is not UTF-8. In valid UTF-8, ED is only
// ever followed by 80..9F.
bool holdsEncodedSurrogate(const char* s, rapidjson::SizeType length) {
  const char* end = s + length;
  for (const char* p = s; p + 1 < end; ++p) {
    p = static_cast<const char*>(std::memchr(p, '\xED', static_cast<std::size_t>(end - p - 1)));
    if (p == nullptr) return false;
    if (static_cast<unsigned char>(p[1]) >= 0xA0) return true;
  }
  return false;
}

// Sits between the reader and the document. Numbers arrive as their text and
// are converted with strtod, which rounds correctly; the reader's own
// full-precision conversion reads out of bounds on some inputs.
class Decoder {
 public:
  explicit Decoder(rapidjson::Document& document) : document_(document) {}

  bool Null() { return document_.Null(); }
  bool Bool(bool b) { return document_.Bool(b); }
  bool Int(int i) { return document_.Int(i); }
  bool Uint(unsigned u) { return document_.Uint(u); }
  bool Int64(int64_t i) { return document_.Int64(i); }
  bool Uint64(uint64_t u) { return document_.Uint64(u); }
  bool Double(double d) { return document_.Double(d); }
  bool RawNumber(const char* text, rapidjson::SizeType, bool) {
    // The reader has checked the JSON number grammar; the text is NUL-terminated.
    return document_.Double(std::strtod(text, nullptr));
  }
  bool String(const char* s, rapidjson::SizeType length, bool copy) {
    return !holdsEncodedSurrogate(s, length) && document_.String(s, length, copy);
  }
  bool Key(const char* s, rapidjson::SizeType length, bool copy) {
    return !holdsEncodedSurrogate(s, length) && document_.Key(s, length, copy);
  }
  bool StartObject() { return document_.StartObject(); }
  bool EndObject(rapidjson::SizeType n) { return document_.EndObject(n); }
  bool StartArray() { return document_.StartArray(); }
  bool EndArray(rapidjson::SizeType n) { return document_.EndArray(n); }

 private:
  rapidjson::Document& document_;
};

}  // namespace

Request decodeRequest(std::string_view bytes) {
  Request request;
  if (bytes.size() >= 3 && std::memcmp(bytes.data(), "\xEF\xBB\xBF", 3) == 0) bytes.remove_prefix(3);
  // A raw NUL is never valid JSON, and the reader would take it for the end of input.
  if (bytes.empty() || std::memchr(bytes.data(), '\0', bytes.size()) != nullptr) return request;

  rapidjson::Document parsed;
  bool decoded = false;
  auto generate = [&](rapidjson::Document& target) {
    Decoder decoder(target);
    rapidjson::MemoryStream stream(bytes.data(), bytes.size());
    rapidjson::Reader reader;
    decoded = !reader.Parse<kParseFlags>(stream, decoder).IsError();
    return decoded;
  };
  parsed.Populate(generate);
  if (decoded && parsed.IsObject()) request.document.Swap(parsed);
  return request;
}

const rapidjson::Value* member(const Request& request, std::string_view key) {
  const auto& document = request.document;
  if (!document.IsObject()) return nullptr;
  for (auto it = document.MemberEnd(); it != document.MemberBegin();) {
    --it;
    std::string_view name(it->name.GetString(), it->name.GetStringLength());
    if (canonicallyEqual(name, key)) return &it->value;
  }
  return nullptr;
}

}  // namespace calbridge
