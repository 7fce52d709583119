// The seams around a store that may live in a module: the plain C table
// between bridge and module (values cross whole, both ways), and the setting
// that says which store serves.
#include "calendar/store_module.h"
#include "main/store_choice.h"
#include "sqlite/sqlite_store.h"
#include "support/bridge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>

namespace calbridge {
namespace {

// What the module's side serves: an in-memory own store, reached only through the table.
SqliteStore* forwardedTo = nullptr;

class Forwarding final : public StoreWrapper, public Described {
 public:
  Forwarding() : StoreWrapper(*forwardedTo) {}
  std::vector<std::string> describe() override { return {"forwarding", ""}; }
};

TEST(StoreModule, ValuesCrossTheTableWhole) {
  SqliteStore own{std::string(kInMemoryStore)};
  ASSERT_TRUE(own.open());
  forwardedTo = &own;
  ModuleStore store(exportedStore([]() -> std::unique_ptr<Store> { return std::make_unique<Forwarding>(); }));
  ASSERT_TRUE(store.open());
  EXPECT_EQ(store.describe(), (std::vector<std::string>{"forwarding", ""}));
  // Permission is never the module's: a bridge gates it.
  EXPECT_EQ(store.authorizationStatus(), AuthorizationStatus::notDetermined);

  // A calendar with a gray color, made through the table, reads back alike from both sides.
  Calendar gray;
  gray.title = "Gray ünïcode";
  gray.color = Color{ColorSpace::gray, {0.5, 1}};
  gray.source = own.sources().front();
  ASSERT_TRUE(store.saveCalendar(gray, true));
  ASSERT_FALSE(gray.calendarIdentifier.empty());
  auto direct = own.calendarWithIdentifier(gray.calendarIdentifier);
  auto crossed = store.calendarWithIdentifier(gray.calendarIdentifier);
  ASSERT_TRUE(direct && crossed);
  EXPECT_EQ(crossed->title, direct->title);
  EXPECT_EQ(hex(crossed->color), hex(direct->color));
  ASSERT_TRUE(crossed->source && direct->source);
  EXPECT_EQ(crossed->source->sourceIdentifier, direct->source->sourceIdentifier);
  EXPECT_EQ(crossed->source->title, direct->source->title);
  EXPECT_FALSE(store.calendarWithIdentifier("no such calendar"));
  EXPECT_EQ(store.defaultCalendarForNewEvents()->calendarIdentifier,
            own.defaultCalendarForNewEvents()->calendarIdentifier);
  EXPECT_EQ(store.sources().size(), own.sources().size());

  // A weekly series on two days, saved through the table with its identifiers filled in.
  Event event;
  event.calendar = crossed;
  event.startDate = 1767607200;  // Monday 2026-01-05 10:00 UTC
  event.endDate = 1767607200 + 900;
  event.timeZone = "UTC";
  event.recurrenceRule = RecurrenceRule{Frequency::weekly, 1, {2, 4}, 1767607200 + 13 * 86400};
  ASSERT_TRUE(store.saveEvent(event, Span::thisEvent, true));
  ASSERT_TRUE(event.calendarItemExternalIdentifier && event.calendarItemIdentifier);
  std::vector<double> starts;
  store.enumerateEventsMatching(1767600000, 1767600000 + 14 * 86400, {crossed}, [&](const Event& o) {
    EXPECT_EQ(o.calendar, crossed);  // one shared value per calendar
    EXPECT_EQ(o.calendarItemExternalIdentifier, event.calendarItemExternalIdentifier);
    EXPECT_FALSE(o.title);  // absent stays absent
    starts.push_back(*o.startDate);
    return starts.size() < 3;  // a visitor that stops is not asked again
  });
  EXPECT_EQ(starts, (std::vector<double>{1767607200, 1767607200 + 2 * 86400, 1767607200 + 7 * 86400}));

  auto items = store.calendarItemsWithExternalIdentifier(*event.calendarItemExternalIdentifier);
  ASSERT_EQ(items.size(), 1u);
  ASSERT_TRUE(store.removeEvent(items[0].event, Span::futureEvents, true));
  EXPECT_TRUE(own.calendarItemsWithExternalIdentifier(*event.calendarItemExternalIdentifier).empty());
  ASSERT_TRUE(store.removeCalendar(*crossed, true));
  EXPECT_FALSE(own.calendarWithIdentifier(gray.calendarIdentifier));
  forwardedTo = nullptr;
}

TEST(StoreChoice, TheFirstRequestDecides) {
  struct Case {
    bool bus, ownInUse;
    std::optional<bool> answers;
    StoreKind kind;
    bool record;
  };
  const Case cases[] = {
      {false, false, true, StoreKind::own, false},  // no bus: nothing asked, nothing written
      {true, true, true, StoreKind::own, true},           {true, false, true, StoreKind::evolution, true},
      {true, false, false, StoreKind::own, true},          // no EDS there
      {true, false, std::nullopt, StoreKind::own, false},  // EDS did not say in time: asked again next time
  };
  for (const Case& c : cases) {
    StoreDecision d = decideStore(c.bus, c.ownInUse, c.answers);
    EXPECT_EQ(d.kind, c.kind) << c.bus << c.ownInUse << c.answers.value_or(false);
    EXPECT_EQ(d.record, c.record) << c.bus << c.ownInUse << c.answers.value_or(false);
  }
}

TEST(StoreChoice, TheSettingIsTheOwnersAlone) {
  testing::TemporaryFolder folder;
  const std::string path = folder.path() + "/config/calbridge/store";
  EXPECT_FALSE(readStoreSetting(path).kind);
  EXPECT_TRUE(readStoreSetting(path).problem.empty());
  ASSERT_EQ(writeStoreSetting(path, StoreKind::evolution), "");
  EXPECT_EQ(readStoreSetting(path).kind, StoreKind::evolution);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((folder.path() + "/config/calbridge").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(writeStoreSetting(path, StoreKind::own), "");
  EXPECT_EQ(readStoreSetting(path).kind, StoreKind::own);
  // Others could have written it, or it names no store: a problem, never a choice.
  chmod(path.c_str(), 0666);
  EXPECT_FALSE(readStoreSetting(path).kind);
  EXPECT_NE(readStoreSetting(path).problem, "");
  std::ofstream(path) << "EDS\n";
  chmod(path.c_str(), 0600);
  EXPECT_FALSE(readStoreSetting(path).kind);
  EXPECT_NE(readStoreSetting(path).problem.find("names no store"), std::string::npos);
}

}  // namespace
}  // namespace calbridge

namespace calbridge {
namespace {

// Identifiers come from a pool of kernel randomness: each is well formed and
// new, also across the pool's refills and in a child made by fork (which
// would otherwise hand out the parent's next identifiers).
TEST(NewUuid, WellFormedAndNeverRepeated) {
  const std::regex kVersion4("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string uuid = newUuid();
    ASSERT_TRUE(std::regex_match(uuid, kVersion4)) << uuid;
    ASSERT_TRUE(seen.insert(uuid).second) << uuid;
  }
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string uuid = newUuid();
    _exit(write(pipes[1], uuid.data(), uuid.size()) == 36 ? 0 : 1);
  }
  close(pipes[1]);
  char fromChild[36];
  ASSERT_EQ(read(pipes[0], fromChild, sizeof fromChild), 36);
  close(pipes[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_NE(std::string(fromChild, 36), newUuid());
}

}  // namespace
}  // namespace calbridge
