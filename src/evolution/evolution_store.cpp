#include "evolution/evolution_store.h"

#include "calendar/civil_time.h"
#include "calendar/new_event.h"
#include "calendar/series_rules.h"
#include "calendar/series_split.h"
#include "calendar/stored_series.h"
#include "evolution/calendar_entry.h"
#include "evolution/calendar_feed.h"
#include "evolution/glib_support.h"
#include "base/unicode.h"

#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <set>

namespace calbridge {

namespace {

// "YYYYMMDDTHHMMSS", the date alone, or with Z for UTC: iCalendar's forms of a
// time, for EDS's queries and RECURRENCE-IDs. Clamped to the years 1 to 9999.
std::string timeText(double seconds, bool dateOnly, bool utc) {
  const auto whole =
      std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(seconds)), kFirstMoment, kEndOfTime - 1);
  const std::int64_t day = floorDiv(whole, kDay);
  const std::int64_t second = whole - day * kDay;
  const CivilDate date = civilFromDays(day);
  char text[32];
  if (dateOnly) {
    std::snprintf(text, sizeof text, "%04d%02d%02d", date.year, date.month, date.day);
  } else {
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d%s", date.year, date.month, date.day,
                  static_cast<int>(second / 3600), static_cast<int>(second / 60 % 60), static_cast<int>(second % 60),
                  utc ? "Z" : "");
  }
  return text;
}

// Single events that start this far before a window may still reach into it
// (with the local zone's offset for floating ones): asked for too, and sorted out here.
constexpr double kQueryMargin = 2 * kDay;

bool hasCalendar(ESource* source) { return e_source_has_extension(source, E_SOURCE_EXTENSION_CALENDAR) != 0; }

SourceFacts factsOf(ESource* source) {
  SourceFacts out;
  out.uid = e_source_get_uid(source);
  GText name(e_source_dup_display_name(source));
  out.displayName = name ? name.get() : "";
  if (const gchar* parent = e_source_get_parent(source)) out.parentUid = parent;
  if (hasCalendar(source)) {
    auto* calendar = static_cast<ESourceSelectable*>(e_source_get_extension(source, E_SOURCE_EXTENSION_CALENDAR));
    if (const gchar* backend = e_source_backend_get_backend_name(E_SOURCE_BACKEND(calendar))) out.backendName = backend;
    GText color(e_source_selectable_dup_color(calendar));
    if (color) out.color = color.get();
  }
  if (e_source_has_extension(source, E_SOURCE_EXTENSION_COLLECTION)) {
    out.collection = true;
    auto* collection = e_source_get_extension(source, E_SOURCE_EXTENSION_COLLECTION);
    if (const gchar* backend = e_source_backend_get_backend_name(E_SOURCE_BACKEND(collection))) {
      out.backendName = backend;
    }
  }
  out.removable = e_source_get_removable(source) != 0;
  out.remoteCreatable = e_source_get_remote_creatable(source) != 0;
  out.remoteDeletable = e_source_get_remote_deletable(source) != 0;
  if (e_source_has_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND)) {
    auto* webdav = static_cast<ESourceWebdav*>(e_source_get_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND));
    GText path(e_source_webdav_dup_resource_path(webdav));
    out.serverResource = path && *path.get() != '\0';
  }
  return out;
}

// The TZIDs a component's times name.
std::vector<std::string> tzidsOf(ICalComponent* component) {
  std::vector<std::string> out;
  i_cal_component_foreach_tzid(
      component,
      [](ICalParameter* parameter, gpointer data) {
        if (const gchar* tzid = i_cal_parameter_get_tzid(parameter)) {
          static_cast<std::vector<std::string>*>(data)->emplace_back(tzid);
        }
      },
      &out);
  return out;
}

// The source registry's bus name in the D-Bus interface of EDS 3.x.
constexpr const char* kRegistryName = "org.gnome.evolution.dataserver.Sources5";

const char* kCalendarHead = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//calbridge//Evolution Data Server//EN\r\n";
const char* kCalendarTail = "END:VCALENDAR\r\n";

}  // namespace

std::string itemIdentifier(std::string_view calendar, std::string_view uid) {
  std::string out(calendar);
  out += '\n';
  out += uid;
  return out;
}

// A new event saved without commit: created, with what later removals took from it, at the commit.
struct EvolutionStore::StagedCreate {
  std::string calendar;  // its entry's uid
  StoredEvent event;
};

struct EvolutionStore::StagedRemoval {
  std::string calendar;
  std::string uid;
  std::optional<std::string> rid;
  ECalObjModType mod;
};

EvolutionStore::EvolutionStore(ObjectCodec codec, std::chrono::milliseconds bound)
    : codec_(std::move(codec)), bound_(bound) {}

EvolutionStore::~EvolutionStore() {
  calendars_.clear();
  accounts_.clear();
  if (registry_ != nullptr) g_object_unref(registry_);
  if (context_ != nullptr) {
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }
}

void EvolutionStore::fail(std::string problem) {
  readFailed_ = true;
  problems_.push_back(std::move(problem));
}

std::optional<bool> EvolutionStore::registryAnswers(std::chrono::milliseconds wait, std::string* why) {
  ObjectCodec none;
  EvolutionStore probe(none, wait);
  if (probe.connect()) return true;
  if (why != nullptr && !probe.problems_.empty()) *why = probe.problems_.front();
  if (probe.deadline_ && probe.deadline_->passed()) return std::nullopt;
  return false;
}

bool EvolutionStore::connect() {
  if (connected_) return true;
  if (deadline_) return false;  // tried, and failed
  deadline_ = std::make_unique<Deadline>(bound_);
  if (std::string problem = sessionBusProblem(); !problem.empty()) {
    fail(std::move(problem));
    return false;
  }
  // Signals of the registry (sources coming and going, a calendar signing in)
  // arrive in this context, which the store runs while it waits for them.
  context_ = g_main_context_new();
  g_main_context_push_thread_default(context_);
  // Asked by name first: libedataserver makes a registry whether or not the
  // service is there (an empty one, when it is not). The bus starts EDS on
  // demand; a service it cannot start fails at once, one that does not
  // answer at the deadline.
  GErrorHolder error;
  GRef<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, deadline_->cancellable(), error.out()));
  GVariant* pong =
      bus ? g_dbus_connection_call_sync(bus.get(), kRegistryName, "/org/gnome/evolution/dataserver/SourceManager",
                                        "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                        deadline_->leftMilliseconds(), deadline_->cancellable(), error.out())
          : nullptr;
  if (pong == nullptr) {
    fail("Evolution Data Server's source registry does not answer on the session bus: " + error.message());
    return false;
  }
  g_variant_unref(pong);
  // Asked without blocking: a registry that stops answering now is given up
  // on at the deadline, which its synchronous form would not do. What is
  // asked for is kept until the answer comes, however late.
  struct Answer {
    bool done = false;
    ESourceRegistry* registry = nullptr;
    GError* error = nullptr;
  };
  auto* answer = new Answer;
  e_source_registry_new(
      deadline_->cancellable(),
      [](GObject*, GAsyncResult* result, gpointer data) {
        auto* a = static_cast<Answer*>(data);
        a->registry = e_source_registry_new_finish(result, &a->error);
        a->done = true;
      },
      answer);
  waitUntil([&] { return answer->done; });
  if (!answer->done) {
    fail("Evolution Data Server's source registry did not answer in time");
    return false;  // `answer` stays for the late callback
  }
  registry_ = answer->registry;
  if (registry_ == nullptr) {
    fail(std::string("Evolution Data Server's source registry cannot be reached: ") +
         (answer->error != nullptr ? answer->error->message : "unknown error"));
  }
  g_clear_error(&answer->error);
  delete answer;
  if (registry_ == nullptr) return false;
  connected_ = true;
  readSources();
  return true;
}

bool EvolutionStore::waitUntil(const std::function<bool()>& done) {
  while (!done()) {
    if (deadline_->passed()) return false;
    // Woken at the latest a little later, to look at the clock again.
    GSource* tick = g_timeout_source_new(static_cast<guint>(std::min(deadline_->leftMilliseconds(), 50)));
    g_source_set_callback(
        tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(tick, context_);
    g_main_context_iteration(context_, TRUE);
    g_source_destroy(tick);
    g_source_unref(tick);
  }
  return true;
}

void EvolutionStore::readSources() {
  calendars_.clear();
  accounts_.clear();
  defaultCalendar_.clear();
  GList* enabled = e_source_registry_list_enabled(registry_, E_SOURCE_EXTENSION_CALENDAR);
  auto account = [&](const std::string& uid) -> const SourceFacts* {
    if (uid.empty()) return nullptr;
    auto found = accounts_.find(uid);
    if (found != accounts_.end()) return &found->second;
    GRef<ESource> source(e_source_registry_ref_source(registry_, uid.c_str()));
    if (!source) return nullptr;
    return &accounts_.emplace(uid, factsOf(source.get())).first->second;
  };
  (void)account(std::string(kLocalAccount));  // where a new local calendar goes, even with none left
  for (GList* link = enabled; link != nullptr; link = link->next) {
    auto* source = static_cast<ESource*>(link->data);
    auto entry = std::make_unique<CalendarEntry>();
    entry->source.reset(static_cast<ESource*>(g_object_ref(source)));
    entry->facts = factsOf(source);
    entry->account = account(entry->facts.parentUid);
    calendars_.push_back(std::move(entry));
  }
  g_list_free_full(enabled, g_object_unref);
  // The registry keeps no order of its own: by account, then title, as GNOME Calendar groups them.
  auto accountTitle = [](const CalendarEntry& e) {
    return e.account != nullptr ? e.account->displayName : std::string();
  };
  std::stable_sort(calendars_.begin(), calendars_.end(), [&](const auto& a, const auto& b) {
    if (accountTitle(*a) != accountTitle(*b)) return accountTitle(*a) < accountTitle(*b);
    if (a->facts.displayName != b->facts.displayName) return a->facts.displayName < b->facts.displayName;
    return a->facts.uid < b->facts.uid;
  });
  GRef<ESource> standard(e_source_registry_ref_default_calendar(registry_));
  if (standard) defaultCalendar_ = e_source_get_uid(standard.get());
}

void EvolutionStore::forgetCalendars() {
  if (connected_) readSources();
}

EvolutionStore::CalendarEntry* EvolutionStore::entryOf(std::string_view identifier) {
  if (!connect()) return nullptr;
  for (auto& entry : calendars_) {
    if (canonicallyEqual(entry->facts.uid, identifier)) return entry.get();
  }
  return nullptr;
}

EvolutionStore::CalendarEntry* EvolutionStore::entryOf(const std::shared_ptr<const Calendar>& calendar) {
  return calendar ? entryOf(calendar->calendarIdentifier) : nullptr;
}

ECalClient* EvolutionStore::clientOf(CalendarEntry& entry) {
  if (entry.client || entry.openFailed) return entry.client.get();
  GErrorHolder error;
  // Not waiting for the backend to sign in: a read answers from what EDS keeps.
  EClient* client = e_cal_client_connect_sync(entry.source.get(), E_CAL_CLIENT_SOURCE_TYPE_EVENTS,
                                              static_cast<guint32>(-1), deadline_->cancellable(), error.out());
  if (client == nullptr) {
    entry.openFailed = true;
    fail("the calendar \"" + entry.facts.displayName + "\" (" + entry.facts.uid +
         ") will not open: " + error.message());
    return nullptr;
  }
  entry.client.reset(E_CAL_CLIENT(client));
  return entry.client.get();
}

const std::shared_ptr<const Calendar>& EvolutionStore::calendarOfEntry(CalendarEntry& entry) {
  if (!entry.calendar) {
    ECalClient* client = clientOf(entry);
    const bool readOnly = client == nullptr || e_client_is_readonly(E_CLIENT(client));
    entry.calendar = std::make_shared<const Calendar>(calendarOf(entry.facts, entry.account, readOnly));
  }
  return entry.calendar;
}

std::vector<std::shared_ptr<const Calendar>> EvolutionStore::calendars() {
  std::vector<std::shared_ptr<const Calendar>> out;
  if (!connect()) return out;
  for (auto& entry : calendars_) out.push_back(calendarOfEntry(*entry));
  return out;
}

std::shared_ptr<const Calendar> EvolutionStore::calendarWithIdentifier(std::string_view identifier) {
  CalendarEntry* entry = entryOf(identifier);
  return entry != nullptr ? calendarOfEntry(*entry) : nullptr;
}

std::shared_ptr<const Calendar> EvolutionStore::defaultCalendarForNewEvents() {
  if (!connect() || defaultCalendar_.empty()) return nullptr;
  return calendarWithIdentifier(defaultCalendar_);
}

std::vector<Source> EvolutionStore::sources() {
  std::vector<AccountFacts> accounts;
  if (!connect()) return {};
  for (const auto& entry : calendars_) {
    if (entry->account != nullptr) accounts.push_back(AccountFacts{*entry->account, entry->facts.backendName});
  }
  if (auto local = accounts_.find(kLocalAccount); local != accounts_.end()) {
    accounts.push_back(AccountFacts{local->second, "local"});
  }
  return accountList(std::move(accounts));
}

std::string EvolutionStore::timeZonesFor(CalendarEntry& entry, const std::vector<std::string>& tzids) {
  std::string out;
  std::set<std::string> written;
  for (const std::string& tzid : tzids) {
    if (!written.insert(tzid).second) continue;
    // A zone calbridge knows by that name needs no definition from EDS.
    if (zones_.find(tzid) != nullptr) continue;
    auto known = entry.zoneTexts.find(tzid);
    if (known == entry.zoneTexts.end()) {
      std::string text;
      ICalTimezone* zone = nullptr;
      GErrorHolder error;
      if (e_cal_client_get_timezone_sync(entry.client.get(), tzid.c_str(), &zone, deadline_->cancellable(),
                                         error.out()) &&
          zone != nullptr) {
        GRef<ICalComponent> component(i_cal_timezone_get_component(zone));
        if (component) {
          GText string(i_cal_component_as_ical_string(component.get()));
          if (string) text = string.get();
        }
      }
      known = entry.zoneTexts.emplace(tzid, std::move(text)).first;
    }
    out += known->second;
  }
  return out;
}

std::vector<StoredEvent> EvolutionStore::readObjects(CalendarEntry& entry, const std::vector<std::string>& texts,
                                                     const std::vector<std::string>& tzids) {
  if (texts.empty()) return {};
  const std::string zones = timeZonesFor(entry, tzids);
  // All in one text, read once; when that is refused, each object alone, so
  // that one object the reader refuses leaves out only itself.
  std::string all = kCalendarHead + zones;
  for (const std::string& text : texts) all += text;
  all += kCalendarTail;
  std::string error;
  std::vector<StoredEvent> events = codec_.read(all, zones_, error);
  if (error.empty()) return events;
  events.clear();
  std::size_t refused = 0;
  for (const std::string& text : texts) {
    std::string one = kCalendarHead + zones + text + kCalendarTail;
    error.clear();
    std::vector<StoredEvent> read = codec_.read(one, zones_, error);
    if (!error.empty()) {
      ++refused;
      continue;
    }
    std::move(read.begin(), read.end(), std::back_inserter(events));
  }
  if (refused > 0) {
    problems_.push_back("left out " + std::to_string(refused) + " object(s) of \"" + entry.facts.displayName +
                        "\" that cannot be read: " + error);
  }
  return events;
}

namespace {

// The objects a query gave, as texts by UID (a series with its changed
// occurrences together) and the TZIDs they name.
struct QueryResult {
  std::vector<std::string> texts;
  std::vector<std::string> tzids;
  std::set<std::string> repeating;  // UIDs with a rule, extra dates or a changed occurrence
};

QueryResult textsOf(GSList* components) {
  QueryResult out;
  std::map<std::string, std::size_t> byUid;
  for (GSList* link = components; link != nullptr; link = link->next) {
    auto* component = static_cast<ICalComponent*>(link->data);
    if (i_cal_component_isa(component) != I_CAL_VEVENT_COMPONENT) continue;
    GText text(i_cal_component_as_ical_string(component));
    if (!text) continue;
    const gchar* uid = i_cal_component_get_uid(component);
    const std::string key = uid != nullptr ? uid : "";
    auto [at, added] = byUid.emplace(key, out.texts.size());
    if (added) out.texts.emplace_back();
    out.texts[at->second] += text.get();
    for (std::string& tzid : tzidsOf(component)) out.tzids.push_back(std::move(tzid));
    if (e_cal_util_component_has_recurrences(component) || e_cal_util_component_is_instance(component)) {
      out.repeating.insert(key);
    }
  }
  return out;
}

}  // namespace

bool EvolutionStore::query(CalendarEntry& entry, const std::string& sexp, std::vector<StoredEvent>& events,
                           std::vector<StoredEvent>* series) {
  ECalClient* client = clientOf(entry);
  if (client == nullptr) return false;
  GSList* components = nullptr;
  GErrorHolder error;
  if (!e_cal_client_get_object_list_sync(client, sexp.c_str(), &components, deadline_->cancellable(), error.out())) {
    fail("the calendar \"" + entry.facts.displayName + "\" cannot be read: " + error.message());
    return false;
  }
  QueryResult result = textsOf(components);
  g_slist_free_full(components, g_object_unref);
  for (StoredEvent& event : readObjects(entry, result.texts, result.tzids)) {
    const bool repeats = series != nullptr && result.repeating.count(event.externalIdentifier) > 0;
    (repeats ? *series : events).push_back(std::move(event));
  }
  return true;
}

bool EvolutionStore::load(CalendarEntry& entry, double from, double to) {
  from -= kQueryMargin;
  to += kQueryMargin;
  std::string window = "(occur-in-time-range? (make-time \"" + timeText(from, false, true) + "\") (make-time \"" +
                       timeText(to, false, true) + "\"))";
  if (!entry.series) {
    // One question for both: every series, whatever the window (calbridge's
    // own expansion decides which occurrences lie in it, not EDS's), and the
    // single events of the window.
    std::vector<StoredEvent> series;
    entry.singles.clear();
    if (!query(entry, "(or (has-recurrences?) " + window + ")", entry.singles, &series)) return false;
    entry.series = std::make_unique<PreparedEvents>(std::move(series), zones_);
  } else {
    if (entry.singlesLoaded && entry.singlesFrom <= from && to <= entry.singlesTo) return true;
    // A calendar asked about again (the skips of a new series) is read for a
    // wider window each time, so that a run of nearby queries costs a few reads.
    if (entry.singlesLoaded) {
      const double low = std::min(from, entry.singlesFrom);
      const double high = std::max(to, entry.singlesTo);
      const double widen = std::max(30 * static_cast<double>(kDay), high - low);
      from = low - (from < entry.singlesFrom ? widen : 0);
      to = high + (to > entry.singlesTo ? widen : 0);
      window = "(occur-in-time-range? (make-time \"" + timeText(from, false, true) + "\") (make-time \"" +
               timeText(to, false, true) + "\"))";
    }
    entry.singles.clear();
    if (!query(entry, "(and " + window + " (not (has-recurrences?)))", entry.singles)) return false;
  }
  std::stable_sort(entry.singles.begin(), entry.singles.end(),
                   [](const StoredEvent& a, const StoredEvent& b) { return a.start < b.start; });
  entry.singlesLoaded = true;
  entry.singlesFrom = from;
  entry.singlesTo = to;
  return true;
}

void EvolutionStore::fill(Event& event, const CalendarEntry& entry, const StoredEvent& stored, double start, double end,
                          double occurrenceDate) const {
  event.calendar = entry.calendar;
  event.title = stored.title;
  event.startDate = start;
  event.endDate = end;
  event.isAllDay = stored.allDay;
  event.status = stored.status;
  event.timeZone = stored.timeZone;
  event.recurrenceRule.reset();
  event.calendarItemIdentifier = itemIdentifier(entry.facts.uid, stored.externalIdentifier);
  event.calendarItemExternalIdentifier = stored.externalIdentifier;
  event.eventIdentifier = event.calendarItemIdentifier;
  event.occurrenceDate = occurrenceDate;
}

void EvolutionStore::enumerateEventsMatching(double start, double end,
                                             const std::vector<std::shared_ptr<const Calendar>>& calendars,
                                             const EventVisitor& visit) {
  if (!(start < end)) return;
  std::vector<CalendarEntry*> selected;
  for (const auto& calendar : calendars) {
    CalendarEntry* entry = entryOf(calendar);
    if (entry != nullptr && std::find(selected.begin(), selected.end(), entry) == selected.end()) {
      selected.push_back(entry);
    }
  }
  // What each calendar feeds the merge: its single events and its series,
  // with those of a new event not created yet.
  struct Fed {
    CalendarEntry* entry;
    std::vector<const StoredEvent*> singles;
    std::vector<TimeRange> times;
    std::vector<ListedSeries> listed;
    std::vector<std::pair<const PreparedEvents*, std::size_t>> series;  // which prepared events, which item
    std::unique_ptr<PreparedEvents> staged;
  };
  std::vector<Fed> fed;
  const Zone& local = zones_.local();
  for (CalendarEntry* entry : selected) {
    calendarOfEntry(*entry);
    if (!load(*entry, start, end)) return;  // the store is marked failed
    Fed f{entry, {}, {}, {}, {}, nullptr};
    std::vector<StoredEvent> staged;
    for (const auto& create : creates_) {
      if (create->calendar == entry->facts.uid) staged.push_back(create->event);
    }
    if (!staged.empty()) f.staged = std::make_unique<PreparedEvents>(std::move(staged), zones_);
    for (const PreparedEvents* prepared : {entry->series.get(), f.staged.get()}) {
      if (prepared == nullptr) continue;
      for (const StoredEvent* single : prepared->singles()) f.singles.push_back(single);
      for (std::size_t item = 0; item < prepared->listed().size(); ++item) {
        f.listed.push_back(prepared->listed()[item]);
        f.series.emplace_back(prepared, item);
      }
    }
    const double earliest = start - kQueryMargin, latest = end + kQueryMargin;
    auto first = std::lower_bound(entry->singles.begin(), entry->singles.end(), earliest,
                                  [](const StoredEvent& e, double t) { return e.start < t; });
    for (auto it = first; it != entry->singles.end() && it->start < latest; ++it) f.singles.push_back(&*it);
    std::stable_sort(f.singles.begin(), f.singles.end(),
                     [](const StoredEvent* a, const StoredEvent* b) { return a->start < b->start; });
    for (const StoredEvent* single : f.singles) {
      f.times.push_back(listedTimes(single->start, single->end, !single->timeZone, local));
    }
    fed.push_back(std::move(f));
  }
  std::vector<CalendarFeed> feeds;
  for (const Fed& f : fed) feeds.push_back(CalendarFeed{f.times, f.listed});
  OccurrenceMerge merge(feeds, start, end);
  Event event;
  while (auto o = merge.next()) {
    const Fed& f = fed[o->calendar];
    const StoredEvent* stored = nullptr;
    if (o->kind == ListedOccurrence::Kind::single) {
      stored = f.singles[o->item];
    } else {
      const auto& [prepared, item] = f.series[o->item];
      stored = o->kind == ListedOccurrence::Kind::change ? &prepared->changeEvent(item, o->change)
                                                         : &prepared->seriesEvent(item);
    }
    fill(event, *f.entry, *stored, o->start, o->end, o->occurrenceDate);
    if (!visit(event)) break;
  }
}

std::optional<EvolutionStore::UidObject> EvolutionStore::objectOf(CalendarEntry& entry, const std::string& uid) {
  ECalClient* client = clientOf(entry);
  if (client == nullptr) return std::nullopt;
  GSList* components = nullptr;
  GErrorHolder error;
  if (!e_cal_client_get_objects_for_uid_sync(client, uid.c_str(), &components, deadline_->cancellable(), error.out())) {
    if (g_error_matches(error.get(), E_CAL_CLIENT_ERROR, E_CAL_CLIENT_ERROR_OBJECT_NOT_FOUND)) return UidObject{};
    fail("the calendar \"" + entry.facts.displayName + "\" cannot be read: " + error.message());
    return std::nullopt;
  }
  UidObject out;
  std::string text;
  std::vector<std::string> tzids;
  for (GSList* link = components; link != nullptr; link = link->next) {
    auto* component = static_cast<ECalComponent*>(link->data);
    ICalComponent* ical = e_cal_component_get_icalcomponent(component);
    GText string(i_cal_component_as_ical_string(ical));
    if (string) text += string.get();
    for (std::string& tzid : tzidsOf(ical)) tzids.push_back(std::move(tzid));
    if (GText rid{e_cal_component_get_recurid_as_string(component)}; rid && *rid.get() != '\0') {
      out.detached.push_back(Detached{instantOf(component), rid.get()});
    }
  }
  g_slist_free_full(components, g_object_unref);
  for (StoredEvent& event : readObjects(entry, {text}, tzids)) {
    if (event.externalIdentifier == uid) out.events.push_back(std::move(event));
  }
  return out;
}

double EvolutionStore::instantOf(ECalComponent* component) {
  double out = std::nan("");
  ECalComponentRange* range = e_cal_component_get_recurid(component);
  ECalComponentDateTime* when = range != nullptr ? e_cal_component_range_get_datetime(range) : nullptr;
  ICalTime* time = when != nullptr ? e_cal_component_datetime_get_value(when) : nullptr;
  if (time != nullptr) {
    const double wall = static_cast<double>(
        daysFromCivil(i_cal_time_get_year(time), i_cal_time_get_month(time), i_cal_time_get_day(time)) * kDay +
        (i_cal_time_is_date(time)
             ? 0
             : i_cal_time_get_hour(time) * 3600 + i_cal_time_get_minute(time) * 60 + i_cal_time_get_second(time)));
    const gchar* tzid = e_cal_component_datetime_get_tzid(when);
    if (i_cal_time_is_utc(time)) {
      out = wall;
    } else if (tzid != nullptr) {
      const Zone* zone = zones_.find(tzid);
      out = zone != nullptr ? static_cast<double>(wallToEpoch(*zone, static_cast<std::int64_t>(wall))) : std::nan("");
    } else {
      out = static_cast<double>(wallToEpoch(zones_.local(), static_cast<std::int64_t>(wall)));
    }
  }
  if (range != nullptr) e_cal_component_range_free(range);
  return out;
}

std::vector<CalendarItem> EvolutionStore::calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) {
  std::vector<CalendarItem> items;
  if (!connect()) return items;
  const std::string uid(externalIdentifier);
  for (auto& entry : calendars_) {
    calendarOfEntry(*entry);
    if (entry->openFailed) continue;  // marked failed: nothing said is final
    std::optional<UidObject> found = objectOf(*entry, uid);
    if (!found || found->events.empty()) continue;
    // The series' first occurrence (a single event's own); an object of changed occurrences alone, its first.
    std::vector<StoredEvent>& events = found->events;
    const std::vector<std::optional<std::size_t>> parents = linkChanges(events, zones_);
    const StoredEvent* first = &events.front();
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (!parents[i] && !events[i].recurrenceId) {
        first = &events[i];
        break;
      }
    }
    const TimeRange at = listedTimes(first->start, first->end, !first->timeZone, zones_.local());
    Event event;
    fill(event, *entry, *first, at.start, at.end, at.start);
    items.push_back(CalendarItem{EntityType::event, std::move(event)});
  }
  return items;
}

bool EvolutionStore::saveEvent(Event& event, Span, bool commit) {
  if (event.calendarItemIdentifier) return false;  // a change of a stored event: not offered
  CalendarEntry* entry = entryOf(event.calendar);
  if (entry == nullptr || !calendarOfEntry(*entry)->allowsContentModifications) return false;
  std::optional<StoredEvent> stored = storedFormOf(event, zones_);
  if (!stored) return false;
  event.calendarItemExternalIdentifier = stored->externalIdentifier;
  event.calendarItemIdentifier = itemIdentifier(entry->facts.uid, stored->externalIdentifier);
  event.eventIdentifier = event.calendarItemIdentifier;
  event.occurrenceDate = event.startDate;
  if (commit) return create(*entry, *stored) && this->commit();
  creates_.push_back(std::make_unique<StagedCreate>(StagedCreate{entry->facts.uid, std::move(*stored)}));
  return true;
}

bool EvolutionStore::readyToWrite(CalendarEntry& entry) {
  ECalClient* client = clientOf(entry);
  if (client == nullptr) return false;
  const std::string& backend = entry.facts.backendName;
  if (backend == "local" || readOnlyBackend(backend)) return true;
  // Without a network EDS keeps the change and sends it when it can.
  if (!e_client_is_online(E_CLIENT(client))) return true;
  ESource* source = entry.source.get();
  if (waitUntil([&] { return e_source_get_connection_status(source) == E_SOURCE_CONNECTION_STATUS_CONNECTED; })) {
    return true;
  }
  fail("the calendar \"" + entry.facts.displayName + "\" did not sign in to its server in time");
  return false;
}

bool EvolutionStore::create(CalendarEntry& entry, const StoredEvent& event) {
  ECalClient* client = clientOf(entry);
  if (client == nullptr || !readyToWrite(entry)) return false;
  std::optional<std::string> text = codec_.write(event, zones_, static_cast<std::int64_t>(std::time(nullptr)));
  if (!text) return false;
  GRef<ICalComponent> calendar(i_cal_component_new_from_string(text->c_str()));
  if (!calendar) return false;
  GErrorHolder error;
  for (GRef<ICalComponent> zone(i_cal_component_get_first_component(calendar.get(), I_CAL_VTIMEZONE_COMPONENT)); zone;
       zone.reset(i_cal_component_get_next_component(calendar.get(), I_CAL_VTIMEZONE_COMPONENT))) {
    GRef<ICalTimezone> timezone(i_cal_timezone_new());
    if (!i_cal_timezone_set_component(timezone.get(), zone.get()) ||
        !e_cal_client_add_timezone_sync(client, timezone.get(), deadline_->cancellable(), error.out())) {
      fail("the calendar \"" + entry.facts.displayName + "\" did not take a time zone: " + error.message());
      return false;
    }
  }
  GRef<ICalComponent> vevent(i_cal_component_get_first_component(calendar.get(), I_CAL_VEVENT_COMPONENT));
  if (!vevent) return false;
  gchar* uid = nullptr;
  const bool created = e_cal_client_create_object_sync(client, vevent.get(), E_CAL_OPERATION_FLAG_CONFLICT_FAIL, &uid,
                                                       deadline_->cancellable(), error.out());
  g_free(uid);
  if (!created) {
    problems_.push_back("the calendar \"" + entry.facts.displayName + "\" refused a new event: " + error.message());
    return false;
  }
  entry.forgetEvents();
  return true;
}

namespace {

// The RECURRENCE-ID of the occurrence at `wall` (wall seconds) of `series`, as
// EDS takes it: UTC for a zoned series, a date for an all-day one, wall time for a floating one.
std::string recurrenceIdOf(const Series& series, std::int64_t wall) {
  if (series.floating) return timeText(static_cast<double>(wall), series.allDay, false);
  return timeText(static_cast<double>(wallToEpoch(*series.zone, wall)), false, true);
}

}  // namespace

bool EvolutionStore::removeEvent(const Event& event, Span span, bool commit) {
  CalendarEntry* entry = entryOf(event.calendar);
  if (entry == nullptr || !event.calendarItemExternalIdentifier || !event.startDate) return false;
  const std::string& uid = *event.calendarItemExternalIdentifier;
  const double at = event.occurrenceDate.value_or(*event.startDate);
  for (auto staged = creates_.begin(); staged != creates_.end(); ++staged) {
    if ((*staged)->calendar != entry->facts.uid || (*staged)->event.externalIdentifier != uid) continue;
    // An occurrence of a new event not created yet: it is created without it.
    StoredEvent& stored = (*staged)->event;
    Series series = seriesOf(stored, zones_);
    RemovalPlan plan = planRemoval(series, at, span);
    switch (plan.kind) {
      case RemovalPlan::Kind::none:
        return false;
      case RemovalPlan::Kind::removeAll:
        creates_.erase(staged);
        break;
      case RemovalPlan::Kind::exclude:
        stored.excluded.insert(std::lower_bound(stored.excluded.begin(), stored.excluded.end(), plan.wall), plan.wall);
        break;
      case RemovalPlan::Kind::endBefore:
        stored.until = plan.ended.until;
        stored.count.reset();
        stored.excluded = plan.ended.excluded;
        stored.extraDates = plan.ended.extraDates;
        break;
    }
    return !commit || this->commit();
  }
  if (!calendarOfEntry(*entry)->allowsContentModifications) return false;
  std::optional<UidObject> found = objectOf(*entry, uid);
  if (!found || found->events.empty()) return false;
  // Which EDS removal this is: ALL, THIS or THIS_AND_FUTURE, and at which RECURRENCE-ID.
  std::vector<StoredEvent>& events = found->events;
  const std::vector<std::optional<std::size_t>> parents = linkChanges(events, zones_);
  std::optional<std::size_t> root;
  for (std::size_t i = 0; i < events.size() && !root; ++i) {
    if (!parents[i] && !events[i].recurrenceId) root = i;
  }
  const auto detached = std::find_if(found->detached.begin(), found->detached.end(),
                                     [&](const Detached& d) { return std::fabs(d.instant - at) < kSameMoment; });
  StagedRemoval removal{entry->facts.uid, uid, std::nullopt, E_CAL_OBJ_MOD_ALL};
  if (!root) {
    // Changed occurrences without their series: each is all there is of itself.
    if (detached != found->detached.end()) removal.rid = detached->rid;
    removal.mod = E_CAL_OBJ_MOD_THIS;
  } else if (events[*root].rule) {
    Series series = seriesOf(events[*root], zones_);
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (parents[i] == root && !events[i].rule && events[i].recurrenceId) {
        auto& replaced = series.replaced;
        replaced.insert(std::lower_bound(replaced.begin(), replaced.end(), events[i].recurrenceId->wall),
                        events[i].recurrenceId->wall);
      }
    }
    const RemovalPlan plan = planRemoval(series, at, span);
    if (detached != found->detached.end()) {
      // A changed occurrence, named as EDS names it, unless the whole series goes.
      if (plan.kind != RemovalPlan::Kind::removeAll) {
        removal.rid = detached->rid;
        removal.mod = span == Span::thisEvent ? E_CAL_OBJ_MOD_THIS : E_CAL_OBJ_MOD_THIS_AND_FUTURE;
      }
    } else {
      switch (plan.kind) {
        case RemovalPlan::Kind::none:
          return false;  // no occurrence of the series starts there (one of a part split off it, say)
        case RemovalPlan::Kind::removeAll:
          break;
        case RemovalPlan::Kind::exclude:
          removal.rid = recurrenceIdOf(series, plan.wall);
          removal.mod = E_CAL_OBJ_MOD_THIS;
          break;
        case RemovalPlan::Kind::endBefore:
          removal.rid = recurrenceIdOf(series, plan.wall);
          removal.mod = E_CAL_OBJ_MOD_THIS_AND_FUTURE;
          break;
      }
    }
  }
  removals_.push_back(std::move(removal));
  return !commit || this->commit();
}

bool EvolutionStore::applyRemoval(const StagedRemoval& removal) {
  CalendarEntry* entry = entryOf(removal.calendar);
  if (entry == nullptr || !readyToWrite(*entry)) return false;
  GErrorHolder error;
  const bool removed = e_cal_client_remove_object_sync(
      entry->client.get(), removal.uid.c_str(), removal.rid ? removal.rid->c_str() : nullptr, removal.mod,
      E_CAL_OPERATION_FLAG_CONFLICT_FAIL, deadline_->cancellable(), error.out());
  entry->forgetEvents();
  if (removed) return true;
  problems_.push_back("the calendar \"" + entry->facts.displayName + "\" refused a removal: " + error.message());
  if (g_error_matches(error.get(), E_CLIENT_ERROR, E_CLIENT_ERROR_OUT_OF_SYNC)) {
    // Somebody changed the object on the server since EDS read it: have EDS
    // read it again (this only schedules that), so that a second try meets it.
    (void)e_client_refresh_sync(E_CLIENT(entry->client.get()), deadline_->cancellable(), nullptr);
  }
  return false;
}

bool EvolutionStore::commit() {
  bool done = true;
  auto creates = std::move(creates_);
  creates_.clear();
  for (auto& staged : creates) {
    CalendarEntry* entry = entryOf(staged->calendar);
    done = entry != nullptr && create(*entry, staged->event) && done;
  }
  auto removals = std::move(removals_);
  removals_.clear();
  for (const StagedRemoval& removal : removals) {
    if (!done) break;  // nothing more after a refusal: what is left stays as it was
    done = applyRemoval(removal);
  }
  return done;
}

std::vector<std::string> EvolutionStore::describe() {
  std::vector<std::string> lines = problems_;
  if (connected_) {
    lines.push_back("Evolution Data Server answers: " + std::to_string(calendars_.size()) + " calendar(s)");
  }
  return lines;
}

}  // namespace calbridge
