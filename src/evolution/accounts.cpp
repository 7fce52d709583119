#include "evolution/accounts.h"

#include "calendar/color.h"

#include <algorithm>
#include <array>
#include <utility>

namespace calbridge {

namespace {

// Accounts of no kind SourceType names (weather, say): neither local nor CalDAV.
constexpr SourceType kOtherAccount = static_cast<SourceType>(6);

SourceType typeOfBackend(std::string_view backend) {
  static constexpr std::array<std::pair<std::string_view, SourceType>, 12> kTypes{{
      {"local", SourceType::local},
      {"caldav", SourceType::calDAV},
      {"webdav", SourceType::calDAV},
      {"google", SourceType::calDAV},
      {"owncloud", SourceType::calDAV},
      {"nextcloud", SourceType::calDAV},
      {"ews", SourceType::exchange},
      {"microsoft365", SourceType::exchange},
      {"mapi", SourceType::exchange},
      {"webcal", SourceType::subscribed},
      {"weather", SourceType::subscribed},
      {"contacts", SourceType::birthdays},
  }};
  for (const auto& [name, type] : kTypes) {
    if (name == backend) return type;
  }
  return kOtherAccount;
}

}  // namespace

SourceType accountType(const SourceFacts& account, std::string_view calendarBackend) {
  if (account.collection && typeOfBackend(account.backendName) != kOtherAccount) {
    return typeOfBackend(account.backendName);
  }
  return typeOfBackend(calendarBackend);
}

bool readOnlyBackend(std::string_view backendName) {
  return backendName == "webcal" || backendName == "contacts" || backendName == "weather";
}

bool webdavCollection(const SourceFacts& account) { return account.collection && account.backendName == "webdav"; }

Removal removalOf(const SourceFacts& calendar, const SourceFacts* account) {
  if (calendar.remoteDeletable) return Removal::remoteDelete;
  // A local calendar's data goes with its source. A server's calendar set up
  // on its own would only leave this desktop and stay on the server.
  if (calendar.backendName == "local" && calendar.removable) return Removal::localSource;
  if (account != nullptr && webdavCollection(*account) && calendar.serverResource) return Removal::collectionServer;
  return Removal::none;
}

Creation creationIn(const SourceFacts& account) {
  if (account.uid == kLocalAccount) return Creation::localSource;
  if (account.remoteCreatable) return Creation::remoteCreate;
  if (webdavCollection(account)) return Creation::collectionServer;
  return Creation::none;
}

Calendar calendarOf(const SourceFacts& calendar, const SourceFacts* account, bool openedReadOnly) {
  Calendar out;
  out.calendarIdentifier = calendar.uid;
  out.title = calendar.displayName;
  out.color = colorFromHex(calendar.color);
  out.allowsContentModifications = !openedReadOnly && !readOnlyBackend(calendar.backendName);
  out.isImmutable = removalOf(calendar, account) == Removal::none;
  if (account != nullptr) {
    out.source = Source{account->uid, account->displayName, accountType(*account, calendar.backendName)};
  }
  return out;
}

std::vector<Source> accountList(std::vector<AccountFacts> accounts) {
  auto rank = [](const AccountFacts& a) { return a.account.collection ? 0 : a.account.uid == kLocalAccount ? 1 : 2; };
  std::stable_sort(accounts.begin(), accounts.end(), [&](const AccountFacts& a, const AccountFacts& b) {
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    if (a.account.displayName != b.account.displayName) return a.account.displayName < b.account.displayName;
    return a.account.uid < b.account.uid;
  });
  std::vector<Source> out;
  for (const AccountFacts& a : accounts) {
    if (std::any_of(out.begin(), out.end(), [&](const Source& s) { return s.sourceIdentifier == a.account.uid; })) {
      continue;
    }
    out.push_back(Source{a.account.uid, a.account.displayName, accountType(a.account, a.calendarBackend)});
  }
  return out;
}

}  // namespace calbridge
