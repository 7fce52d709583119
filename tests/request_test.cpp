#include "protocol/readers.h"
#include "protocol/request.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

namespace calbridge {
namespace {

TEST(DecodeRequest, OnlyAStrictJsonObjectIsARequest) {
  struct Case {
    const char* name;
    std::string input;
    bool object;
  } cases[] = {
      {"empty", "", false},
      {"empty object", "{}", true},
      {"object with whitespace", " \n{ \"a\" : 1 }\t", true},
      {"top-level array", "[1,2]", false},
      {"top-level number", "5", false},
      {"top-level string", "\"x\"", false},
      {"not JSON", "hello", false},
      {"truncated", "{\"a\":", false},
      {"trailing garbage", "{} x", false},
      {"two objects", "{}{}", false},
      {"byte order mark", "\xEF\xBB\xBF{}", true},
      {"invalid UTF-8 in a string", "{\"a\":\"\xC3\x28\"}", false},
      {"invalid UTF-8 in a key", "{\"\xFF\":1}", false},
      {"overlong encoding", "{\"a\":\"\xC0\xAF\"}", false},
      {"encoded surrogate bytes", "{\"a\":\"\xED\xA0\x80\"}", false},
      {"lone high surrogate escape", "{\"a\":\"\\ud800\"}", false},
      {"lone low surrogate escape", "{\"a\":\"\\udc00\"}", false},
      {"lone low surrogate escape in a key", "{\"\\udfff\":1}", false},
      {"surrogate pair escape", "{\"a\":\"\\ud83d\\ude00\"}", true},
      {"escaped NUL", "{\"a\":\"\\u0000\"}", true},
      {"raw NUL inside a string", std::string("{\"a\":\"\0\"}", 9), false},
      {"raw NUL after the object", std::string("{}\0", 3), false},
      {"NaN literal", "{\"a\":NaN}", false},
      {"Infinity literal", "{\"a\":Infinity}", false},
      {"negative Infinity literal", "{\"a\":-Infinity}", false},
      {"number too big", "{\"a\":1e400}", false},
      {"negative number too big", "{\"a\":-1e400}", false},
      {"tiny number", "{\"a\":1e-400}", true},
      {"comment", "{/* no */}", false},
      {"trailing comma", "{\"a\":1,}", false},
      {"single quotes", "{'a':1}", false},
      {"leading zero", "{\"a\":01}", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeRequest(c.input).document.IsObject(), c.object) << c.name;
  }
}

TEST(DecodeRequest, DeepNestingNeitherCrashesNorRecurses) {
  std::string open(1000000, '[');
  EXPECT_FALSE(decodeRequest(open).document.IsObject());
  std::string nested = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + ",\"b\":2}";
  Request request = decodeRequest(nested);
  ASSERT_TRUE(request.document.IsObject());
  EXPECT_EQ(number(request, "b"), 2.0);
}

TEST(DecodeRequest, NumbersAreTheCorrectlyRoundedDouble) {
  const char* texts[] = {
      "0.1", "2.2250738585072011e-308", "2.2250738585072012e-308", "4.9406564584124654e-324",
      "2.4703282292062327e-324", "2.4703282292062328e-324", "1.7976931348623157e308", "9007199254740993",
      "1e-400", "-0", "123456789012345678901234567890", "0.30000000000000004441",
      // Once read out of bounds in the library's own full-precision path.
      "50.4650579066451302353266522e-332", "1.4650579066451302353266522e-332",
  };
  for (const char* text : texts) {
    Request request = decodeRequest(std::string("{\"n\":") + text + "}");
    ASSERT_TRUE(request.document.IsObject()) << text;
    auto value = number(request, "n");
    ASSERT_TRUE(value.has_value()) << text;
    double expected = std::strtod(text, nullptr);
    EXPECT_EQ(std::memcmp(&*value, &expected, sizeof expected), 0) << text;
  }
}

TEST(DecodeRequest, RandomNumbersRoundTrip) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t bits = random();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", static_cast<int>(1 + random() % 25), d);
    auto value = number(decodeRequest(std::string("{\"n\":") + text + "}"), "n");
    double expected = std::strtod(text, nullptr);
    if (!std::isfinite(expected)) continue;  // "1e309" is refused as too big
    ASSERT_TRUE(value.has_value()) << text;
    ASSERT_EQ(std::memcmp(&*value, &expected, sizeof expected), 0) << text;
  }
}

TEST(Member, LastDuplicateWinsAndKeysCompareCanonically) {
  Request request = decodeRequest(R"({"a":1,"b":"x","a":2,"caf\u00e9":3})");
  EXPECT_EQ(number(request, "a"), 2.0);
  EXPECT_EQ(number(request, "cafe\u0301"), 3.0);
  EXPECT_EQ(member(request, "missing"), nullptr);
  EXPECT_EQ(member(decodeRequest(""), "a"), nullptr);
}

// Every reader against every JSON type; nullopt marks absent.
TEST(Readers, AcceptOnlyTheirKind) {
  Request request = decodeRequest(R"({
    "null": null, "true": true, "false": false, "int": 42, "real": -1.5, "huge": 9e308,
    "string": "hello", "digits": "123", "empty": "", "object": {"a":1},
    "strings": ["a", "b"], "emptyList": [], "numbers": [1, 2.5, true, false],
    "mixed": ["a", 1], "nested": [[1]], "withNull": [1, null]})");
  struct NumberCase {
    const char* key;
    std::optional<double> expected;
  } numbers[] = {{"missing", {}},  {"null", {}},    {"true", 1.0},   {"false", 0.0},   {"int", 42.0},
                 {"real", -1.5},   {"huge", {}},    {"string", {}},  {"digits", {}},   {"empty", {}},
                 {"object", {}},   {"strings", {}}};
  for (const auto& c : numbers) EXPECT_EQ(number(request, c.key), c.expected) << "number " << c.key;

  struct TextCase {
    const char* key;
    std::optional<std::string> text, plain;
  } texts[] = {{"missing", {}, {}},          {"null", {}, {}},  {"true", {}, {}},     {"int", {}, {}},
               {"string", "hel", "hello"},   {"digits", "123", "123"},              {"empty", {}, ""},
               {"object", {}, {}},           {"strings", {}, {}}};
  for (const auto& c : texts) {
    EXPECT_EQ(text(request, c.key, 3), c.text) << "text " << c.key;
    EXPECT_EQ(plainString(request, c.key), c.plain) << "plain string " << c.key;
  }

  using Strings = std::vector<std::string>;
  using Numbers = std::vector<double>;
  struct ListCase {
    const char* key;
    std::optional<Strings> strings;
    std::optional<Numbers> numbers;
  } lists[] = {{"missing", {}, {}},
               {"string", {}, {}},
               {"strings", Strings{"a", "b"}, {}},
               {"emptyList", Strings{}, Numbers{}},
               {"numbers", {}, Numbers{1, 2.5, 1, 0}},
               {"mixed", {}, {}},
               {"nested", {}, {}},
               {"withNull", {}, {}},
               {"object", {}, {}}};
  for (const auto& c : lists) {
    EXPECT_EQ(stringList(request, c.key), c.strings) << "string list " << c.key;
    EXPECT_EQ(numberList(request, c.key), c.numbers) << "number list " << c.key;
  }
  auto huge = numberList(decodeRequest(R"({"l":[1, 9e308]})"), "l");
  ASSERT_TRUE(huge.has_value());
  EXPECT_TRUE(std::isinf((*huge)[1]));
}

}  // namespace
}  // namespace calbridge
