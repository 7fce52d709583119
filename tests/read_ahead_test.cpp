// A first sync's objects read on the side while they arrive: what is taken
// must be what reading the final text gives, whichever thread read it.
#include "sync/read_ahead.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace calbridge {
namespace {

// An object whose only event is in a zone its own VTIMEZONE defines, at a
// fixed offset of `minutes` east of UTC.
std::string zonedObject(int minutes, const std::string& title) {
  char offset[16];
  std::snprintf(offset, sizeof offset, "+%02d%02d", minutes / 60, minutes % 60);
  return std::string("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VTIMEZONE\r\nTZID:Made Up\r\n") +
         "BEGIN:STANDARD\r\nDTSTART:19700101T000000\r\nTZOFFSETFROM:" + offset + "\r\nTZOFFSETTO:" + offset +
         "\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\nBEGIN:VEVENT\r\nUID:e\r\nDTSTAMP:20260101T000000Z\r\n"
         "DTSTART;TZID=Made Up:20260701T090000\r\nDURATION:PT1H\r\nSUMMARY:" + title + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

ReplicaObject objectAt(int n, std::string data) {
  return {"http://127.0.0.1/cal/" + std::to_string(n) + ".ics", "\"" + std::to_string(n) + "\"", std::move(data)};
}

TEST(ReadAhead, EveryZoneAnObjectDefinesReachesTheCallersCache) {
  // Enough objects, each defining a zone of its own, that the caller's
  // thread reads some of them in finish() beside the reading thread.
  ZoneCache zones;
  std::vector<ReplicaObject> objects;
  for (int i = 0; i < 400; ++i) objects.push_back(objectAt(i, zonedObject(i, "e" + std::to_string(i))));
  ReadAhead ahead(zones);
  ahead.add(objects);
  ahead.finish();
  std::vector<std::string> warnings;
  for (int i = 0; i < 400; ++i) {
    std::vector<StoredEvent> events = ahead.take(objects[i], &warnings);
    ASSERT_EQ(events.size(), 1u) << i;
    ASSERT_TRUE(events[0].timeZone) << i;
    EXPECT_NE(zones.find(*events[0].timeZone), nullptr) << i << ": " << *events[0].timeZone;
    EXPECT_EQ(events[0].start, 1782896400 - i * 60) << i;  // 2026-07-01 09:00 at +HH:MM
  }
  EXPECT_TRUE(warnings.empty());
}

TEST(ReadAhead, WhatIsTakenIsReadFromTheFinalText) {
  const std::string unreadable = "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:x\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> handed;  // the texts handed over for the object, in turn
    std::string taken;                // its final text
    const char* title;                // the title taken; null: nothing
    size_t warnings;
  } cases[] = {
      {"read ahead", {zonedObject(60, "kept")}, zonedObject(60, "kept"), "kept", 0},
      {"replaced by a later answer", {zonedObject(60, "old"), zonedObject(60, "new")}, zonedObject(60, "new"),
       "new", 0},
      {"changed after it was handed over", {zonedObject(60, "old")}, zonedObject(60, "new"), "new", 0},
      {"never handed over", {}, zonedObject(60, "late"), "late", 0},
      {"an unreadable text replaced warns of nothing", {unreadable}, zonedObject(60, "fine"), "fine", 0},
      {"an unreadable final text warns once", {zonedObject(60, "was")}, unreadable, nullptr, 1},
  };
  for (const Case& c : cases) {
    ZoneCache zones;
    ReadAhead ahead(zones);
    for (const std::string& text : c.handed) ahead.add({objectAt(1, text)});
    ahead.finish();
    std::vector<std::string> warnings;
    std::vector<StoredEvent> events = ahead.take(objectAt(1, c.taken), &warnings);
    if (c.title == nullptr) {
      EXPECT_TRUE(events.empty()) << c.name;
    } else {
      ASSERT_EQ(events.size(), 1u) << c.name;
      EXPECT_EQ(events[0].title.value_or(""), c.title) << c.name;
    }
    EXPECT_EQ(warnings.size(), c.warnings) << c.name;
  }
}

}  // namespace
}  // namespace calbridge
