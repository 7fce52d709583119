// The floor Evolution Data Server sets: a minimal libecal client doing what a
// request of the bridge asks EDS for, and the data set both are timed on.
//
//   calbridge-bench-eds fill DIR       five local calendars of 2,000 events each (1,980
//                                      single, 20 weekly series) over 450 days from 2026-01-05,
//                                      made in EDS; each also written as DIR/calendar-N.ics,
//                                      and their UIDs as DIR/ids, one a line
//   calbridge-bench-eds calendars      every enabled calendar, opened to learn whether it is
//                                      read-only (as `calendars` does); prints how many
//   calbridge-bench-eds hold           keeps every enabled calendar open until standard input
//                                      ends, as the desktop (GNOME Shell's calendar server) does
//   calbridge-bench-eds events FROM TO UID...
//                                      the objects of those calendars with occurrences in
//                                      [FROM, TO) (epoch seconds); prints how many
#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr long kFrom = 1767571200;  // Monday 2026-01-05 00:00 UTC
constexpr int kCalendars = 5, kSingles = 1980, kSeries = 20;

int fail(const char* what, GError* error) {
  std::fprintf(stderr, "calbridge-bench-eds: %s: %s\n", what, error != nullptr ? error->message : "failed");
  return 1;
}

std::string utc(long t) {
  char text[32];
  std::time_t time = t;
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", std::gmtime(&time));
  return text;
}

// One calendar's events as iCalendar text: singles spread over 450 days in
// working hours, and weekly series that run the whole window.
std::string calendarText(int n) {
  std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//calbridge bench//EN\r\n";
  for (int i = 0; i < kSingles + kSeries; ++i) {
    const bool series = i >= kSingles;
    const long day = series ? (i - kSingles) % 7 : (static_cast<long>(i) * 450) / kSingles;
    const long start = kFrom + day * 86400 + (8 + (i * 7 + n) % 10) * 3600 + (i % 4) * 900;
    text += "BEGIN:VEVENT\r\nUID:bench-" + std::to_string(n) + "-" + std::to_string(i) +
            "@example.org\r\nDTSTAMP:20260101T000000Z\r\nDTSTART:" + utc(start) + "\r\nDTEND:" + utc(start + 1800) +
            "\r\nSUMMARY:Event " + std::to_string(i) + " of calendar " + std::to_string(n) + "\r\n";
    if (series) text += "RRULE:FREQ=WEEKLY\r\n";
    text += "END:VEVENT\r\n";
  }
  return text + "END:VCALENDAR\r\n";
}

ECalClient* open(ESource* source, GError** error) {
  EClient* client =
      e_cal_client_connect_sync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS, static_cast<guint32>(-1), nullptr, error);
  return client != nullptr ? E_CAL_CLIENT(client) : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string command = argv[1];
  GError* error = nullptr;
  ESourceRegistry* registry = e_source_registry_new_sync(nullptr, &error);
  if (registry == nullptr) return fail("registry", error);
  if (command == "fill" && argc == 3) {
    std::ofstream ids(std::string(argv[2]) + "/ids");
    for (int n = 1; n <= kCalendars; ++n) {
      ESource* source = e_source_new(nullptr, nullptr, &error);
      e_source_set_parent(source, "local-stub");
      e_source_set_display_name(source, ("Calendar " + std::to_string(n)).c_str());
      auto* calendar = static_cast<ESourceBackend*>(e_source_get_extension(source, E_SOURCE_EXTENSION_CALENDAR));
      e_source_backend_set_backend_name(calendar, "local");
      if (!e_source_registry_commit_source_sync(registry, source, nullptr, &error)) return fail("new calendar", error);
      ECalClient* client = open(source, &error);
      if (client == nullptr) return fail("open", error);
      const std::string text = calendarText(n);
      std::ofstream(std::string(argv[2]) + "/calendar-" + std::to_string(n) + ".ics") << text;
      ICalComponent* vcalendar = i_cal_component_new_from_string(text.c_str());
      GSList* events = nullptr;
      for (ICalComponent* event = i_cal_component_get_first_component(vcalendar, I_CAL_VEVENT_COMPONENT); event;
           event = i_cal_component_get_next_component(vcalendar, I_CAL_VEVENT_COMPONENT)) {
        events = g_slist_prepend(events, event);
      }
      events = g_slist_reverse(events);
      GSList* uids = nullptr;
      if (!e_cal_client_create_objects_sync(client, events, E_CAL_OPERATION_FLAG_NONE, &uids, nullptr, &error)) {
        return fail("create", error);
      }
      ids << e_source_get_uid(source) << "\n";
    }
    return 0;
  }
  if (command == "calendars") {
    GList* sources = e_source_registry_list_enabled(registry, E_SOURCE_EXTENSION_CALENDAR);
    int count = 0;
    for (GList* link = sources; link != nullptr; link = link->next) {
      ECalClient* client = open(static_cast<ESource*>(link->data), &error);
      if (client == nullptr) return fail("open", error);
      (void)e_client_is_readonly(E_CLIENT(client));
      ++count;
    }
    std::printf("%d\n", count);
    return 0;
  }
  if (command == "hold") {
    GList* sources = e_source_registry_list_enabled(registry, E_SOURCE_EXTENSION_CALENDAR);
    for (GList* link = sources; link != nullptr; link = link->next) {
      if (open(static_cast<ESource*>(link->data), &error) == nullptr) return fail("open", error);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
  }
  if (command == "events" && argc >= 5) {
    const std::string sexp = "(occur-in-time-range? (make-time \"" + utc(std::atol(argv[2])) + "\") (make-time \"" +
                             utc(std::atol(argv[3])) + "\"))";
    unsigned count = 0;
    for (int i = 4; i < argc; ++i) {
      ESource* source = e_source_registry_ref_source(registry, argv[i]);
      if (source == nullptr) return fail("no such calendar", nullptr);
      ECalClient* client = open(source, &error);
      if (client == nullptr) return fail("open", error);
      GSList* objects = nullptr;
      if (!e_cal_client_get_object_list_sync(client, sexp.c_str(), &objects, nullptr, &error)) {
        return fail("list", error);
      }
      count += g_slist_length(objects);
    }
    std::printf("%u\n", count);
    return 0;
  }
  return 2;
}
