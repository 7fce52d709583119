// The calendars the GNOME desktop already has: a Store over Evolution Data
// Server (EDS), the database GNOME Calendar, Evolution and GNOME Online
// Accounts share, through its own client libraries.
//
// Reads never wait on a server: EDS answers from what it keeps, and the
// desktop, which keeps calendars open, keeps that fresh. A change is made
// through EDS, which asks the server to refuse it when the object changed
// there since EDS last read it ("failed"), rather than overwrite somebody
// else's change; a change counts once EDS has taken it. Every wait for EDS
// ends within one bound from the store's first call (15 s): EDS not
// answering, a calendar that will not open or an account that cannot sign in
// gives "failed" then, never a hang.
//
// Permission is not EDS's: a bridge puts its own gate in front of this store.
#pragma once

#include "calendar/store_module.h"
#include "calendar/stored_event.h"
#include "calendar/time_zone.h"
#include "evolution/accounts.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct _ESourceRegistry ESourceRegistry;
typedef struct _ESource ESource;
typedef struct _ECalClient ECalClient;
typedef struct _ECalComponent ECalComponent;
typedef struct _GMainContext GMainContext;

namespace calbridge {

class Deadline;

// What the store needs of iCalendar text, which it neither reads nor writes
// itself: whoever builds it gives calbridge's own reader and writer.
struct ObjectCodec {
  // The events of one or more calendar objects' text (VCALENDARs); an error
  // line when the text cannot be read. May keep zones the text defines in `zones`.
  std::function<std::vector<StoredEvent>(std::string_view text, ZoneCache& zones, std::string& error)> read;
  // The text (a VCALENDAR) of a new object for `event`, written at `now`.
  std::function<std::optional<std::string>(const StoredEvent& event, ZoneCache& zones, std::int64_t now)> write;
};

class EvolutionStore final : public Store, public Described {
 public:
  static constexpr std::chrono::milliseconds kBound{15'000};

  explicit EvolutionStore(ObjectCodec codec, std::chrono::milliseconds bound = kBound);
  ~EvolutionStore() override;
  EvolutionStore(const EvolutionStore&) = delete;
  EvolutionStore& operator=(const EvolutionStore&) = delete;

  // Touches nothing: EDS is first asked when a command needs a calendar, so
  // that the bound starts there, after any question for permission.
  bool open() override { return true; }
  bool readFailed() const override { return readFailed_; }
  // EDS keeps no permission: full access, for a gate in front to decide.
  AuthorizationStatus authorizationStatus() override { return AuthorizationStatus::fullAccess; }
  void requestFullAccessToEvents(std::function<void(bool)> completion) override { completion(true); }
  std::optional<bool> endAccessRequest() override { return std::nullopt; }

  std::vector<std::shared_ptr<const Calendar>> calendars() override;
  std::shared_ptr<const Calendar> calendarWithIdentifier(std::string_view identifier) override;
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() override;
  std::vector<Source> sources() override;
  std::vector<CalendarItem> calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) override;
  void enumerateEventsMatching(double start, double end, const std::vector<std::shared_ptr<const Calendar>>& calendars,
                               const EventVisitor& visit) override;
  // Saves new events only. With `commit` false the event waits, with what
  // later removals take from it, for commit(), which creates it in one call.
  bool saveEvent(Event& event, Span span, bool commit) override;
  bool removeEvent(const Event& event, Span span, bool commit) override;
  bool saveCalendar(Calendar& calendar, bool commit) override;
  bool removeCalendar(const Calendar& calendar, bool commit) override;
  bool commit() override;
  std::vector<std::string> describe() override;

  // Whether EDS's source registry answers on the session bus within `wait`:
  // true, false when it cannot (no bus, no EDS), nothing when it did not say in time.
  static std::optional<bool> registryAnswers(std::chrono::milliseconds wait, std::string* why);

 private:
  struct CalendarEntry;
  struct StagedCreate;
  struct StagedRemoval;
  // A changed occurrence as EDS names it: the instant it replaces, and its RECURRENCE-ID.
  struct Detached {
    double instant;
    std::string rid;
  };
  // The events of one UID in a calendar, read now.
  struct UidObject {
    std::vector<StoredEvent> events;
    std::vector<Detached> detached;
  };

  // Reaches EDS and reads its sources, once; false (and the store marked
  // failed) when it cannot within the bound.
  bool connect();
  void readSources();
  void forgetCalendars();
  void fail(std::string problem);
  // Runs the store's main context until `done` or the deadline; false at the deadline.
  bool waitUntil(const std::function<bool()>& done);
  CalendarEntry* entryOf(std::string_view identifier);
  CalendarEntry* entryOf(const std::shared_ptr<const Calendar>& calendar);
  // The calendar's client, opened once; null (the store marked failed) when it will not open.
  ECalClient* clientOf(CalendarEntry& entry);
  // The calendar as calbridge describes it; its backend is opened to say whether it may be changed.
  const std::shared_ptr<const Calendar>& calendarOfEntry(CalendarEntry& entry);
  // Waits, within the bound, until a calendar on a server has signed in, so
  // that a change is checked against the server now rather than queued.
  bool readyToWrite(CalendarEntry& entry);
  // The calendar's events that may have occurrences in [from, to): every
  // series, and the single events there; false when they cannot be read.
  bool load(CalendarEntry& entry, double from, double to);
  // The events of the objects `sexp` finds; with `series`, those of objects
  // that repeat (or change an occurrence) go there instead.
  bool query(CalendarEntry& entry, const std::string& sexp, std::vector<StoredEvent>& events,
             std::vector<StoredEvent>* series = nullptr);
  // The events of calendar objects' texts (VEVENTs, grouped by UID), read with
  // the zones their TZIDs name; an object that cannot be read is left out.
  std::vector<StoredEvent> readObjects(CalendarEntry& entry, const std::vector<std::string>& texts,
                                       const std::vector<std::string>& tzids);
  // The VTIMEZONEs EDS keeps for those of `tzids` calbridge does not know by name.
  std::string timeZonesFor(CalendarEntry& entry, const std::vector<std::string>& tzids);
  // Nothing when the calendar cannot be read; no events when it holds no such UID.
  std::optional<UidObject> objectOf(CalendarEntry& entry, const std::string& uid);
  // The instant a changed occurrence's RECURRENCE-ID names; NaN when unknown.
  double instantOf(ECalComponent* component);
  void fill(Event& event, const CalendarEntry& entry, const StoredEvent& stored, double start, double end,
            double occurrenceDate) const;
  bool create(CalendarEntry& entry, const StoredEvent& event);
  bool applyRemoval(const StagedRemoval& removal);
  // A new calendar as a source of its own (local) or made by EDS on the server; its UID.
  std::optional<std::string> newSource(const Calendar& calendar, const SourceFacts& account);
  // A new calendar on the server of a WebDAV collection, once EDS lists it; its UID.
  std::optional<std::string> newServerCalendar(const Calendar& calendar, const SourceFacts& account);
  // The calendar of `account` at `path` on its server, if EDS lists one.
  std::optional<std::string> childAt(const std::string& account, const std::string& path);

  ObjectCodec codec_;
  std::chrono::milliseconds bound_;
  std::unique_ptr<Deadline> deadline_;
  GMainContext* context_ = nullptr;
  ESourceRegistry* registry_ = nullptr;
  bool connected_ = false;
  bool readFailed_ = false;
  std::vector<std::string> problems_;
  std::vector<std::unique_ptr<CalendarEntry>> calendars_;
  std::map<std::string, SourceFacts, std::less<>> accounts_;
  std::string defaultCalendar_;
  ZoneCache zones_;
  std::vector<std::unique_ptr<StagedCreate>> creates_;
  std::vector<StagedRemoval> removals_;
};

// The calendar item identifier of an event: its calendar's and its UID.
std::string itemIdentifier(std::string_view calendar, std::string_view uid);

}  // namespace calbridge
