// One request through everything a host can reach: the input limit, decoding,
// the field readers, dispatch and the handler, over a private in-memory store
// with full access granted and a few events in it.
//
// Input: the first byte picks the command ('0' access to '6' deleteCalendar, in
// the order below, wrapping around), the rest is standard input. Store
// identifiers are random UUIDs, which a fuzzer cannot guess, so the request may
// say "%cal" for the default calendar, "%uid" for a stored series and "%one"
// for a stored single event; the corpus and dictionary use them.
#include "sqlite/sqlite_store.h"
#include "main/bridge.h"

#include <rapidjson/document.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace calbridge;

constexpr std::string_view kCommands[] = {"access",      "calendars",      "events",        "createEvent",
                                          "deleteEvent", "createCalendar", "deleteCalendar"};

// 2026-03-27 09:00 in Berlin, two days before clocks go forward.
constexpr double kSeriesStart = 1774598400;

[[noreturn]] void failure(const char* what, const std::string& reply) {
  std::fprintf(stderr, "request fuzzer: %s: %s\n", what, reply.c_str());
  std::abort();
}

void replaceAll(std::string& text, std::string_view token, std::string_view with) {
  for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + with.size())) {
    text.replace(at, token.size(), with);
  }
}

std::string stored(SqliteStore& store, const std::shared_ptr<const Calendar>& calendar, bool repeating) {
  Event event;
  event.calendar = calendar;
  event.title = repeating ? "Standup" : "Dentist";
  event.startDate = repeating ? kSeriesStart : kSeriesStart + 7200;
  event.endDate = *event.startDate + 1800;
  if (repeating) {
    RecurrenceRule rule;
    rule.frequency = Frequency::daily;
    rule.endDate = kSeriesStart + 30 * 86400;
    event.recurrenceRule = rule;
  }
  if (!store.saveEvent(event, Span::thisEvent, true)) failure("cannot seed the store", "");
  return *event.calendarItemExternalIdentifier;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Wall-clock expansion and its daylight-saving paths need a zone that has them.
  setenv("TZ", "Europe/Berlin", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view word = kCommands[static_cast<std::uint8_t>(data[0] - '0') % std::size(kCommands)];

  SqliteStore store{std::string(kInMemoryStore)};
  if (!store.open() || !store.setAuthorizationStatus(AuthorizationStatus::fullAccess)) {
    failure("cannot open the in-memory store", "");
  }
  auto calendar = store.defaultCalendarForNewEvents();
  if (!calendar) failure("the new store has no default calendar", "");
  std::string series = stored(store, calendar, true);
  std::string single = stored(store, calendar, false);

  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  replaceAll(bytes, "%cal", calendar->calendarIdentifier);
  replaceAll(bytes, "%uid", series);
  replaceAll(bytes, "%one", single);

  Reply reply = serve(word, bytes, store);

  // Whatever came in, the reply is one JSON object whose "ok" is the exit status.
  rapidjson::Document json;
  json.Parse(reply.text.data(), reply.text.size());
  if (json.HasParseError() || !json.IsObject()) failure("reply is not a JSON object", reply.text);
  if (reply.text.back() != '}') failure("reply has trailing bytes", reply.text);
  if (!json.HasMember("ok") || !json["ok"].IsBool() || json["ok"].GetBool() != reply.ok) {
    failure("\"ok\" disagrees with the exit status", reply.text);
  }
  if (reply.ok) {
    if (json.MemberCount() != 2 || !json.HasMember("data")) failure("success without data", reply.text);
    return 0;
  }
  if (!json.HasMember("error") || !json["error"].IsString()) failure("failure without an error", reply.text);
  std::string_view code(json["error"].GetString(), json["error"].GetStringLength());
  // Access is granted and the store is healthy: nothing may be denied, and a
  // refusal by the store is a fault worth a look.
  if (code != "invalid") failure("unexpected error", reply.text);
  return 0;
}
