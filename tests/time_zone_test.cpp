#include "calendar/time_zone.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <random>

namespace calbridge {
namespace {

// glibc reads the same zone files with its own code: an independent answer.
int libcOffset(const std::string& zone, std::int64_t epoch) {
  setenv("TZ", (":" + zone).c_str(), 1);
  tzset();
  std::time_t t = static_cast<std::time_t>(epoch);
  std::tm local{};
  localtime_r(&t, &local);
  return static_cast<int>(local.tm_gmtoff);
}

class ZoneOffsets : public ::testing::Test {
 protected:
  void TearDown() override {
    if (saved_) setenv("TZ", saved_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  std::optional<std::string> saved_ = std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

TEST_F(ZoneOffsets, AgreeWithTheCLibraryEverywhere) {
  // Northern and southern daylight saving, half and quarter hours, negative
  // daylight saving (Dublin), zones that changed their rules, and none at all.
  const char* names[] = {"Europe/Berlin", "America/New_York", "Australia/Sydney", "Asia/Kolkata",
                         "America/Sao_Paulo", "Pacific/Chatham", "Asia/Tehran", "Europe/Dublin",
                         "America/St_Johns", "Asia/Kathmandu", "Pacific/Apia", "Africa/Casablanca",
                         "Antarctica/Troll", "Europe/London", "America/Los_Angeles", "Pacific/Kiritimati",
                         "Asia/Gaza", "America/Santiago", "Etc/GMT+5", "UTC"};
  ZoneCache zones;
  std::mt19937_64 random(1);
  for (const char* name : names) {
    const Zone* zone = zones.find(name);
    ASSERT_NE(zone, nullptr) << name;
    // Random moments from 1901 to 2300, and every transition with the second either side of it.
    std::vector<std::int64_t> moments;
    for (int i = 0; i < 3000; ++i) moments.push_back(-2177452800 + static_cast<std::int64_t>(random() % 12800000000ULL));
    for (std::int64_t t : zone->transitions) {
      if (t > -2177452800) moments.insert(moments.end(), {t - 1, t, t + 1});
    }
    for (std::int64_t t : moments) {
      ASSERT_EQ(utcOffset(*zone, t), libcOffset(name, t)) << name << " at " << t;
    }
  }
}

TEST_F(ZoneOffsets, FarFutureFollowsTheRuleInForce) {
  ZoneCache zones;
  const Zone& berlin = *zones.find("Europe/Berlin");
  const std::int64_t year = 31556952;  // mean Gregorian year
  for (std::int64_t t : {std::int64_t{4102444800} + year / 2, std::int64_t{253402300799} - year / 2,
                         std::int64_t{1} << 50, std::int64_t{-1} << 40}) {
    int offset = utcOffset(berlin, t);
    EXPECT_TRUE(offset == 3600 || offset == 7200 || offset == 3208) << t << " gives " << offset;
  }
}

TEST(PosixZoneRule, ParsesWhatZoneFilesCarry) {
  struct Case {
    const char* text;
    bool valid;
    std::int32_t standard;
    std::optional<std::int32_t> daylight;
  } cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", true, 3600, 7200},
      {"EST5EDT,M3.2.0,M11.1.0", true, -18000, -14400},
      {"<+0330>-3:30", true, 12600, std::nullopt},
      {"IST-1GMT0,M10.5.0,M3.5.0/1", true, 3600, 0},  // Dublin: winter is the daylight side
      {"<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", true, -10800, -7200},
      {"EST5EDT4,0/0,J365/25", true, -18000, -14400},  // daylight all year
      {"UTC0", true, 0, std::nullopt},
      {"AB0", false, 0, std::nullopt},  // a name needs three letters
      {"CET", false, 0, std::nullopt},
      {"CET-1CEST,M13.5.0,M10.5.0", false, 0, std::nullopt},
      {"CET-1CEST,M3.5.0", false, 0, std::nullopt},
      {"CET-1CEST,M3.5.0,M10.5.0/200", false, 0, std::nullopt},
      {"", false, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    auto rule = parsePosixZoneRule(c.text);
    ASSERT_EQ(rule.has_value(), c.valid) << c.text;
    if (!rule) continue;
    EXPECT_EQ(rule->standardOffset, c.standard) << c.text;
    EXPECT_EQ(rule->daylightOffset, c.daylight) << c.text;
  }
  auto permanent = parsePosixZoneRule("EST5EDT4,0/0,J365/25");
  for (std::int64_t t : {1767225600LL, 1782864000LL, 1798675199LL}) EXPECT_EQ(permanent->offsetAt(t), -14400);
}

TEST(Tzif, DamagedFilesAreRefusedNotTrusted) {
  std::ifstream in("/usr/share/zoneinfo/Europe/Berlin", std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), {});
  ASSERT_TRUE(parseTzif("Europe/Berlin", data).has_value());
  for (std::size_t cut = 0; cut < data.size(); ++cut) {
    EXPECT_FALSE(parseTzif("cut", data.substr(0, cut)).has_value()) << "cut to " << cut << " bytes";
  }
  std::string flipped = data;
  flipped[32] = static_cast<char>(0xff);  // the transition count, now far beyond the file
  EXPECT_FALSE(parseTzif("flipped", flipped).has_value());
  EXPECT_FALSE(parseTzif("text", "not a zone file at all, though long enough to have a header").has_value());
}

TEST(ZoneCache, NamesNeverLeaveTheZoneFolder) {
  ZoneCache zones;
  for (const char* name : {"../../etc/passwd", "/etc/localtime", "Europe/../../../etc/passwd", "", ".hidden",
                           "Nowhere/Special", "Europe/Berlin\n", "../UTC0", "EST5EDT,M3.2.0,M11.1.0/../../x"}) {
    EXPECT_EQ(zones.find(name), nullptr) << name;
  }
  // A POSIX rule is parsed, never opened, and keeps its text as its name.
  EXPECT_EQ(zones.find("EST5EDT,M3.2.0,M11.1.0")->name, "EST5EDT,M3.2.0,M11.1.0");
  EXPECT_NE(zones.find("Europe/Berlin"), nullptr);
  EXPECT_EQ(zones.find("UTC")->name, "UTC");
}

}  // namespace
}  // namespace calbridge

namespace calbridge {
namespace {

// A zone kept as text must come back with the same offset at every moment:
// IANA zones of several shapes stand in for what a file may define.
TEST(DefinedZones, TextKeepsEveryOffset) {
  ZoneCache zones;
  for (const char* name : {"Europe/Berlin", "Australia/Lord_Howe", "Europe/Dublin", "Asia/Kolkata", "UTC"}) {
    const Zone* zone = zones.find(name);
    ASSERT_NE(zone, nullptr) << name;
    auto back = zoneFromText("ics:x", zoneText(*zone));
    ASSERT_TRUE(back) << name;
    for (std::int64_t t = -2000000000; t < 4000000000; t += 86400 * 7 + 3599) {
      ASSERT_EQ(utcOffset(*back, t), utcOffset(*zone, t)) << name << " at " << t;
    }
  }
  for (const char* broken : {"", "0|", "x||", "0||1", "0||2 3600 1 0", "0|STD|", "99999999||"}) {
    EXPECT_FALSE(zoneFromText("ics:x", broken)) << broken;
  }
  // Only names no zone file can have are kept, so none shadows an IANA zone.
  Zone shadow;
  shadow.name = "Europe/Berlin";
  EXPECT_EQ(zones.add(shadow), nullptr);
  shadow.name = "ics:Berlin";
  EXPECT_EQ(zones.find("ics:Berlin"), nullptr);
  const Zone* kept = zones.add(shadow);
  EXPECT_NE(kept, nullptr);
  EXPECT_EQ(zones.find("ics:Berlin"), kept);
}

}  // namespace
}  // namespace calbridge
