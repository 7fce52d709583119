// What Evolution Data Server's sources mean as calbridge's calendars and
// accounts, decided over plain facts read from the sources, so that the rules
// can be read (and tested) apart from EDS.
#pragma once

#include "calendar/store.h"

#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// What the store reads of one EDS source: a calendar, or the account (a
// collection, or one of EDS's built-in groups such as "On This Computer") a
// calendar's Parent names.
struct SourceFacts {
  std::string uid;
  std::string displayName;
  std::string parentUid;
  // The backend of a calendar ("local", "caldav", "webcal", "contacts", ...),
  // or of an account's [Collection] ("webdav", "google", "ews", ...); empty when none.
  std::string backendName;
  std::string color;        // a calendar's, as EDS keeps it ("#rrggbb"); empty when none
  bool collection = false;  // an account with a [Collection] extension
  bool removable = false;
  bool remoteCreatable = false;
  bool remoteDeletable = false;
  bool serverResource = false;  // a calendar at a WebDAV resource path on a server
};

// The account kind as SourceType has it. An account's type follows its
// collection backend, else the backend of its calendars (`calendarBackend`).
SourceType accountType(const SourceFacts& account, std::string_view calendarBackend);

// Backends whose calendars only read (web calendars, birthdays, weather).
bool readOnlyBackend(std::string_view backendName);

// A WebDAV collection account: EDS finds its calendars on the server, and
// calbridge can make and remove calendars there for it.
bool webdavCollection(const SourceFacts& account);

// How a calendar can be removed without leaving it halfway: its source alone
// (a local calendar), through EDS on the server, or on the server of its
// WebDAV collection and then from EDS. `none`: the calendar is immutable.
enum class Removal { none, localSource, remoteDelete, collectionServer };
Removal removalOf(const SourceFacts& calendar, const SourceFacts* account);

// Where a new calendar of an account goes: a new local source, through EDS
// onto the server, or onto the server of a WebDAV collection. `none`: the
// account cannot take one.
enum class Creation { none, localSource, remoteCreate, collectionServer };
Creation creationIn(const SourceFacts& account);

// The calendar a source is, in `account` (null: a calendar without one).
// `openedReadOnly`: its backend said it may not be changed, or would not open.
Calendar calendarOf(const SourceFacts& calendar, const SourceFacts* account, bool openedReadOnly);

// An account with the backend of its calendars.
struct AccountFacts {
  SourceFacts account;
  std::string calendarBackend;
};
// The accounts in the order createCalendar looks at them: collections first
// (by title), then EDS's built-in groups, "On This Computer" first of them.
std::vector<Source> accountList(std::vector<AccountFacts> accounts);

// The UID EDS gives its built-in group of local calendars.
inline constexpr std::string_view kLocalAccount = "local-stub";

}  // namespace calbridge
