// Times the publisher's writes to one calendar: new objects (PUT with
// If-None-Match) and their removal (DELETE with If-Match), one process and
// connection for all, with the requests each took.
//
//   calbridge-bench-caldav-publish CALENDAR_URL USER PASSWORD [COUNT]
#include "calendar/time_zone.h"
#include "sync/caldav_publisher.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using namespace calbridge;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s CALENDAR_URL USER PASSWORD [COUNT]\n", argv[0]);
    return 2;
  }
  const std::string calendar = argv[1];
  const int count = argc > 4 ? std::stoi(argv[4]) : 100;
  RemoteAccount account;
  account.sourceIdentifier = "bench";
  account.url = calendar;
  account.singleCalendar = true;
  account.user = argv[2];
  account.passwordCommand = std::string("echo ") + argv[3];
  ZoneCache zones;
  // One bound for the whole run would cut it short; a generous one.
  CalDavPublisher publisher(zones, nullptr, std::chrono::minutes(10));
  std::vector<ObjectChange> made;
  auto time = [&](const char* what, auto&& each) {
    const std::size_t before = publisher.exchanges();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      if (Status done = each(i); !done) {
        std::fprintf(stderr, "%s %d: %s\n", what, i, done.message().c_str());
        return false;
      }
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("publisher %s: %.2f ms each, %.2f requests each (%d)\n", what, ms / count,
                static_cast<double>(publisher.exchanges() - before) / count, count);
    return true;
  };
  bool ok = time("create (PUT If-None-Match: *)", [&](int i) {
    ObjectChange change;
    change.kind = ObjectChange::Kind::create;
    change.calendarUrl = calendar;
    change.url = calendar + "publish-" + std::to_string(i) + ".ics";
    change.text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\nBEGIN:VEVENT\r\nUID:publish-" +
                  std::to_string(i) +
                  "\r\nDTSTAMP:20260101T000000Z\r\nDTSTART:20260110T090000Z\r\nDTEND:20260110T100000Z\r\n"
                  "RRULE:FREQ=DAILY\r\nEXDATE:20260111T090000Z\r\nSUMMARY:Bench\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    PublishedObject published;
    Status done = publisher.publish(account, change, &published);
    if (!done) return done;
    change.kind = ObjectChange::Kind::remove;
    change.etag = published.etag;
    made.push_back(std::move(change));
    return Status::ok();
  });
  ok = ok && time("remove (DELETE If-Match)", [&](int i) {
    PublishedObject gone;
    return publisher.publish(account, made[i], &gone);
  });
  return ok ? 0 : 1;
}
