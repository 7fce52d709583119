// calbridge-store: the store owner's tool. Errors are one line on standard
// error with exit status 1; bad input changes nothing.
#include "caldav/origins.h"
#include "calendar/color.h"
#include "ical/icalendar.h"
#include "main/serving_store.h"
#include "main/store_choice.h"
#include "sqlite/sqlite_store.h"
#include "sync/account_sync.h"
#include "protocol/reply.h"
#include "base/limits.h"
#include "base/unicode.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {
namespace {

constexpr std::string_view kUsage = R"(usage: calbridge-store COMMAND [ARGS]

The calendar store of calbridge, for its owner.

  path                         print the database path
  access [grant|deny|restrict|write-only|reset]
                               print or set calendar permission
  store [own|evolution]        print or set the store that serves calbridge
  sources                      list accounts (JSON)
  source add --title T --type N
  source add --title T --caldav URL [--user NAME --password-command CMD | --token-command CMD]
             [--ca-file FILE] [--timeout SECONDS]
                               a CalDAV account: finds its calendars, fetches their events
  source remove ID             a CalDAV account with its replica; any other only without calendars
  sync [ACCOUNT] [--if-older-than SECONDS] [--timeout SECONDS]
                               bring CalDAV accounts in step with their servers
  calendars                    list calendars (JSON)
  calendar add --title T [--source ID] [--color #RRGGBB] [--read-only] [--immutable]
  calendar set ID [--title T] [--color #RRGGBB | --no-color]
                  [--read-only | --writable] [--immutable | --mutable]
  calendar remove ID           with its events, immutable or not
  default set ID | default clear
                               the default calendar for new events
  import --calendar ID FILE.ics
                               add a calendar file's events (FILE - reads stdin)
  export --calendar ID         write the calendar as iCalendar to stdout

COMMAND --help tells more about one command; --version prints the version.
)";

struct HelpEntry {
  std::string_view command;
  std::string_view text;
};

constexpr HelpEntry kHelp[] = {
    {"path", "usage: calbridge-store path\n\nPrints the path of the calendar database: "
             "$XDG_DATA_HOME/calbridge/calendar.db,\nor $HOME/.local/share/calbridge/calendar.db. "
             "With neither an absolute path\nthere is no store.\n"},
    {"access", "usage: calbridge-store access [grant|deny|restrict|write-only|reset]\n\n"
               "Without an argument prints the status: not-determined, restricted, denied,\n"
               "full or write-only. Only full lets calbridge read and change calendars;\n"
               "reset makes it ask again on its next \"access\" or \"calendars\".\n"},
    {"store", "usage: calbridge-store store [own|evolution]\n\n"
              "Without an argument prints the store that serves calbridge: own (its SQLite\n"
              "store, which every other command of this tool works on) or evolution (the\n"
              "calendars of the GNOME desktop, in Evolution Data Server), and tells on standard\n"
              "error how it was chosen and what it found there; the exit status is 1 when that\n"
              "store cannot serve. With an argument sets it, in $XDG_CONFIG_HOME/calbridge/store.\n"
              "With no setting, the first request chooses evolution when Evolution Data Server\n"
              "answers on the session bus and the own store holds no account and no event, and\n"
              "records the choice; without a session bus it stays with own.\n"},
    {"sources", "usage: calbridge-store sources\n\nPrints the accounts as a JSON array of "
                "{\"id\",\"title\",\"type\"}.\nTypes: 0 local, 1 Exchange, 2 CalDAV, 3 MobileMe, "
                "4 subscribed, 5 birthdays.\n"},
    {"source", "usage: calbridge-store source add --title T --type N\n"
               "       calbridge-store source add --title T --caldav URL [--user NAME]\n"
               "                                  [--password-command CMD] [--ca-file FILE] [--timeout S]\n"
               "       calbridge-store source add --title T --caldav URL --token-command CMD\n"
               "                                  [--ca-file FILE] [--timeout S]\n"
               "       calbridge-store source remove ID\n\n"
               "add prints the new account's id. With --caldav it finds the account's calendars\n"
               "from URL (the server, a calendar home or one calendar), fetches their events and\n"
               "stores all of it, or nothing when the server cannot be reached, refuses the\n"
               "password or is not CalDAV. --password-command is run, without a shell (words\n"
               "split and quoted as a shell would), each time a password is needed; its first\n"
               "line of output is the password. --token-command is run the same way for an\n"
               "OAuth 2.0 bearer token, sent instead of a user and password. Without either no\n"
               "credentials are sent. They go only to the server of URL, and to another server\n"
               "discovery leads to only from https to https within the same domain; add names\n"
               "each server on standard error. A URL holding a user name or password is refused.\n"
               "It takes at most --timeout seconds (300), and holds at most 256 MiB of events.\n"
               "remove takes a CalDAV account's replica with it (nothing on the server changes);\n"
               "it refuses any other account that holds calendars.\n"},
    {"sync", "usage: calbridge-store sync [ACCOUNT] [--if-older-than SECONDS] [--timeout SECONDS]\n\n"
             "Brings every CalDAV account, or the one named, in step with its server: calendars\n"
             "added, changed or removed there, and their events, in transactions of at most\n"
             "8 MiB of events, a calendar's new state with its last. Only one sync of an\n"
             "account runs at a time; --if-older-than skips an account synced more recently\n"
             "than that. Each account's sync stops after --timeout seconds (300), and when\n"
             "the store's folder is gone; the next sync completes what it left.\n"},
    {"calendars", "usage: calbridge-store calendars\n\nPrints the calendars as a JSON array of "
                  "{\"id\",\"title\",\"color\",\"source\",\"writable\",\"immutable\",\"default\"};\n"
                  "color is \"#rrggbb\" or null, source the account's id or null.\n"},
    {"calendar", "usage: calbridge-store calendar add --title T [--source ID] [--color #RRGGBB]\n"
                 "                                    [--read-only] [--immutable]\n"
                 "       calbridge-store calendar set ID [--title T] [--color #RRGGBB | --no-color]\n"
                 "                                    [--read-only | --writable] [--immutable | --mutable]\n"
                 "       calbridge-store calendar remove ID\n\n"
                 "add prints the new calendar's id; without --source the calendar belongs to no\n"
                 "account. remove takes the calendar's events with it. A title is kept to its first\n"
                 "255 characters.\n"},
    {"default", "usage: calbridge-store default set ID\n       calbridge-store default clear\n\n"
                "Sets or clears the default calendar for new events.\n"},
    {"import", "usage: calbridge-store import --calendar ID FILE.ics\n\n"
               "Adds every VEVENT of the file (- for standard input) to the calendar, all or\n"
               "nothing, and prints how many. An event that cannot be read (no start, a value\n"
               "that does not parse) is left out, and a file with none that can is refused.\n"
               "What the store does not keep (to-dos, older copies of an event) is counted on\n"
               "standard error, and so are titles cut to 255 characters and UIDs cut to 1000,\n"
               "times of unknown zones read as floating and events outside a VCALENDAR. An\n"
               "event whose UID the calendar already holds replaces it, as an update: importing\n"
               "a file twice leaves one copy. A calendar of a CalDAV account is refused.\n"},
    {"export", "usage: calbridge-store export --calendar ID\n\n"
               "Writes the calendar's events as one VCALENDAR to standard output.\n"},
};

// One line on standard error.
void tell(const std::string& message) { std::fprintf(stderr, "calbridge-store: %s\n", message.c_str()); }

int failWith(const std::string& message) {
  tell(message);
  return 1;
}

// Options after the command words: "--name value" pairs and bare "--flag"s.
struct Options {
  std::vector<std::string_view> positional;
  std::vector<std::pair<std::string_view, std::optional<std::string_view>>> named;

  std::optional<std::string_view> value(std::string_view name) const {
    for (const auto& [n, v] : named) {
      if (n == name) return v;
    }
    return std::nullopt;
  }
  bool has(std::string_view name) const {
    for (const auto& [n, v] : named) {
      if (n == name) return true;
    }
    return false;
  }
};

std::optional<Options> parseOptions(int argc, char** argv, int first, std::initializer_list<std::string_view> valued,
                                    std::initializer_list<std::string_view> flags, std::string* error) {
  Options options;
  for (int i = first; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.size() > 2 && arg.substr(0, 2) == "--") {
      bool takesValue = std::find(valued.begin(), valued.end(), arg) != valued.end();
      bool isFlag = std::find(flags.begin(), flags.end(), arg) != flags.end();
      if (!takesValue && !isFlag) {
        *error = "unknown option " + std::string(arg);
        return std::nullopt;
      }
      if (options.has(arg)) {
        *error = "option " + std::string(arg) + " given twice";
        return std::nullopt;
      }
      if (takesValue) {
        if (i + 1 >= argc) {
          *error = "option " + std::string(arg) + " needs a value";
          return std::nullopt;
        }
        options.named.emplace_back(arg, std::string_view(argv[++i]));
      } else {
        options.named.emplace_back(arg, std::nullopt);
      }
    } else {
      options.positional.push_back(arg);
    }
  }
  return options;
}

bool wantsHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

// Cut as the bridge cuts what a request brings, and to no more bytes than a request can hold.
bool cut(std::string& text, std::size_t max) { return cutToCharacters(text, max, kMaxInputBytes); }

std::string counted(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// A title given on the command line, kept no longer than the bridge would keep it.
std::string titleOption(std::string_view given) {
  std::string title(given);
  if (cut(title, kMaxCalendarTitleCharacters)) {
    tell("cut the title to " + std::to_string(kMaxCalendarTitleCharacters) + " characters");
  }
  return title;
}

void printJson(JsonOut& out) {
  std::string text = out.take();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

std::string_view statusWord(AuthorizationStatus status) {
  switch (status) {
    case AuthorizationStatus::notDetermined: return "not-determined";
    case AuthorizationStatus::restricted: return "restricted";
    case AuthorizationStatus::denied: return "denied";
    case AuthorizationStatus::fullAccess: return "full";
    case AuthorizationStatus::writeOnly: return "write-only";
  }
  return "restricted";
}

bool parseType(std::string_view text, int* type) {
  if (text.empty() || text.size() > 3) return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *type = n;
  return true;
}

int accessCommand(SqliteStore& store, const Options& options) {
  if (options.positional.size() > 1 || !options.named.empty()) return failWith("usage: access [grant|deny|restrict|write-only|reset]");
  if (options.positional.empty()) {
    if (store.readFailed()) return failWith("cannot read the store");
    std::printf("%s\n", std::string(statusWord(store.authorizationStatus())).c_str());
    return store.readFailed() ? failWith("cannot read the store") : 0;
  }
  struct Word {
    std::string_view word;
    AuthorizationStatus status;
  };
  static constexpr Word kWords[] = {{"grant", AuthorizationStatus::fullAccess},
                                    {"deny", AuthorizationStatus::denied},
                                    {"restrict", AuthorizationStatus::restricted},
                                    {"write-only", AuthorizationStatus::writeOnly},
                                    {"reset", AuthorizationStatus::notDetermined}};
  for (const auto& w : kWords) {
    if (options.positional[0] == w.word) {
      return store.setAuthorizationStatus(w.status) ? 0 : failWith("the store refused the change");
    }
  }
  return failWith("unknown access word " + std::string(options.positional[0]));
}

int sourcesCommand(SqliteStore& store) {
  auto sources = store.sources();
  if (store.readFailed()) return failWith("cannot read the store");
  JsonOut out;
  out.startArray();
  for (const auto& source : sources) {
    out.startObject();
    out.key("id");
    out.string(source.sourceIdentifier);
    out.key("title");
    if (source.title) out.string(*source.title);
    else out.string("");
    out.key("type");
    out.integer(static_cast<int>(source.sourceType));
    out.endObject();
  }
  out.endArray();
  printJson(out);
  return 0;
}

int calendarsCommand(SqliteStore& store) {
  auto calendars = store.calendars();
  auto standard = store.defaultCalendarForNewEvents();
  if (store.readFailed()) return failWith("cannot read the store");
  JsonOut out;
  out.startArray();
  for (const auto& calendar : calendars) {
    out.startObject();
    out.key("id");
    out.string(calendar->calendarIdentifier);
    out.key("title");
    out.string(calendar->title);
    out.key("color");
    if (calendar->color) out.string(hex(calendar->color));
    else out.null();
    out.key("source");
    if (calendar->source) out.string(calendar->source->sourceIdentifier);
    else out.null();
    out.key("writable");
    out.boolean(calendar->allowsContentModifications);
    out.key("immutable");
    out.boolean(calendar->isImmutable);
    out.key("default");
    out.boolean(standard && standard->calendarIdentifier == calendar->calendarIdentifier);
    out.endObject();
  }
  out.endArray();
  printJson(out);
  return 0;
}

void tellWarnings(const SyncOutcome& outcome) {
  for (const auto& warning : outcome.warnings) tell(warning);
}

// Held while an account syncs: a lock file beside the store, one per account.
class SyncLock {
 public:
  SyncLock(const std::string& storePath, const std::string& account) {
    std::string path = storePath.substr(0, storePath.find_last_of('/') + 1) + "sync-" + account + ".lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~SyncLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  SyncLock(const SyncLock&) = delete;
  SyncLock& operator=(const SyncLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// --timeout's seconds (a whole number, at least 1), the default without it;
// nothing, with why in *error, for anything else.
std::optional<std::chrono::seconds> timeoutOption(const Options& options, std::string* error) {
  auto text = options.value("--timeout");
  if (!text) return kSyncTime;
  std::string owned(*text);
  char* end = nullptr;
  errno = 0;
  long long seconds = std::strtoll(owned.c_str(), &end, 10);
  if (owned.empty() || end == owned.c_str() || *end != '\0' || errno != 0 || seconds < 1 || seconds > 86400 * 7) {
    *error = "--timeout takes whole seconds, from 1 to 604800";
    return std::nullopt;
  }
  return std::chrono::seconds(seconds);
}

int addCalDavCommand(SqliteStore& store, const Options& options) {
  auto title = options.value("--title");
  auto url = options.value("--caldav");
  if (!options.positional.empty() || !title || !url || options.has("--type")) {
    return failWith("usage: source add --title T --caldav URL [--user NAME --password-command CMD | --token-command CMD] "
                    "[--ca-file FILE]");
  }
  if (options.has("--token-command") && (options.has("--user") || options.has("--password-command"))) {
    return failWith("--token-command sends a bearer token in place of --user and --password-command; give one or the other");
  }
  // No password is ever stored, and a URL's would be, in every URL derived from it.
  if (caldav::has_userinfo(std::string(*url))) {
    return failWith("the URL holds a user name or password; give the user with --user and the password with "
                    "--password-command (a command that prints it), so that no password is stored");
  }
  RemoteAccount account;
  account.title = titleOption(*title);
  account.url = std::string(*url);
  if (auto user = options.value("--user")) account.user = std::string(*user);
  if (auto command = options.value("--password-command")) account.passwordCommand = std::string(*command);
  if (auto command = options.value("--token-command")) account.tokenCommand = std::string(*command);
  if (auto file = options.value("--ca-file")) account.caFile = std::string(*file);
  std::string error;
  auto timeout = timeoutOption(options, &error);
  if (!timeout) return failWith(error);
  SyncOutcome outcome = addCalDavAccount(store, account, *timeout);
  if (!outcome.ok) return failWith(outcome.error);
  tellWarnings(outcome);
  if (account.passwordCommand || account.tokenCommand) {
    for (const auto& origin : outcome.origins) tell("credentials go to " + origin);
  }
  std::printf("%s\n", account.sourceIdentifier.c_str());
  return 0;
}

int syncCommand(SqliteStore& store, int argc, char** argv) {
  std::string error;
  auto options = parseOptions(argc, argv, 2, {"--if-older-than", "--timeout"}, {}, &error);
  if (!options) return failWith(error);
  if (options->positional.size() > 1)
    return failWith("usage: sync [ACCOUNT] [--if-older-than SECONDS] [--timeout SECONDS]");
  auto timeout = timeoutOption(*options, &error);
  if (!timeout) return failWith(error);
  std::optional<double> maxAge;
  if (auto text = options->value("--if-older-than")) {
    char* end = nullptr;
    std::string owned(*text);
    double seconds = std::strtod(owned.c_str(), &end);
    if (end == owned.c_str() || *end != '\0' || !(seconds >= 0)) return failWith("--if-older-than takes seconds");
    maxAge = seconds;
  }
  auto accounts = store.remoteAccounts();
  if (!accounts) return failWith("cannot read the store");
  bool named = options->positional.empty();
  int failures = 0;
  for (const RemoteAccount& account : *accounts) {
    if (!options->positional.empty() && account.sourceIdentifier != options->positional[0]) continue;
    named = true;
    // One sync of an account at a time: a second finds the first under way and leaves it the work.
    SyncLock lock(store.path(), account.sourceIdentifier);
    if (!lock.held()) continue;
    if (maxAge) {
      // Read again under the lock: the sync that held it may have just finished.
      SqliteStore fresh(store.path());
      auto now = static_cast<double>(std::time(nullptr));
      // A sync that failed a moment ago is not tried again at once either:
      // a server that is down would otherwise be asked by every read.
      auto lastLook = [](const RemoteAccount& a) { return std::max(a.syncedAt.value_or(0), a.syncTriedAt.value_or(0)); };
      double looked = lastLook(account);
      if (fresh.open()) {
        if (auto again = fresh.remoteAccounts()) {
          for (const auto& a : *again) {
            if (a.sourceIdentifier == account.sourceIdentifier) looked = lastLook(a);
          }
        }
      }
      if (looked > 0 && now - looked <= *maxAge) continue;
    }
    (void)store.markSynced(account.sourceIdentifier, static_cast<double>(std::time(nullptr)), false);
    SyncOutcome outcome = syncCalDavAccount(store, account, *timeout);
    tellWarnings(outcome);
    if (!outcome.ok) {
      tell(account.title + ": " + outcome.error);
      ++failures;
    }
  }
  if (!named) return failWith("no CalDAV account with id " + std::string(options->positional[0]));
  return failures == 0 ? 0 : 1;
}

int sourceCommand(SqliteStore& store, int argc, char** argv) {
  std::string error;
  auto options = parseOptions(argc, argv, 3,
                              {"--title", "--type", "--caldav", "--user", "--password-command", "--token-command",
                               "--ca-file", "--timeout"},
                              {},
                              &error);
  if (!options) return failWith(error);
  std::string_view verb = argc > 2 ? argv[2] : "";
  if (verb == "add" && options->has("--caldav")) return addCalDavCommand(store, *options);
  if (verb == "add") {
    auto title = options->value("--title");
    auto typeText = options->value("--type");
    int type = 0;
    if (!options->positional.empty() || !title || !typeText || options->has("--user") ||
        options->has("--password-command") || options->has("--token-command") || options->has("--ca-file") ||
        options->has("--timeout")) {
      return failWith("usage: source add --title T --type N");
    }
    if (!parseType(*typeText, &type)) return failWith("--type takes a number from 0 to 999");
    auto id = store.addSource(titleOption(*title), static_cast<SourceType>(type));
    if (!id) return failWith("the store refused the change");
    std::printf("%s\n", id->c_str());
    return 0;
  }
  if (verb == "remove") {
    if (options->positional.size() != 1 || !options->named.empty()) return failWith("usage: source remove ID");
    std::string_view id = options->positional[0];
    bool known = false;
    for (const auto& source : store.sources()) known = known || source.sourceIdentifier == id;
    if (store.readFailed()) return failWith("cannot read the store");
    if (!known) return failWith("no account with id " + std::string(id));
    auto remote = store.remoteAccounts();
    if (!remote) return failWith("cannot read the store");
    bool replica = false;
    for (const auto& account : *remote) replica = replica || account.sourceIdentifier == id;
    for (const auto& calendar : store.calendars()) {
      if (!replica && calendar->source && calendar->source->sourceIdentifier == id) {
        return failWith("the account holds calendars; remove them first");
      }
    }
    return store.removeSource(id) ? 0 : failWith("the store refused the change");
  }
  return failWith("usage: source add --title T --type N | source remove ID");
}

std::optional<Color> parseColorOption(std::string_view text, std::string* error) {
  auto color = colorFromHex(text);
  if (!color) *error = "--color takes #RRGGBB, not " + std::string(text);
  return color;
}

int calendarCommand(SqliteStore& store, int argc, char** argv) {
  std::string error;
  std::string_view verb = argc > 2 ? argv[2] : "";
  if (verb == "add") {
    auto options = parseOptions(argc, argv, 3, {"--title", "--source", "--color"}, {"--read-only", "--immutable"}, &error);
    if (!options) return failWith(error);
    auto title = options->value("--title");
    if (!options->positional.empty() || !title) return failWith("usage: calendar add --title T [--source ID] [--color #RRGGBB] [--read-only] [--immutable]");
    Calendar calendar;
    calendar.title = titleOption(*title);
    if (auto text = options->value("--color")) {
      calendar.color = parseColorOption(*text, &error);
      if (!calendar.color) return failWith(error);
    }
    if (auto source = options->value("--source")) {
      calendar.source = Source{std::string(*source), std::nullopt, SourceType::local};
      bool known = false;
      for (const auto& s : store.sources()) known = known || s.sourceIdentifier == *source;
      if (!known) return failWith("no account with id " + std::string(*source));
    }
    calendar.allowsContentModifications = !options->has("--read-only");
    calendar.isImmutable = options->has("--immutable");
    auto id = store.addCalendar(calendar);
    if (!id) return failWith("the store refused the change");
    std::printf("%s\n", id->c_str());
    return 0;
  }
  if (verb == "set") {
    auto options = parseOptions(argc, argv, 3, {"--title", "--color"},
                                {"--no-color", "--read-only", "--writable", "--immutable", "--mutable"}, &error);
    if (!options) return failWith(error);
    if (options->positional.size() != 1) return failWith("usage: calendar set ID [options]");
    if ((options->has("--color") && options->has("--no-color")) ||
        (options->has("--read-only") && options->has("--writable")) ||
        (options->has("--immutable") && options->has("--mutable"))) {
      return failWith("contradictory options");
    }
    auto found = store.calendarWithIdentifier(options->positional[0]);
    if (!found) return failWith("no calendar with id " + std::string(options->positional[0]));
    Calendar calendar = *found;
    if (auto title = options->value("--title")) calendar.title = titleOption(*title);
    if (auto text = options->value("--color")) {
      calendar.color = parseColorOption(*text, &error);
      if (!calendar.color) return failWith(error);
    }
    if (options->has("--no-color")) calendar.color.reset();
    if (options->has("--read-only")) calendar.allowsContentModifications = false;
    if (options->has("--writable")) calendar.allowsContentModifications = true;
    if (options->has("--immutable")) calendar.isImmutable = true;
    if (options->has("--mutable")) calendar.isImmutable = false;
    return store.updateCalendar(calendar) ? 0 : failWith("the store refused the change");
  }
  if (verb == "remove") {
    auto options = parseOptions(argc, argv, 3, {}, {}, &error);
    if (!options) return failWith(error);
    if (options->positional.size() != 1) return failWith("usage: calendar remove ID");
    if (!store.calendarWithIdentifier(options->positional[0])) {
      return failWith("no calendar with id " + std::string(options->positional[0]));
    }
    if (!store.deleteCalendar(options->positional[0])) return failWith("the store refused the change");
    store.shrinkJournal();  // a large calendar's removal, like a large import
    return 0;
  }
  return failWith("usage: calendar add|set|remove ...");
}

int defaultCommand(SqliteStore& store, int argc, char** argv) {
  std::string_view verb = argc > 2 ? argv[2] : "";
  if (verb == "set" && argc == 4) {
    if (!store.calendarWithIdentifier(argv[3])) return failWith("no calendar with id " + std::string(argv[3]));
    return store.setDefaultCalendar(std::string_view(argv[3])) ? 0 : failWith("the store refused the change");
  }
  if (verb == "clear" && argc == 3) {
    return store.setDefaultCalendar(std::nullopt) ? 0 : failWith("the store refused the change");
  }
  return failWith("usage: default set ID | default clear");
}

// The whole of FILE, or of standard input for "-". Nothing on failure.
std::optional<std::string> readAll(std::string_view file, std::string* error) {
  std::ostringstream text;
  if (file == "-") {
    text << std::cin.rdbuf();
    if (std::cin.bad()) {
      *error = "cannot read standard input";
      return std::nullopt;
    }
    return text.str();
  }
  std::ifstream in{std::string(file), std::ios::binary};
  if (!in) {
    *error = "cannot open " + std::string(file) + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (in.peek() != std::ifstream::traits_type::eof()) text << in.rdbuf();
  if (in.bad()) {
    *error = "cannot read " + std::string(file);
    return std::nullopt;
  }
  return text.str();
}

int importCommand(SqliteStore& store, int argc, char** argv) {
  std::string error;
  auto options = parseOptions(argc, argv, 2, {"--calendar"}, {}, &error);
  if (!options) return failWith(error);
  auto calendar = options->value("--calendar");
  if (!calendar || options->positional.size() != 1) return failWith("usage: import --calendar ID FILE.ics");
  if (!store.calendarWithIdentifier(*calendar)) {
    return failWith(store.readFailed() ? "cannot read the store" : "no calendar with id " + std::string(*calendar));
  }
  std::string_view file = options->positional[0];
  auto text = readAll(file, &error);
  if (!text) return failWith(error);
  ParsedCalendar parsed = parseICalendar(*text, store.zones());
  if (!parsed.error.empty()) return failWith(std::string(file == "-" ? "standard input" : file) + ": " + parsed.error);
  // Text is kept no longer than a request could make it, so that no listing
  // of the calendar grows with what a file happened to hold.
  std::size_t titlesCut = 0, uidsCut = 0;
  for (StoredEvent& event : parsed.events) {
    if (event.title && cut(*event.title, kMaxTitleCharacters)) ++titlesCut;
    if (cut(event.externalIdentifier, kMaxUidCharacters)) ++uidsCut;
  }
  auto remote = store.remoteAccounts();
  if (!remote) return failWith("cannot read the store");
  auto target = store.calendarWithIdentifier(*calendar);
  for (const auto& account : *remote) {
    if (target && target->source && target->source->sourceIdentifier == account.sourceIdentifier) {
      return failWith("calendar " + std::string(*calendar) + " is kept in step with a CalDAV server; its events come from there");
    }
  }
  if (!store.importEvents(*calendar, parsed.events, parsed.objects)) {
    return failWith("the store refused the change; nothing was imported");
  }
  // A large import leaves a large journal; it goes back to nothing here rather
  // than staying for good. The events are stored whether or not this succeeds.
  store.shrinkJournal();
  // Alarms, attendees, descriptions and locations stay in each object's kept
  // text and come back on export; what is not listed still counts.
  LeftOut notKept = parsed.leftOut;
  notKept.alarms = notKept.attendees = notKept.descriptions = notKept.locations = 0;
  if (std::string leftOut = describe(notKept); !leftOut.empty()) tell("left out " + leftOut);
  if (!parsed.firstUnreadable.empty()) tell("the first unreadable event: " + parsed.firstUnreadable);
  if (parsed.unknownZones > 0) {
    tell("read the times of " + counted(static_cast<std::size_t>(parsed.unknownZones), "time zone", "time zones") +
         " with neither a known name nor a VTIMEZONE as floating");
  }
  if (parsed.bareComponents > 0) {
    tell("read " + counted(static_cast<std::size_t>(parsed.bareComponents), "component", "components") +
         " written outside a VCALENDAR");
  }
  if (titlesCut + uidsCut > 0) {
    std::string what;
    if (titlesCut > 0) what = counted(titlesCut, "title", "titles") + " to " + std::to_string(kMaxTitleCharacters) + " characters";
    if (uidsCut > 0) {
      what += (what.empty() ? "" : ", ") + counted(uidsCut, "uid", "uids") + " to " + std::to_string(kMaxUidCharacters) + " characters";
    }
    tell("cut " + what);
  }
  if (std::size_t replaced = store.replacedByImport(); replaced > 0) {
    tell("replaced " + counted(replaced, "event", "events") + " stored before under the same UID");
  }
  std::printf("%zu\n", parsed.events.size());
  return 0;
}

int exportCommand(SqliteStore& store, int argc, char** argv) {
  std::string error;
  auto options = parseOptions(argc, argv, 2, {"--calendar"}, {}, &error);
  if (!options) return failWith(error);
  auto id = options->value("--calendar");
  if (!id || !options->positional.empty()) return failWith("usage: export --calendar ID");
  auto calendar = store.calendarWithIdentifier(*id);
  if (!calendar) {
    return failWith(store.readFailed() ? "cannot read the store" : "no calendar with id " + std::string(*id));
  }
  auto exported = store.exportedCalendar(*id);
  if (!exported) return failWith("cannot read the store");
  // Events imported from a file come back as its text kept them, with what
  // calbridge changed since; the others are written from their fields.
  WrittenCalendar written =
      writeICalendar(exported->events, store.zones(), static_cast<std::int64_t>(std::time(nullptr)), calendar->title);
  written.text = joinedCalendar(written.text, exported->objects);
  if (std::fwrite(written.text.data(), 1, written.text.size(), stdout) != written.text.size() ||
      std::fflush(stdout) != 0) {
    return failWith("cannot write standard output");
  }
  if (written.unwritable > 0) {
    tell("left out " + std::to_string(written.unwritable) +
             (written.unwritable == 1 ? " event" : " events") + " with times beyond the years 1 to 9999");
  }
  return 0;
}

// What the desktop's store found, on standard error; false when it cannot serve.
bool checkEvolution() {
  std::string why;
  std::unique_ptr<ModuleStore> desktop = openEvolutionModule(&why);
  if (!desktop) {
    tell(why);
    return false;
  }
  const bool usable = desktop->open() && (desktop->calendars(), !desktop->readFailed());
  for (const std::string& line : desktop->describe()) tell(line);
  return usable;
}

int storeCommand(SqliteStore& store, int argc, char** argv) {
  if (argc > 3) return failWith("usage: store [own|evolution]");
  const std::string path = storeSettingPath();
  if (argc == 3) {
    std::optional<StoreKind> kind = storeKindNamed(argv[2]);
    if (!kind) return failWith("usage: store [own|evolution]");
    if (*kind == StoreKind::evolution) {
      std::string why;
      if (!openEvolutionModule(&why)) return failWith(why);
    }
    if (std::string problem = writeStoreSetting(path, *kind); !problem.empty()) return failWith(problem);
    return *kind == StoreKind::evolution && !checkEvolution() ? 1 : 0;
  }
  std::string problem, why;
  std::optional<StoreKind> kind = servingStoreKind(store, &problem, &why, false);
  if (!kind) return failWith(problem);
  std::printf("%s\n", std::string(nameOf(*kind)).c_str());
  tell(why);
  return *kind == StoreKind::evolution && !checkEvolution() ? 1 : 0;
}

int run(int argc, char** argv) {
  std::string_view command = argc > 1 ? argv[1] : "";
  if (command.empty() || command == "--help" || command == "-h" || command == "help") {
    std::fwrite(kUsage.data(), 1, kUsage.size(), command.empty() ? stderr : stdout);
    return command.empty() ? 1 : 0;
  }
  if (command == "--version" && argc == 2) {
    std::printf("calbridge-store %s\n", CALBRIDGE_VERSION);
    return 0;
  }
  if (wantsHelp(argc, argv)) {
    for (const auto& entry : kHelp) {
      if (entry.command == command) {
        std::fwrite(entry.text.data(), 1, entry.text.size(), stdout);
        return 0;
      }
    }
    return failWith("unknown command " + std::string(command) + "; see calbridge-store --help");
  }
  std::string path = defaultStorePath();
  if (command == "path") {
    if (argc != 2) return failWith("usage: path");
    if (path.empty()) return failWith("no home folder to keep the store in");
    std::printf("%s\n", path.c_str());
    return 0;
  }
  bool known = false;
  for (const auto& entry : kHelp) known = known || entry.command == command;
  if (!known) return failWith("unknown command " + std::string(command) + "; see calbridge-store --help");

  SqliteStore store(path);
  if (!store.open()) {
    if (!store.openProblem().empty()) return failWith(store.openProblem());
    return failWith("cannot open the store at " + (path.empty() ? std::string("(no home)") : path));
  }
  std::string error;
  if (command == "store") return storeCommand(store, argc, argv);
  if (command == "access") {
    auto options = parseOptions(argc, argv, 2, {}, {}, &error);
    return options ? accessCommand(store, *options) : failWith(error);
  }
  if (command == "sources") return argc == 2 ? sourcesCommand(store) : failWith("usage: sources");
  if (command == "calendars") return argc == 2 ? calendarsCommand(store) : failWith("usage: calendars");
  if (command == "source") return sourceCommand(store, argc, argv);
  if (command == "calendar") return calendarCommand(store, argc, argv);
  if (command == "default") return defaultCommand(store, argc, argv);
  if (command == "import") return importCommand(store, argc, argv);
  if (command == "export") return exportCommand(store, argc, argv);
  if (command == "sync") return syncCommand(store, argc, argv);
  return failWith("unknown command " + std::string(command));
}

}  // namespace
}  // namespace calbridge

int main(int argc, char** argv) { return calbridge::run(argc, argv); }
