// What a sync keeps and how long it runs are bounded by what it asks for, not
// by what a server sends: the multistatus reader's limits, rounds applied as
// they come, an object's size, the sync's time and its caller's say.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "caldav/client.h"
#include "caldav/sync.h"
#include "caldav/xml.h"

namespace calbridge::caldav {
namespace {

// Answers each request from a function of it; records what was asked.
class FunctionTransport final : public HttpTransport {
 public:
  explicit FunctionTransport(std::function<HttpResponse(const HttpRequest&)> answer) : answer_(std::move(answer)) {}
  HttpResponse send(const HttpRequest& request) override {
    asked.push_back(request.method + " " + request.url);
    HttpResponse r = answer_(request);
    r.url = request.url;
    // As the real transport does: a 2xx body goes to the request's reader.
    if (request.on_body && r.status >= 200 && r.status <= 299 && !r.body.empty()) {
      if (!request.on_body(r.body)) r.failure = TransportFailure::other;
      r.body.clear();
    }
    return r;
  }
  void allow_origin(const std::string&) override {}
  std::vector<std::string> asked;

 private:
  std::function<HttpResponse(const HttpRequest&)> answer_;
};

HttpResponse answer(long status, std::string body = {}) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

const std::string kCalendar = "http://127.0.0.1:1/cal/";

std::string object(const std::string& uid, size_t pad = 0) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
         "\r\nDTSTART:20260105T100000Z\r\nSUMMARY:" + std::string(pad, 'x') + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string member(const std::string& uid, const std::string* data) {
  std::string body = "<d:response><d:href>/cal/" + uid + ".ics</d:href><d:propstat><d:prop><d:getetag>\"" + uid +
                     "\"</d:getetag>";
  if (data != nullptr) body += "<c:calendar-data>" + *data + "</c:calendar-data>";
  return body + "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>";
}

std::string multistatus(const std::string& inside, const std::string& token = {}) {
  return "<d:multistatus xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:caldav\">" + inside +
         (token.empty() ? "" : "<d:sync-token>" + token + "</d:sync-token>") + "</d:multistatus>";
}

const std::string kCalendarProperties = multistatus(
    "<d:response><d:href>/cal/</d:href><d:propstat><d:prop><d:resourcetype><d:collection/><c:calendar/>"
    "</d:resourcetype><d:displayname>Cal</d:displayname><d:sync-token>live</d:sync-token></d:prop>"
    "<d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>");

std::string token_asked(const HttpRequest& r) {
  auto at = r.body.find("<d:sync-token>");
  if (at == std::string::npos) return {};
  at += 14;
  return r.body.substr(at, r.body.find('<', at) - at);
}

TEST(CaldavXml, KeepsWhatWasAskedForWithinItsLimits) {
  MultistatusLimits limits;
  limits.data = 1000;
  limits.text = 100;
  limits.descendants = 8;
  std::string nested;
  for (int i = 0; i < 20000; ++i) nested += "<x:e><x:f/></x:e>";
  std::string many;
  for (int i = 0; i < 50; ++i) many += "<d:privilege><d:read/></d:privilege>";
  const std::string big(2000, 'b');
  const std::string body = multistatus(
      "<d:response><d:href>/cal/a.ics</d:href><d:propstat><d:prop xmlns:x=\"urn:x\"><x:unasked>" + nested +
      "</x:unasked><d:getetag>\"a\"</d:getetag><c:calendar-data><![CDATA[" + big +
      "]]></c:calendar-data><d:displayname>" + std::string(101, 'n') + "</d:displayname>"
      "<d:current-user-privilege-set>" + many + "</d:current-user-privilege-set></d:prop>"
      "<d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>"
      "<d:response><d:href>/cal/b.ics</d:href><d:propstat><d:prop><c:calendar-data>caf\xC3\xA9 &amp; "
      "<![CDATA[<x>]]></c:calendar-data><d:displayname>Fine</d:displayname></d:prop>"
      "<d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>",
      "t1");
  const std::vector<QName> wanted{{kDav, "getetag"},
                                  {kCaldav, "calendar-data"},
                                  {kDav, "displayname"},
                                  {kDav, "current-user-privilege-set"}};
  // Whole, and in pieces of one byte: a piece may end anywhere, in CDATA, inside a character.
  for (size_t piece : {body.size(), size_t{1}, size_t{7}}) {
    std::vector<DavResponse> got;
    MultistatusReader reader(wanted, [&](DavResponse&& r) { got.push_back(std::move(r)); }, limits);
    for (size_t at = 0; at < body.size(); at += piece) reader.feed(std::string_view(body).substr(at, piece));
    MultistatusResult result = reader.finish();
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.sync_token, "t1");
    ASSERT_EQ(got.size(), 2u) << piece;
    const DavResponse& a = got[0];
    EXPECT_EQ(a.find({"urn:x", "unasked"}), nullptr) << "a property not asked for is skipped unread";
    ASSERT_NE(a.find({kDav, "getetag"}), nullptr);
    EXPECT_EQ(a.find({kDav, "getetag"})->text, "\"a\"");
    const Property* data = a.find({kCaldav, "calendar-data"});
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(data->too_long);
    EXPECT_TRUE(data->text.empty()) << "calendar data past the limit is dropped whole";
    EXPECT_TRUE(a.find({kDav, "displayname"})->too_long);
    EXPECT_EQ(a.find({kDav, "displayname"})->text, std::string(100, 'n')) << "other text keeps its beginning";
    const Property* privileges = a.find({kDav, "current-user-privilege-set"});
    EXPECT_TRUE(privileges->too_long);
    EXPECT_EQ(privileges->descendants.size(), limits.descendants);
    const DavResponse& b = got[1];
    EXPECT_FALSE(b.find({kCaldav, "calendar-data"})->too_long);
    EXPECT_EQ(b.find({kCaldav, "calendar-data"})->text, "caf\xC3\xA9 & <x>") << piece;
    EXPECT_EQ(b.find({kDav, "displayname"})->text, "Fine");
  }
}

// A replica in memory that notes each round it is given.
struct Noted final : Replica {
  struct Round {
    size_t bytes = 0, objects = 0;
    std::string token;
  };
  std::vector<Round> rounds;
  MemoryReplica memory;
  std::map<std::string, MemoryReplica::Calendar>& state = memory.state;

  std::vector<ReplicaCalendar> calendars() override { return memory.calendars(); }
  std::map<std::string, std::string> object_etags(const std::string& url) override { return memory.object_etags(url); }
  void apply(const ReplicaRound& round) override {
    Round r{0, round.upserts.size(), round.calendar.sync_token};
    for (const auto& o : round.upserts) r.bytes += o.data.size();
    rounds.push_back(r);
    memory.apply(round);
  }
};

// The objects a calendar-multiget asks for, each of about 1 kB.
HttpResponse multiget(const HttpRequest& r) {
  std::string inside;
  for (size_t at = r.body.find("<d:href>/cal/"); at != std::string::npos; at = r.body.find("<d:href>/cal/", at + 1)) {
    const size_t from = at + 13;
    const std::string uid = r.body.substr(from, r.body.find(".ics<", from) - from);
    std::string data = object(uid, 900);
    inside += member(uid, &data);
  }
  return answer(207, multistatus(inside));
}

// 50 answers of 10 objects of about 1 kB, each truncated (507) but the last.
HttpResponse truncated_answers(const HttpRequest& r) {
  if (r.method == "PROPFIND") return answer(207, kCalendarProperties);
  if (r.body.find("calendar-multiget") != std::string::npos) return multiget(r);
  const std::string from = token_asked(r);
  const int at = from == "r0" ? 1 : std::stoi(from.substr(1)) + 1;
  std::string inside;
  for (int k = 0; k < 10; ++k) {
    std::string data = object("o" + std::to_string(at) + "-" + std::to_string(k), 900);
    inside += member("o" + std::to_string(at) + "-" + std::to_string(k), &data);
  }
  if (at < 50) inside += "<d:response><d:href>/cal/</d:href><d:status>HTTP/1.1 507 Insufficient Storage</d:status></d:response>";
  return answer(207, multistatus(inside, at < 50 ? "r" + std::to_string(at) : "done"));
}

TEST(CaldavSync, ATruncatedSyncIsAppliedAsItComesInRoundsOfBoundedSize) {
  FunctionTransport http(truncated_answers);
  Noted replica;
  replica.state[kCalendar].info = {kCalendar, "Cal", "", true, "r0", ""};
  SyncOptions options;
  options.round_bytes = 8000;
  SyncReport report = sync_account(http, replica, {kCalendar, true}, options);
  ASSERT_TRUE(report.ok()) << report.failures.at(0);
  EXPECT_EQ(report.objects_fetched, 500u);
  EXPECT_EQ(replica.state.at(kCalendar).objects.size(), 500u);
  ASSERT_GT(replica.rounds.size(), 40u);
  for (size_t i = 0; i < replica.rounds.size(); ++i) {
    EXPECT_LE(replica.rounds[i].bytes, options.round_bytes + 1100) << "round " << i;
    // Only the last round moves the calendar on: one cut short is taken up from where it was.
    EXPECT_EQ(replica.rounds[i].token, i + 1 == replica.rounds.size() ? "done" : "r0") << "round " << i;
  }
}

TEST(CaldavSync, StopsWhenItsTimeRunsOutOrItsCallerSaysSo) {
  using Clock = std::chrono::steady_clock;
  struct Case {
    const char* name;
    std::optional<Clock::time_point> deadline;
    int requests_allowed;  // keep_going says no once this many went out; -1: always yes
    ErrorKind kind;
    size_t objects_kept;   // applied before it stopped, the calendar still at its old token
  } cases[] = {
      {"time already out", Clock::now() - std::chrono::seconds(1), -1, ErrorKind::timeout, 0},
      {"stopped at once", std::nullopt, 0, ErrorKind::stopped, 0},
      // The calendar list, then 20 answers each with its multiget: 200 objects.
      {"stopped after 20 answers", std::nullopt, 41, ErrorKind::stopped, 200},
  };
  for (const auto& c : cases) {
    FunctionTransport http(truncated_answers);
    Noted replica;
    replica.state[kCalendar].info = {kCalendar, "Cal", "", true, "r0", ""};
    SyncOptions options;
    options.round_bytes = 8000;
    options.deadline = c.deadline;
    if (c.requests_allowed >= 0)
      options.keep_going = [&] { return static_cast<int>(http.asked.size()) < c.requests_allowed; };
    try {
      sync_account(http, replica, {kCalendar, true}, options);
      ADD_FAILURE() << c.name << ": the sync went on";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.name << ": " << e.what();
    }
    EXPECT_LE(replica.state.at(kCalendar).objects.size(), c.objects_kept) << c.name;
    // Those still waiting for their round when it stopped are not kept.
    EXPECT_GE(replica.state.at(kCalendar).objects.size() + 20, c.objects_kept) << c.name;
    EXPECT_EQ(replica.state.at(kCalendar).info.sync_token, "r0") << c.name;
  }
}

TEST(CaldavSync, AnObjectTooLargeIsKeptWithoutItsTextHoweverItComes) {
  const std::string large = object("large", kMaxObjectBytes);
  const std::string small = object("small");
  struct Case {
    const char* name;
    size_t multiget_batch;
    bool data_in_sync;
  } cases[] = {
      {"with the sync-collection", 100, true},
      {"by calendar-multiget", 100, false},
      {"by GET", 0, false},
  };
  for (const auto& c : cases) {
    FunctionTransport http([&](const HttpRequest& r) {
      if (r.method == "PROPFIND") return answer(207, kCalendarProperties);
      if (r.method == "GET") return answer(200, r.url.find("large") != std::string::npos ? large : small);
      if (r.body.find("calendar-multiget") != std::string::npos)
        return answer(207, multistatus(member("large", &large) + member("small", &small)));
      return answer(207, multistatus(c.data_in_sync ? member("large", &large) + member("small", &small)
                                                    : member("large", nullptr) + member("small", nullptr),
                                     "done"));
    });
    Noted replica;
    if (!c.data_in_sync) replica.state[kCalendar].info = {kCalendar, "Cal", "", true, "r0", ""};
    SyncOptions options;
    options.multiget_batch = c.multiget_batch;
    SyncReport report = sync_account(http, replica, {kCalendar, true}, options);
    ASSERT_TRUE(report.ok()) << c.name << ": " << report.failures.at(0);
    const auto& objects = replica.state.at(kCalendar).objects;
    ASSERT_EQ(objects.size(), 2u) << c.name;
    const auto& kept = objects.at(kCalendar + "large.ics");
    EXPECT_TRUE(kept.too_large) << c.name;
    EXPECT_TRUE(kept.data.empty()) << c.name;
    EXPECT_EQ(kept.etag, "\"large\"") << c.name;
    EXPECT_EQ(objects.at(kCalendar + "small.ics").data, small) << c.name;
    EXPECT_EQ(report.too_large, std::vector<std::string>{kCalendar + "large.ics"}) << c.name;
  }
}

TEST(CaldavSync, HoldsNoMoreThanItMayInAll) {
  FunctionTransport http(truncated_answers);
  MemoryReplica replica;
  replica.state[kCalendar].info = {kCalendar, "Cal", "", true, "r0", ""};
  SyncOptions options;
  options.max_bytes = 100'000;
  try {
    sync_account(http, replica, {kCalendar, true}, options);
    ADD_FAILURE() << "a sync past its bytes went on";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::too_much) << e.what();
  }
  EXPECT_LT(http.asked.size(), 30u) << "it stops once past them, not at the end";
}

}  // namespace
}  // namespace calbridge::caldav
