#include "protocol/reply.h"

#include <rapidjson/stringbuffer.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace calbridge {
namespace {

std::string writtenBy(const Reply& r, int* status) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  *status = reply(r, fds[1]);
  close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  return text;
}

TEST(Reply, EnvelopesAndExitStatus) {
  struct Case {
    const char* name;
    Reply reply;
    std::string text;
    int status;
  } cases[] = {
      {"denied", fail(ErrorCode::denied), R"({"ok":false,"error":"denied"})", 1},
      {"invalid", fail(ErrorCode::invalid), R"({"ok":false,"error":"invalid"})", 1},
      {"failed", fail(ErrorCode::failed), R"({"ok":false,"error":"failed"})", 1},
      {"empty array", ok([](JsonOut& out) { out.startArray(); out.endArray(); }), R"({"ok":true,"data":[]})", 0},
      {"false data still succeeds",
       ok([](JsonOut& out) { out.startObject(); out.key("granted"); out.boolean(false); out.endObject(); }),
       R"({"ok":true,"data":{"granted":false}})", 0},
      {"invalid UTF-8 cannot be serialised", ok([](JsonOut& out) { out.string("\xC3\x28"); }),
       std::string(kUnserialisableReply), 1},
      {"an encoded surrogate is not UTF-8", ok([](JsonOut& out) { out.string("a\xED\xA0\x80"); }),
       std::string(kUnserialisableReply), 1},
      {"an overlong form is not UTF-8", ok([](JsonOut& out) { out.string("\xE0\x80\xAF"); }),
       std::string(kUnserialisableReply), 1},
      {"beyond U+10FFFF is not UTF-8", ok([](JsonOut& out) { out.string("\xF4\x90\x80\x80"); }),
       std::string(kUnserialisableReply), 1},
      {"a cut sequence is not UTF-8", ok([](JsonOut& out) { out.string("ok\xF0\x9F\x98"); }),
       std::string(kUnserialisableReply), 1},
      {"four-byte UTF-8 is fine", ok([](JsonOut& out) { out.string("\xF0\x9F\x98\x80"); }),
       "{\"ok\":true,\"data\":\"\xF0\x9F\x98\x80\"}", 0},
      {"NaN cannot be serialised", ok([](JsonOut& out) { out.number(std::nan("")); }),
       std::string(kUnserialisableReply), 1},
  };
  for (const auto& c : cases) {
    int status = -1;
    EXPECT_EQ(writtenBy(c.reply, &status), c.text) << c.name;
    EXPECT_EQ(status, c.status) << c.name;
  }
  EXPECT_EQ(kUnserialisableReply.size(), 29u);
}

TEST(Reply, NumbersReadBackExactlyAndStringsAreEscaped) {
  Reply r = ok([](JsonOut& out) {
    out.startArray();
    out.number(0.1);
    out.number(1765184400.25);
    out.integer(-3);
    out.string(std::string("q\"\\\n\0", 5));
    out.endArray();
  });
  EXPECT_EQ(r.text, "{\"ok\":true,\"data\":[0.1,1765184400.25,-3,\"q\\\"\\\\\\n\\u0000\"]}");
}

// The writer's shortcuts must give exactly the text of its general path.
TEST(Reply, ShortcutsWriteWhatTheGeneralPathWrites) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> general(buffer);
  JsonOut out;
  general.StartArray();
  out.startArray();
  const double numbers[] = {0, 1, -1, 1765184400, -1765184400, 999999999999999, 1e15, 1e16, 0.5, -0.0, 2.5e-7, 1e300};
  for (double d : numbers) {
    general.Double(d);
    out.number(d);
  }
  for (const char* s : {"", "plain", "E7892D05-0780-486F-8D13-4E9A83E27A04", "quote\"", "back\\slash", "tab\t",
                        "\x7f", "caf\xc3\xa9", "\xe4\xbc\x9a\xe8\xae\xae \xF0\x9F\x8E\x82 \xe2\x80\x93 \xd0\x92",
                        "~ all printable !#$%&'()*+,-./:;<=>?@[]^_`{|}"}) {
    general.String(s);
    out.string(s);
  }
  // An object composed as text, next to the same object written member by member.
  JsonText text;
  text.open();
  text.string("\"uid\":", "E7892D05");
  text.number(",\"start\":", 1765184400.5);
  text.number(",\"end\":", 1765188000);
  text.boolean(",\"allDay\":", false);
  text.close();
  out.raw(rapidjson::kObjectType, text.text());
  general.StartObject();
  general.Key("uid");
  general.String("E7892D05");
  general.Key("start");
  general.Double(1765184400.5);
  general.Key("end");
  general.Double(1765188000);
  general.Key("allDay");
  general.Bool(false);
  general.EndObject();
  general.EndArray();
  out.endArray();
  EXPECT_TRUE(out.good());
  EXPECT_EQ(out.take(), std::string(buffer.GetString(), buffer.GetSize()));
  EXPECT_TRUE(JsonText::plain("caf\xc3\xa9 \xF0\x9F\x8E\x82"));
  EXPECT_FALSE(JsonText::plain("caf\xc3"));  // cut short
  EXPECT_FALSE(JsonText::plain("a\"b"));
  EXPECT_FALSE(JsonText::plain("a\nb"));
  EXPECT_TRUE(JsonText::plain("any printable ASCII ~ and DEL \x7f"));
}

// Found by fuzzing: RapidJSON's own UTF-8 check read a sequence cut short at the
// end of the text past that end. Each text here is a view whose next bytes
// complete the sequence, so a writer that reads on accepts bytes it was never given.
TEST(Reply, TextCutInsideACharacterIsRefusedWithoutReadingOn) {
  const std::string whole = "ok \xF0\x9F\x91\x8D \xE2\x80\xAE \xC3\xA9";
  struct Case {
    const char* name;
    std::size_t length;
    bool serialisable;
  } cases[] = {
      {"before the emoji", 3, true},        {"emoji lead byte only", 4, false}, {"emoji cut after two", 5, false},
      {"emoji cut after three", 6, false},  {"whole emoji", 7, true},           {"mark lead byte only", 9, false},
      {"mark cut after two", 10, false},    {"whole mark", 11, true},           {"accent lead byte only", 13, false},
      {"whole text", whole.size(), true},
  };
  for (const auto& c : cases) {
    std::string_view view(whole.data(), c.length);
    Reply asValue = ok([&](JsonOut& out) { out.string(view); });
    Reply asKey = ok([&](JsonOut& out) {
      out.startObject();
      out.key(view);
      out.null();
      out.endObject();
    });
    if (c.serialisable) {
      EXPECT_EQ(asValue.text, "{\"ok\":true,\"data\":\"" + std::string(view) + "\"}") << c.name;
      EXPECT_EQ(asKey.text, "{\"ok\":true,\"data\":{\"" + std::string(view) + "\":null}}") << c.name;
    } else {
      EXPECT_EQ(asValue.text, kUnserialisableReply) << c.name;
      EXPECT_EQ(asKey.text, kUnserialisableReply) << c.name;
    }
  }
  // Also at the very end of a heap block, where reading on is out of bounds.
  for (std::string_view tail : {"\xF0", "\xF0\x9F", "\xE2\x80", "\xC3"}) {
    auto block = std::make_unique<char[]>(tail.size());
    std::memcpy(block.get(), tail.data(), tail.size());
    EXPECT_EQ(ok([&](JsonOut& out) { out.string(std::string_view(block.get(), tail.size())); }).text,
              kUnserialisableReply);
  }
}

// The word-at-a-time scan must say what a byte-by-byte reading says.
TEST(Reply, PlainTextIsExactlyValidUtf8WithoutControlsQuotesOrBackslashes) {
  const std::string pieces[] = {"a", "Z", " ", "~", "\x7f", "\"", "\\", "\n", std::string(1, '\0'), "\x1f",
                                "\xc3\xa9", "\xe2\x80\x93", "\xf0\x9f\x8e\x82", "\xc3", "\xed\xa0\x80",
                                "\xf4\x90\x80\x80", "\xc0\xaf", "\x80", "\xff", "\xf5\x80\x80\x80"};
  auto expected = [](const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
      auto c = static_cast<unsigned char>(s[i]);
      if (c < 0x20 || c == '"' || c == '\\') return false;
      if (c < 0x80) {
        ++i;
        continue;
      }
      int extra = c >= 0xF5 ? -1 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
      if (extra < 0 || i + extra >= s.size()) return false;
      unsigned second = static_cast<unsigned char>(s[i + 1]);
      unsigned low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80, high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
      if (second < low || second > high) return false;
      for (int k = 2; k <= extra; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
      }
      i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
  };
  std::mt19937 random(8);
  for (int i = 0; i < 20000; ++i) {
    std::string s;
    int length = static_cast<int>(random() % 40);
    for (int k = 0; k < length; ++k) s += pieces[random() % (random() % 4 == 0 ? std::size(pieces) : 4)];
    ASSERT_EQ(JsonText::plain(s), expected(s)) << i;
  }
}

}  // namespace
}  // namespace calbridge
