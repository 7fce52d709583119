// The calendar store on Linux: one SQLite database per user.
//
// Durability: WAL journal with synchronous=FULL, so a change that committed
// survives a crash or a power cut; staged changes live in one open transaction
// and vanish if the process ends before committing. Several processes may use
// the store at once; writers wait their turn (busy timeout) rather than fail.
#pragma once

#include "calendar/occurrences.h"
#include "calendar/recurrence.h"
#include "calendar/store.h"
#include "calendar/access/question.h"
#include "calendar/stored_event.h"
#include "ical/object_edit.h"
#include "calendar/time_zone.h"
#include "sqlite/publisher.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace calbridge {

// $XDG_DATA_HOME/calbridge/calendar.db, or $HOME/.local/share/calbridge/calendar.db
// when XDG_DATA_HOME is unset or not absolute; empty when neither is an
// absolute path (the user database is not asked: see README, Security).
std::string defaultStorePath();

// A CalDAV account whose calendars the store keeps a replica of.
struct RemoteAccount {
  std::string sourceIdentifier;  // filled in when the account is stored
  std::string title;
  std::string url;  // the calendar home, or the one calendar, discovery found
  bool singleCalendar = false;
  std::optional<std::string> user;
  std::optional<std::string> passwordCommand;  // run for the password each time one is needed
  std::optional<std::string> caFile;
  std::optional<double> syncedAt;  // epoch seconds of the last sync that completed
  std::optional<double> syncTriedAt;  // of the last sync begun, completed or not
};

// One calendar of a replica, as the server last described it.
struct ReplicaCalendar {
  std::string remoteUrl;
  std::string title;
  std::string color;  // as the server keeps it ("#RRGGBB", "#RRGGBBAA" or empty)
  bool remoteWritable = false;  // the server grants write access
  std::string syncToken;
  std::string ctag;
};

// One calendar object of a replica: its text as the server sent it, and the
// events read from it (none when it could not be read).
struct ReplicaObject {
  std::string url;
  std::string etag;
  std::string data;
  std::vector<StoredEvent> events;
};

// One calendar's changes from one sync, applied all together or not at all.
struct ReplicaRound {
  enum class Action { add, update, remove } action = Action::update;
  ReplicaCalendar calendar;
  std::vector<ReplicaObject> upserts;
  std::vector<std::string> removals;  // object urls
};

// A path that names a private, empty database in memory (for tests).
inline constexpr std::string_view kInMemoryStore = ":memory:";

class SqliteStore final : public Store {
 public:
  // Touches nothing until `open`. `path` may be kInMemoryStore.
  explicit SqliteStore(std::string path);
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  bool open() override;
  bool readFailed() const override { return readFailed_; }
  AuthorizationStatus authorizationStatus() override;
  void requestFullAccessToEvents(std::function<void(bool)> completion) override;
  std::optional<bool> endAccessRequest() override;
  std::vector<std::shared_ptr<const Calendar>> calendars() override;
  std::shared_ptr<const Calendar> calendarWithIdentifier(std::string_view identifier) override;
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() override;
  std::vector<Source> sources() override;
  std::vector<CalendarItem> calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) override;
  void enumerateEventsMatching(double start, double end, const std::vector<std::shared_ptr<const Calendar>>& calendars,
                               const EventVisitor& visit) override;
  // Saves new events only; an event that is already stored is refused.
  bool saveEvent(Event& event, Span span, bool commit) override;
  bool removeEvent(const Event& event, Span span, bool commit) override;
  // Saves new calendars only, into an existing account.
  bool saveCalendar(Calendar& calendar, bool commit) override;
  // Refuses an immutable calendar.
  bool removeCalendar(const Calendar& calendar, bool commit) override;
  bool commit() override;

  const std::string& path() const { return path_; }
  // How long, in all, this store waits for other processes' locks (10 s unless set).
  void setWaitBudget(std::chrono::milliseconds budget);
  // Why `open` refused the store's folder or files, with how to mend it; empty
  // when it did not (or failed for another reason).
  const std::string& openProblem() const { return problem_; }
  // Checkpoints and truncates the journal, after a change that made it large.
  bool shrinkJournal();

  // The owner's operations (calbridge-store). Each commits at once and is all or nothing.
  bool setAuthorizationStatus(AuthorizationStatus status);
  std::optional<std::string> addSource(const std::string& title, SourceType type);
  // Refused while the account holds calendars.
  bool removeSource(std::string_view identifier);
  // A calendar with the given title, color, flags and account (by its
  // identifier; none for a calendar without an account). Returns its identifier.
  std::optional<std::string> addCalendar(const Calendar& calendar);
  // Changes title, color and flags of the stored calendar with that identifier.
  bool updateCalendar(const Calendar& calendar);
  // Removes a calendar, immutable or not, with its events.
  bool deleteCalendar(std::string_view identifier);
  bool setDefaultCalendar(std::optional<std::string_view> identifier);

  // Stores `events` in the calendar, all of them or none, filling in their
  // identifiers. Events of the calendar with a UID among theirs are replaced.
  // Refuses a replica's calendar. `objects` are the file's texts by UID (see
  // keptObjects): each is kept with the events of its UID, and later changes
  // are written into it, so that an export gives back what came in.
  bool importEvents(std::string_view calendarIdentifier, std::vector<StoredEvent>& events,
                    std::span<const KeptObject> objects = {});
  // How many stored events the imports since `open` replaced.
  std::size_t replacedByImport() const { return replaced_; }
  // Every event of the calendar, in the order stored; nothing when it cannot be read.
  std::optional<std::vector<StoredEvent>> storedEvents(std::string_view calendarIdentifier);
  // What an export writes: the kept text of each object, and the events that have none.
  struct ExportedCalendar {
    std::vector<std::string> objects;
    std::vector<StoredEvent> events;
  };
  std::optional<ExportedCalendar> exportedCalendar(std::string_view calendarIdentifier);

  // Replicas of CalDAV accounts (calbridge-store source add --caldav, sync).
  // Stores a new account with its first sync's calendars, all or nothing;
  // fills in and returns its identifier.
  std::optional<std::string> addRemoteAccount(RemoteAccount& account, const std::vector<ReplicaRound>& rounds);
  // Every CalDAV account with a server; nothing when the store cannot be read.
  std::optional<std::vector<RemoteAccount>> remoteAccounts();
  std::optional<std::vector<ReplicaCalendar>> replicaCalendars(std::string_view sourceIdentifier);
  // url -> ETag of every object of one replica calendar.
  std::optional<std::map<std::string, std::string>> replicaEtags(std::string_view sourceIdentifier,
                                                                std::string_view remoteUrl);
  bool applyReplicaRound(std::string_view sourceIdentifier, const ReplicaRound& round);
  // Records when a sync of the account completed, or (completed false) began.
  bool markSynced(std::string_view sourceIdentifier, double when, bool completed = true);
  // The accounts of replica calendars read since `open` whose last sync is
  // older than `maxAge` seconds (or that never synced).
  std::vector<std::string> staleAccountsRead(double now, double maxAge) const;

  // The zones events may name, with those imported files defined for themselves.
  ZoneCache& zones();

  // Where changes to replica calendars go (not owned; may be null). Each
  // transaction records the replica objects it touched, and its commit hands
  // them to the publisher before anything is kept: when every one is
  // accepted, the objects take the server's ETag and text and their events
  // are what the publisher read from it; when any is not, nothing of the
  // transaction stays. Calendars of a replica are made and removed on the
  // server first too. Without a publisher a replica cannot change: its
  // calendars list as read-only.
  void setPublisher(ObjectPublisher* publisher);

 private:
  struct CalendarRow {
    std::int64_t id;
    std::shared_ptr<const Calendar> calendar;
    bool replica = false;  // its account is kept in step with a server
    std::string remoteUrl;  // a replica's collection on the server
    std::optional<double> syncedAt;  // that account's last sync, completed or only begun
  };
  // One row of the events table: the event as stored, and the keys around it.
  struct EventRow {
    std::int64_t id = 0;
    std::int64_t calendarId = 0;
    // A changed occurrence names its series' row (`seriesId`) and, in
    // `event.recurrenceId`, the occurrence it stands in for (wall seconds in
    // that series' terms). A series split off by a THISANDFUTURE change names
    // the series it came from, and the original start of its first occurrence.
    StoredEvent event;
    std::optional<double> lastEnd;
    std::optional<std::int64_t> seriesId;

    static EventRow read(sqlite3_stmt* statement);
  };
  // A single event as listings need it; its text lives in its chunk's buffer.
  struct SingleRow {
    struct Slice {
      std::uint32_t at = 0, length = 0;
      bool present = false;
    };
    double start = 0, end = 0;
    bool allDay = false;
    EventStatus status = EventStatus::none;
    Slice itemId, externalId, title, timeZone;
  };
  // What filling an event needs of a row, whichever kind it is.
  struct RowView {
    std::string_view itemId, externalId;
    std::optional<std::string_view> title, timeZone;
    bool allDay;
    EventStatus status;
    // The occurrence's own row, when it is not the series' (a changed
    // occurrence, a split-off series); empty: `itemId`.
    std::string_view eventId = {};
    std::optional<double> occurrenceDate = std::nullopt;  // absent: its start
  };
  static RowView viewOf(const EventRow& row);
  static RowView viewOf(const SingleRow& row, const std::string& text);
  // A repeating event with its exclusions, extra dates and changed occurrences, ready to expand.
  struct CachedSeries {
    EventRow row;
    Series series;
    // Its changed occurrences by start, as rows and as the listing takes them.
    std::vector<EventRow> changeRows = {};
    std::vector<SeriesChange> changes = {};
    // The item its occurrences are listed under: a split-off series' origin; empty: its own.
    std::string listedItemId = {};
  };
  static std::string_view listedItemOf(const CachedSeries& cached) {
    return cached.listedItemId.empty() ? std::string_view(cached.row.event.calendarItemIdentifier)
                                       : std::string_view(cached.listedItemId);
  }

  // A cached statement lent out for one use. It is reset when the use ends, so a
  // read that stopped early never keeps a read transaction open: a connection
  // holding one cannot wait for the write lock and would fail at once.
  class StatementUse {
   public:
    explicit StatementUse(sqlite3_stmt* statement) : statement_(statement) {}
    ~StatementUse();
    StatementUse(StatementUse&& other) noexcept : statement_(other.statement_) { other.statement_ = nullptr; }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;
    StatementUse& operator=(StatementUse&&) = delete;
    operator sqlite3_stmt*() const { return statement_; }

   private:
    sqlite3_stmt* statement_;
  };

  bool migrate(bool inMemory);
  // How this store waits for other processes' locks; set at open, and again
  // after a checkpoint that must not wait.
  void waitForOthers();
  static int checkpointAfterCommit(void* store, sqlite3* db, const char* name, int pages);
  // The prepared statement for `sql`, cached by its text.
  StatementUse statement(std::string_view sql);
  bool execute(const char* sql);
  // Runs a statement that returns no rows; true when it completed.
  bool run(sqlite3_stmt* statement);
  // Marks the store failed for an error of the disk or the file (see readFailed).
  void noteError(int code);
  bool step(sqlite3_stmt* statement, bool* row);
  // Runs `work()` (true when done) as one all-or-nothing change: it begins a
  // transaction, or joins the open one under a savepoint of its own, so that a
  // refused change takes back its own writes and none of what was staged
  // before. Commits when asked.
  template <typename Work>
  bool change(bool commit, Work&& work);
  // Commits the open transaction; false, with nothing of it kept, when it was
  // lost to an error, when a read inside it failed, or when the commit failed.
  bool finishTransaction();
  void noticeLostTransaction();
  void discardUnsyncedCommit();
  // The busy handler: waits for another process's lock within one budget for the store's life.
  static int waitForLock(void* store, int attempts);

  const std::vector<CalendarRow>& calendarRows();
  const CalendarRow* findCalendar(std::string_view identifier);
  const CalendarRow* findCalendar(std::int64_t id);
  std::optional<std::int64_t> findSource(std::string_view identifier);
  bool isRemoteAccount(std::int64_t sourceId);
  std::optional<RemoteAccount> remoteAccount(std::int64_t sourceId);
  // A calendar of a CalDAV account: made on the server, then kept in the replica.
  std::optional<std::string> makeReplicaCalendar(const Calendar& calendar, std::int64_t sourceId, bool commit);
  void noteRead(const CalendarRow& row);
  bool applyRound(std::int64_t sourceId, const ReplicaRound& round);
  std::optional<std::int64_t> setting(const char* name);
  double longestEvent();
  // Single events of a calendar that start in [from, to), by start: read once
  // for a window a little wider than asked when a calendar is asked about
  // again, so a run of nearby queries (the skips of a new series) costs one read.
  // Valid until this calendar's singles are asked for again, or a change.
  struct Singles {
    std::span<const SingleRow> rows;
    const std::string* text;
  };
  Singles singlesIn(std::int64_t calendarId, double from, double to);

  // The zones an event's series needs: those files defined, read from the
  // database, only when it names one.
  ZoneCache& zonesFor(const StoredEvent& event);
  ZoneCache& zonesFor(std::span<const StoredEvent> events);
  // The repeating events of a calendar, loaded once and then kept in step with
  // this store's own changes. Reloaded when a write transaction begins, so what
  // a change is based on is never older than the lock it holds.
  std::vector<CachedSeries>& seriesIn(std::int64_t calendarId);
  CachedSeries* cachedSeries(const EventRow& row);
  void forgetCaches();
  // Fills `event` (reusing what it holds) as the occurrence of `row` from start to end.
  static void fill(Event& event, const RowView& row, const CalendarRow& calendar, double start, double end);
  // How far a part split off a series moved its occurrences from their original starts (0 for a series).
  static std::int64_t partShift(const CachedSeries& cached);
  bool removeFromSeries(CachedSeries& cached, double occurrenceStart, Span span);
  // A change of a replica's object staged in the open transaction.
  struct PendingChange {
    std::int64_t objectId = 0;
    std::int64_t calendarId = 0;
    std::string sourceIdentifier;
    ObjectChange change;
  };
  // Stages the change of a replica object for the commit; false when there is
  // no publisher or the object cannot be read.
  bool stageReplicaChange(std::int64_t objectId, ObjectChange::Kind kind, std::optional<std::string> text,
                          const std::optional<ObjectEdit>& edit);
  bool isReplicaObject(std::int64_t objectId);
  // Removes the kept object of an event's row (a replica's at the commit, on its server first).
  bool removeObjectOf(std::int64_t eventId);
  // Hands the staged changes to the publisher and keeps what it answered.
  bool publishStaged();
  // The kept object of an event's row, if it has one.
  std::optional<std::int64_t> objectOf(std::int64_t eventId);
  // Writes `edit` into the event's kept text; a text it cannot apply to is
  // let go, so the event is exported from its fields rather than wrongly.
  bool editObject(std::int64_t eventId, const ObjectEdit& edit);
  // What a series' row keeps of its last end, worked out without the database.
  std::optional<double> lastEndFor(const StoredEvent& event);
  bool keepDefinedZone(const StoredEvent& event);
  bool insertEvent(std::int64_t calendarId, StoredEvent& event, std::optional<double> lastEnd,
                   std::optional<std::int64_t> objectId = std::nullopt,
                   std::optional<std::int64_t> seriesId = std::nullopt);
  // Inserts events linked as linkChanges (series_split.h) has them, each series before what belongs to it.
  bool insertLinked(std::int64_t calendarId, std::vector<StoredEvent>& events,
                    const std::vector<std::optional<std::size_t>>& parents,
                    const std::vector<std::optional<double>>& lastEnds,
                    const std::vector<std::optional<std::int64_t>>& objectIds);  // one per event
  // Removes a changed occurrence (`thisEvent`: it stays hidden, by an exclusion)
  // or its series from the occurrence it stands in for on.
  bool removeOverride(const EventRow& row, Span span);
  // True when parts were split off the series with that row.
  bool hasParts(std::int64_t calendarId, std::int64_t id);
  bool removeCalendarRow(std::string_view identifier, bool evenImmutable, bool commit);
  // A new calendar in the account with that row (none: no account); its identifier.
  std::optional<std::string> insertCalendar(const Calendar& calendar, std::optional<std::int64_t> sourceId,
                                            bool commit);

  std::string path_;
  AccessQuestion question_;  // the permission question in flight, if any
  std::string problem_;
  sqlite3* db_ = nullptr;
  bool opened_ = false;
  bool usable_ = false;
  bool readFailed_ = false;
  bool inTransaction_ = false;
  // The open transaction was rolled back by SQLite on an error; see noticeLostTransaction.
  bool lost_ = false;
  std::size_t replaced_ = 0;
  std::int64_t lastInserted_ = 0;  // the row insertEvent made last
  std::chrono::milliseconds waitBudget_{10000};
  std::optional<std::chrono::steady_clock::time_point> waitDeadline_;
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_map<std::string, sqlite3_stmt*, TextHash, std::equal_to<>> statements_;
  std::optional<std::vector<CalendarRow>> calendarRows_;
  std::map<std::int64_t, std::vector<CachedSeries>> seriesCache_;
  struct SinglesChunk {
    double from, to;
    std::vector<SingleRow> rows;
    std::string text;
    int reads = 1;
  };
  std::map<std::int64_t, SinglesChunk> singlesCache_;
  std::optional<double> longestEvent_;
  // Replica calendars read since `open`: account identifier -> its last sync.
  std::map<std::string, std::optional<double>, std::less<>> replicasRead_;
  ZoneCache zones_;
  bool definedZonesLoaded_ = false;
  ObjectPublisher* publisher_ = nullptr;
  std::vector<PendingChange> staged_;
};

}  // namespace calbridge
