// The replica's rules over plain values: how one transaction's edits of an
// object fold into one change, what a store keeps of a published change once
// its replica may have moved on, which objects a sync round may change, and
// how events keep their identifiers when their text is read again.
#include "replica/change_batch.h"
#include "replica/identifiers.h"
#include "replica/publishing.h"
#include "replica/replica.h"

#include <gtest/gtest.h>

namespace calbridge {
namespace {

using Kind = ObjectChange::Kind;

StagedChange staged(std::int64_t object, Kind kind, std::string text, std::optional<std::int64_t> excluded = {}) {
  StagedChange c;
  c.object = object;
  c.account = "a";
  c.change.kind = kind;
  c.change.url = "u" + std::to_string(object);
  c.change.etag = kind == Kind::create ? "" : "e" + std::to_string(object);
  c.change.text = std::move(text);
  if (excluded) c.change.edits.push_back({ObjectEdit::Kind::exclude, *excluded});
  return c;
}

TEST(ChangeBatch, EditsOfOneObjectFoldIntoOneChange) {
  struct Case {
    const char* name;
    std::vector<StagedChange> steps;
    // What the batch then holds, per object in order: kind, text, how many edits.
    std::vector<std::tuple<std::int64_t, Kind, std::string, std::size_t>> held;
  } cases[] = {
      {"two exclusions: the last text, both edits", {staged(1, Kind::modify, "t1", 10), staged(1, Kind::modify, "t2", 20)},
       {{1, Kind::modify, "t2", 2}}},
      {"a new series with its skips: one create, the last text",
       {staged(1, Kind::create, "c1"), staged(1, Kind::modify, "c2", 10), staged(1, Kind::modify, "c3", 20)},
       {{1, Kind::create, "c3", 0}}},
      {"made and removed in one transaction: nothing to send",
       {staged(1, Kind::create, "c1"), staged(2, Kind::modify, "m", 5), staged(1, Kind::remove, "")},
       {{2, Kind::modify, "m", 1}}},
      {"edited, then removed: the removal alone", {staged(1, Kind::modify, "t1", 10), staged(1, Kind::remove, "")},
       {{1, Kind::remove, "", 0}}},
      {"removed, then edited: still removed", {staged(1, Kind::remove, ""), staged(1, Kind::modify, "t", 10)},
       {{1, Kind::remove, "", 0}}},
      {"objects apart stay apart, in order", {staged(2, Kind::modify, "b", 1), staged(1, Kind::modify, "a", 2)},
       {{2, Kind::modify, "b", 1}, {1, Kind::modify, "a", 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChangeBatch batch;
    for (const StagedChange& step : c.steps) batch.stage(step);
    ASSERT_EQ(batch.changes().size(), c.held.size());
    for (std::size_t i = 0; i < c.held.size(); ++i) {
      const auto& [object, kind, text, edits] = c.held[i];
      const StagedChange& got = batch.changes()[i];
      EXPECT_EQ(got.object, object);
      EXPECT_EQ(got.change.kind, kind);
      EXPECT_EQ(got.change.text, text);
      EXPECT_EQ(got.change.edits.size(), edits);
      // The object keeps the name and version it was staged from.
      EXPECT_EQ(got.change.url, "u" + std::to_string(object));
    }
  }
}

TEST(Publishing, WhatAStoreKeepsOfAnAnswer) {
  auto change = [](Kind kind) {
    ObjectChange c;
    c.kind = kind;
    c.etag = kind == Kind::create ? "" : "e1";
    return c;
  };
  PublishedObject plain;
  plain.etag = "e2";
  PublishedObject rebased = plain;
  rebased.rebased = PublishedObject::Rebased{"x", {}};
  using S = Settlement;
  const std::optional<std::string> gone;
  struct Case {
    const char* name;
    Kind kind;
    const PublishedObject* answer;
    std::optional<std::string> now;
    Settlement expected;
  } cases[] = {
      {"modify, replica where it began", Kind::modify, &plain, "e1", S::keepStaged},
      {"modify made good on the server's text", Kind::modify, &rebased, "e1", S::keepAnswer},
      {"modify on a version a sync brought meanwhile", Kind::modify, &rebased, "x", S::keepAnswer},
      {"modify a sync already brought in", Kind::modify, &plain, "e2", S::leave},
      {"modify, a later version came in", Kind::modify, &plain, "e9", S::leave},
      {"modify of an object gone meanwhile", Kind::modify, &plain, gone, S::leave},
      {"create", Kind::create, &plain, gone, S::keepStaged},
      {"create a sync already brought in", Kind::create, &plain, "e2", S::leave},
      {"remove", Kind::remove, &plain, "e1", S::remove},
      {"remove of the version a sync brought", Kind::remove, &rebased, "x", S::remove},
      {"remove, already gone", Kind::remove, &plain, gone, S::leave},
      {"remove, made anew since", Kind::remove, &plain, "e9", S::leave},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(settle(change(c.kind), *c.answer, c.now), c.expected);
  }
}

TEST(ReplicaRound, AnObjectChangedMeanwhileWaitsForTheNextRound) {
  using R = RoundStep;
  const std::optional<std::string> none;
  struct Case {
    const char* name;
    std::optional<std::string> before, now, fetched;
    RoundStep expected;
  } cases[] = {
      {"changed on the server", "e1", "e1", "e2", R::apply},
      {"new on the server", none, none, "e1", R::apply},
      {"removed on the server", "e1", "e1", none, R::apply},
      {"written through meanwhile", "e1", "e3", "e2", R::wait},
      {"written through the version fetched", "e1", "e2", "e2", R::inStep},
      {"made here meanwhile", none, "e3", "e2", R::wait},
      {"removed here meanwhile", "e1", none, "e2", R::wait},
      {"removed on both sides", "e1", none, none, R::inStep},
      {"changed here, removed there", "e1", "e3", none, R::wait},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(roundStep(c.before, c.now, c.fetched), c.expected);
  }
}

TEST(Identifiers, EventsReadAgainKeepTheirIdentifiers) {
  auto event = [](std::string uid, std::optional<std::int64_t> occurrence, std::string id = {}) {
    StoredEvent e;
    e.externalIdentifier = std::move(uid);
    if (occurrence) e.recurrenceId = ReplacedOccurrence{*occurrence, false};
    e.calendarItemIdentifier = std::move(id);
    return e;
  };
  const std::vector<KeptIdentity> kept{{"s", std::nullopt, "series"}, {"s", 100, "moved"}, {"d", std::nullopt, "a"},
                                       {"d", std::nullopt, "b"}};
  std::vector<StoredEvent> events{event("s", 100), event("s", std::nullopt), event("s", 200), event("t", std::nullopt),
                                  event("d", std::nullopt), event("d", std::nullopt), event("d", std::nullopt),
                                  event("s", std::nullopt, "own")};
  carryIdentifiers(kept, events);
  std::vector<std::string> ids;
  for (const StoredEvent& e : events) ids.push_back(e.calendarItemIdentifier);
  // Copies that nothing tells apart take one identifier each; one more makes a new one.
  EXPECT_EQ(ids, (std::vector<std::string>{"moved", "series", "", "", "a", "b", "", "own"}));
}

}  // namespace
}  // namespace calbridge
