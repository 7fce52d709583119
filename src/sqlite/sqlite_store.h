// The calendar store on Linux: one SQLite database per user.
//
// Durability: WAL journal with synchronous=FULL, so a change that committed
// survives a crash or a power cut; staged changes live in one open transaction
// and vanish if the process ends before committing. Several processes may use
// the store at once; writers wait their turn (busy timeout) rather than fail.
#pragma once

#include "base/status.h"
#include "calendar/access/question.h"
#include "calendar/store.h"
#include "calendar/stored_event.h"
#include "calendar/time_zone.h"
#include "ical/kept_objects.h"
#include "ical/object_edit.h"
#include "replica/change_batch.h"
#include "replica/publisher.h"
#include "replica/read_round.h"
#include "replica/replica.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

namespace sqlite {
class Database;
struct CalendarRow;
struct EventRow;
struct SingleRow;
}  // namespace sqlite

// $XDG_DATA_HOME/calbridge/calendar.db, or $HOME/.local/share/calbridge/calendar.db
// when XDG_DATA_HOME is unset or not absolute; empty when neither is an
// absolute path (the user database is not asked: see README, Security).
std::string defaultStorePath();

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
  bool readFailed() const override;
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
  std::optional<std::string> addRemoteAccount(RemoteAccount& account, const std::vector<ReadRound>& rounds);
  // Every CalDAV account with a server; nothing when the store cannot be read.
  std::optional<std::vector<RemoteAccount>> remoteAccounts();
  std::optional<std::vector<ReplicaCalendar>> replicaCalendars(std::string_view sourceIdentifier);
  // url -> ETag of every object of one replica calendar.
  std::optional<std::map<std::string, std::string>> replicaEtags(std::string_view sourceIdentifier,
                                                                std::string_view remoteUrl);
  // Keeps one sync round, all or nothing. An object the replica no longer has
  // as the round found it (see ReplicaRound::before) is left for the next
  // round, and so is the calendar's token.
  bool applyReplicaRound(std::string_view sourceIdentifier, const ReadRound& read);
  // Records when a sync of the account completed, or (completed false) began.
  bool markSynced(std::string_view sourceIdentifier, double when, bool completed = true);
  // The accounts of replica calendars read since `open` whose last sync is
  // older than `maxAge` seconds (or that never synced).
  std::vector<std::string> staleAccountsRead(double now, double maxAge) const;

  // The zones events may name, with those imported files defined for themselves.
  ZoneCache& zones();

  // Where changes to replica calendars go (not owned; may be null). Each
  // transaction stages one change per replica object it touches, made
  // against the object's ETag (replica/change_batch.h). Its commit takes the
  // transaction back, sends the changes outside the write lock (so local work
  // never waits on a server), and then, under the lock again, keeps what every
  // server took: the staged rows with the server's ETag and text where the
  // replica is still where the change began, else the replica in step with
  // the server's answer. When any server refuses, nothing of the transaction
  // stays. A transaction that changes a replica changes nothing else.
  // Calendars of a replica are made and removed on the server first too.
  // Without a publisher a replica cannot change: its calendars list as
  // read-only.
  void setPublisher(ObjectPublisher* publisher);
  // Why the last change this store refused was refused, when a server or the
  // publisher said (calbridge-store tells it); ok otherwise.
  const Status& failure() const { return failure_; }

 private:
  // Defined in store_internal.h, which only this folder includes.
  struct CachedSeries;
  struct Singles;
  struct Caches;

  // The store's files checked, the database opened and brought to the schema.
  Status openDatabase();
  // Runs `work()` (true when done) as one all-or-nothing change: it begins a
  // transaction, or joins the open one under a savepoint of its own, so that a
  // refused change takes back its own writes and none of what was staged
  // before. Commits when asked.
  template <typename Work>
  bool change(bool commit, Work&& work);
  // Commits the open transaction, the server first; nothing of it is kept
  // when it was lost to an error, a read inside it failed, the server refused
  // or the commit failed.
  Status finishTransaction();
  void forgetCaches();

  // Calendars, by identifier (canonically) or row; cached until a change.
  const std::vector<sqlite::CalendarRow>& calendarRows();
  const sqlite::CalendarRow* findCalendar(std::string_view identifier);
  const sqlite::CalendarRow* findCalendar(std::int64_t id);
  void noteRead(const sqlite::CalendarRow& row);
  // A new calendar in the account with that row (none: no account); its identifier.
  std::optional<std::string> insertCalendar(const Calendar& calendar, std::optional<std::int64_t> sourceId,
                                            bool commit);
  bool removeCalendarRow(std::string_view identifier, bool evenImmutable, bool commit);

  // The zones an event's series needs: those files defined are read from the
  // database only when one is named.
  ZoneCache& zonesFor(const StoredEvent& event);
  ZoneCache& zonesFor(std::span<const StoredEvent> events);
  // A zone a file defined for itself is kept with the first event that uses it.
  bool keepDefinedZone(const StoredEvent& event);

  // What listings read: the single events of a calendar that start in
  // [from, to), by start, read once for a window a little wider than asked
  // when a calendar is asked about again, so a run of nearby queries (the
  // skips of a new series) costs one read; valid until this calendar's singles
  // are asked for again, or a change. And the repeating events of a calendar,
  // loaded once and then kept in step with this store's own changes; reloaded
  // when a write transaction begins, so what a change is based on is never
  // older than the lock it holds.
  double longestEvent();
  Singles singlesIn(std::int64_t calendarId, double from, double to);
  std::vector<CachedSeries>& seriesIn(std::int64_t calendarId);
  CachedSeries* cachedSeries(const sqlite::EventRow& row);
  // True when parts were split off the series with that row.
  bool hasParts(std::int64_t calendarId, std::int64_t id);

  // Writing events: what a series' row keeps of its last end, worked out
  // without the database; an event inserted (its row in lastInserted_); events
  // linked as linkChanges (series_split.h) has them, each series before what
  // belongs to it, one object row (or none) per event.
  std::optional<double> lastEndFor(const StoredEvent& event);
  bool insertEvent(std::int64_t calendarId, StoredEvent& event, std::optional<double> lastEnd,
                   std::optional<std::int64_t> objectId = std::nullopt,
                   std::optional<std::int64_t> seriesId = std::nullopt);
  bool insertLinked(std::int64_t calendarId, std::vector<StoredEvent>& events,
                    const std::vector<std::optional<std::size_t>>& parents,
                    const std::vector<std::optional<double>>& lastEnds,
                    const std::vector<std::optional<std::int64_t>>& objectIds);
  bool removeFromSeries(CachedSeries& cached, double occurrenceStart, Span span);
  // Removes a changed occurrence (`thisEvent`: it stays hidden, by an exclusion)
  // or its series from the occurrence it stands in for on.
  bool removeOverride(const sqlite::EventRow& row, Span span);

  // Kept objects and replicas.
  std::optional<RemoteAccount> remoteAccount(std::int64_t sourceId);
  // A calendar of a CalDAV account: made on the server, then kept in the replica.
  std::optional<std::string> makeReplicaCalendar(const Calendar& calendar, std::int64_t sourceId, bool commit);
  bool applyRound(std::int64_t sourceId, const ReadRound& read);
  // The ETag of the calendar's object at `url`; none when it is not there.
  std::optional<std::string> objectEtag(std::int64_t calendarId, const std::string& url);
  // The object at `url` as its server now has it: its text and ETag, and its
  // events, read from that text, in place of those it had (which pass their
  // identifiers on). `firstInNewCalendar`: the calendar was made in this
  // transaction and has no object at `url` yet, so there is nothing to look up.
  bool replaceObject(std::int64_t calendarId, const std::string& url, const std::string& etag,
                     const std::string& data, std::vector<StoredEvent> events,
                     bool firstInNewCalendar = false);
  // Stages the change of a replica object for the commit; false when there is
  // no publisher or the object cannot be read.
  bool stageReplicaChange(std::int64_t objectId, ObjectChange::Kind kind, std::optional<std::string> text,
                          const std::optional<ObjectEdit>& edit);
  bool isReplicaObject(std::int64_t objectId);
  // Removes the kept object of an event's row (a replica's at the commit, on its server first).
  bool removeObjectOf(std::int64_t eventId);
  // Sends the staged changes to their servers outside the write lock and,
  // under the lock again, stages what they took for the commit (see
  // setPublisher); with no transaction open when it fails.
  Status publishStaged();
  // The kept object of an event's row, if it has one.
  std::optional<std::int64_t> objectOf(std::int64_t eventId);
  // Writes `edit` into the event's kept text, in the zone the store reads its
  // series in; false when the text cannot take it: the change is refused
  // rather than leave the text behind.
  bool editObject(std::int64_t eventId, const ObjectEdit& edit);

  std::string path_;
  AccessQuestion question_;  // the permission question in flight, if any
  std::string problem_;
  std::unique_ptr<sqlite::Database> db_;
  std::unique_ptr<Caches> caches_;
  bool opened_ = false;
  bool usable_ = false;
  std::size_t replaced_ = 0;
  std::int64_t lastInserted_ = 0;  // the row insertEvent made last
  // Replica calendars read since `open`: account identifier -> its last sync.
  std::map<std::string, std::optional<double>, std::less<>> replicasRead_;
  ZoneCache zones_;
  bool definedZonesLoaded_ = false;
  ObjectPublisher* publisher_ = nullptr;
  // The replica objects the open transaction changed, for the commit to publish.
  ChangeBatch staged_;
  // Changes of the open transaction that staged nothing for a server (see change()).
  bool plainWrites_ = false;
  std::size_t stagings_ = 0;  // calls of stageReplicaChange, to tell them apart
  Status failure_;
};

}  // namespace calbridge
