#include "base/unicode.h"

#include <gtest/gtest.h>

namespace calbridge {
namespace {

struct PrefixCase {
  const char* name;
  std::string text;
  std::size_t max;
  std::string expected;
};

TEST(GraphemePrefix, CutsAtUserPerceivedCharacters) {
  const PrefixCase cases[] = {
      {"plain letters", "abcdef", 3, "abc"},
      {"shorter than max", "ab", 3, "ab"},
      {"exactly max", "abc", 3, "abc"},
      {"zero", "abc", 0, ""},
      {"combining accents stay with their letter", "e\u0301a\u0300o\u0308u", 2, "e\u0301a\u0300"},
      {"CR LF is one character", "a\r\nb", 2, "a\r\n"},
      {"CR alone is one character", "a\rb", 2, "a\r"},
      {"emoji with skin tone", "\U0001F44D\U0001F3FD!", 1, "\U0001F44D\U0001F3FD"},
      {"family joined by ZWJ", "\U0001F468\u200D\U0001F469\u200D\U0001F467x", 1,
       "\U0001F468\u200D\U0001F469\u200D\U0001F467"},
      {"flags pair regional indicators", "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 1, "\U0001F1E9\U0001F1EA"},
      {"Hangul syllable from jamo", "\u1100\u1161\u11A8x", 1, "\u1100\u1161\u11A8"},
      {"ASCII then combining mark", "ab\u0301c", 2, "ab\u0301"},
      {"malformed bytes count one each", "\xff\xfe" "a", 2, "\xff\xfe"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(graphemePrefix(c.text, c.max), c.expected) << c.name;
  }
}

TEST(GraphemeCount, CountsClustersUpToTheLimit) {
  EXPECT_EQ(graphemeCount(""), 0u);
  EXPECT_EQ(graphemeCount("e\u0301e\u0301"), 2u);
  EXPECT_EQ(graphemeCount("#\r\n12345"), 7u);
  EXPECT_EQ(graphemeCount(std::string(100, 'x'), 8), 8u);
  // Found by fuzzing: a limit of one counted two.
  EXPECT_EQ(graphemeCount("ab", 1), 1u);
  EXPECT_EQ(graphemeCount("e\u0301e\u0301", 1), 1u);
  EXPECT_EQ(graphemeCount("a", 1), 1u);
  EXPECT_EQ(graphemeCount("ab", 0), 0u);
}

TEST(CanonicalEquality, ComparesNormalForms) {
  struct Case {
    std::string a, b;
    bool equal;
  } cases[] = {
      {"access", "access", true},
      {"access", "Access", false},
      {"caf\u00e9", "cafe\u0301", true},
      {"\u212A", "K", true},  // Kelvin sign is canonically K
      {"\u00c5", "\u212B", true},  // Angstrom sign
      {"e\u0301", "e", false},
      {"", "", true},
      {std::string("a\0b", 3), std::string("a\0b", 3), true},
      {std::string("a\0b", 3), "a", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(canonicallyEqual(c.a, c.b), c.equal) << c.a << " vs " << c.b;
  }
  EXPECT_EQ(nfc("cafe\u0301"), "caf\u00e9");
}

}  // namespace
}  // namespace calbridge
