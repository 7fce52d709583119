// Which store serves the person: calbridge's own, or the calendars their
// desktop already has (Evolution Data Server on GNOME). A small setting under
// the user's XDG config folder says which; without one, the first request
// decides once and records it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace calbridge {

enum class StoreKind { own, evolution };

// "own", "evolution"; nothing for any other name.
std::optional<StoreKind> storeKindNamed(std::string_view name);
std::string_view nameOf(StoreKind kind);

// $XDG_CONFIG_HOME/calbridge/store, or $HOME/.config/calbridge/store when
// XDG_CONFIG_HOME is unset or not absolute; empty when neither is absolute.
std::string storeSettingPath();

struct StoreSetting {
  std::optional<StoreKind> kind;  // absent: none recorded (or a problem)
  std::string problem;            // why the setting cannot be used, with how to mend it; empty when it can
};

// The setting at `path`. A file others could have written, or one that names
// no store, is a problem rather than a choice: nobody else picks the store.
StoreSetting readStoreSetting(const std::string& path);

// Records `kind` at `path` (folder 0700, file 0600, replaced whole); the problem, or empty.
std::string writeStoreSetting(const std::string& path, StoreKind kind);

// True when the session has a bus (DBUS_SESSION_BUS_ADDRESS, or the socket
// $XDG_RUNTIME_DIR/bus): looked at without connecting, which costs nothing.
bool sessionBusPresent();

// What the first request decides when nothing is recorded.
struct StoreDecision {
  StoreKind kind = StoreKind::own;
  bool record = false;  // false: decided again next time
  std::string why;
};

// `ownInUse`: the own store holds an account or an event of the person's.
// `desktopAnswers`: EDS's registry answered (true), cannot (false), or did not
// say in time (nothing). Without a bus nothing is asked and nothing recorded;
// a desktop that did not say in time is asked again next time.
StoreDecision decideStore(bool busPresent, bool ownInUse, std::optional<bool> desktopAnswers);

}  // namespace calbridge
