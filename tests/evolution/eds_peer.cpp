// What the tests do to Evolution Data Server as the desktop would, not through
// the code under test: wait for names and calendars, sync a calendar, keep one
// open (as GNOME Calendar does), set the default calendar.
//
// eds_peer wait-name NAME SECONDS      until NAME has an owner on the session bus
// eds_peer pid NAME                    the process that owns NAME
// eds_peer sync SOURCE COUNT SECONDS   until EDS holds at least COUNT objects of SOURCE
// eds_peer hold SOURCE                 keeps SOURCE open until standard input ends
// eds_peer children PARENT SECONDS     until a calendar of PARENT is listed; their UIDs
// eds_peer set-default SOURCE          the default calendar for new events
#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int failWith(const char* what, const GError* error) {
  std::fprintf(stderr, "eds_peer: %s: %s\n", what, error != nullptr ? error->message : "failed");
  return 1;
}

void spin(int milliseconds) {
  const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (Clock::now() < until) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_usleep(20000);
  }
}

GVariant* busCall(const char* method, const char* name, GError** error) {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error);
  if (bus == nullptr) return nullptr;
  GVariant* reply =
      g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
                                  g_variant_new("(s)", name), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, error);
  g_object_unref(bus);
  return reply;
}

// A cancellable that cancels itself after `seconds`: EDS's synchronous calls
// wait on a backend without end when it waits on something else (a password,
// a server), and a test must fail naming the step instead of hanging.
GCancellable* cancelledAfter(unsigned seconds) {
  GCancellable* cancellable = g_cancellable_new();
  std::thread([cancellable, seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    g_cancellable_cancel(cancellable);
  }).detach();
  return cancellable;
}

const char* running = "";

// The last word when a step outlives every bound above: which one it was.
void outlived(int) {
  static const char prefix[] = "eds_peer: gave up: ";
  (void)!::write(STDERR_FILENO, prefix, sizeof prefix - 1);
  (void)!::write(STDERR_FILENO, running, std::strlen(running));
  (void)!::write(STDERR_FILENO, "\n", 1);
  _exit(3);
}

ECalClient* open(ESourceRegistry* registry, const char* uid, GError** error) {
  ESource* source = e_source_registry_ref_source(registry, uid);
  if (source == nullptr) return nullptr;
  running = "opening the calendar";
  EClient* client = e_cal_client_connect_sync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS, static_cast<guint32>(-1),
                                              cancelledAfter(20), error);
  g_object_unref(source);
  return client != nullptr ? E_CAL_CLIENT(client) : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string command = argv[1];
  GError* error = nullptr;
  // Every command but hold ends within half a minute plus what it was given.
  if (command != "hold") {
    signal(SIGALRM, outlived);
    alarm(30 + static_cast<unsigned>(argc >= 4 ? std::atoi(argv[argc - 1]) : 0));
  }
  running = argv[1];
  if (command == "wait-name" && argc == 4) {
    const auto until = Clock::now() + std::chrono::seconds(std::atoi(argv[3]));
    while (Clock::now() < until) {
      GVariant* reply = busCall("NameHasOwner", argv[2], nullptr);
      gboolean owned = FALSE;
      if (reply != nullptr) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
      }
      if (owned) return 0;
      g_usleep(50000);
    }
    return 1;
  }
  if (command == "pid") {
    GVariant* reply = busCall("GetConnectionUnixProcessID", argv[2], &error);
    if (reply == nullptr) return failWith("pid", error);
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    g_variant_unref(reply);
    std::printf("%u\n", pid);
    return 0;
  }
  running = "connecting to the session's registry";
  ESourceRegistry* registry = e_source_registry_new_sync(cancelledAfter(20), &error);
  if (registry == nullptr) return failWith("registry", error);
  if (command == "set-default") {
    ESource* source = e_source_registry_ref_source(registry, argv[2]);
    if (source == nullptr) return failWith("no such source", nullptr);
    e_source_registry_set_default_calendar(registry, source);
    g_settings_sync();
    return 0;
  }
  if (command == "children" && argc == 4) {
    const auto until = Clock::now() + std::chrono::seconds(std::atoi(argv[3]));
    while (Clock::now() < until) {
      std::string found;
      GList* sources = e_source_registry_list_sources(registry, E_SOURCE_EXTENSION_CALENDAR);
      for (GList* link = sources; link != nullptr; link = link->next) {
        auto* source = static_cast<ESource*>(link->data);
        if (g_strcmp0(e_source_get_parent(source), argv[2]) == 0) found += std::string(e_source_get_uid(source)) + "\n";
      }
      g_list_free_full(sources, g_object_unref);
      if (!found.empty()) {
        std::fputs(found.c_str(), stdout);
        return 0;
      }
      spin(100);
    }
    return 1;
  }
  ECalClient* client = open(registry, argv[2], &error);
  if (client == nullptr) return failWith("open", error);
  if (command == "sync" && argc == 5) {
    const unsigned want = static_cast<unsigned>(std::atoi(argv[3]));
    const auto until = Clock::now() + std::chrono::seconds(std::atoi(argv[4]));
    // As a person would: refresh, look, and refresh again while the objects
    // have not come. A refresh that has not returned in 10 s is left behind
    // (the backend may wait on a sign-in), the next look decides.
    GCancellable* bound = cancelledAfter(static_cast<unsigned>(std::atoi(argv[4])));
    auto nextRefresh = Clock::now();
    while (Clock::now() < until) {
      if (Clock::now() >= nextRefresh) {
        running = "refreshing";
        (void)e_client_refresh_sync(E_CLIENT(client), cancelledAfter(10), nullptr);
        nextRefresh = Clock::now() + std::chrono::seconds(5);
      }
      running = "counting objects";
      GSList* objects = nullptr;
      if (e_cal_client_get_object_list_sync(client, "#t", &objects, bound, nullptr)) {
        const unsigned have = g_slist_length(objects);
        g_slist_free_full(objects, g_object_unref);
        if (have >= want) return 0;
      }
      spin(100);
    }
    std::fprintf(stderr, "eds_peer: %s did not reach %u objects in time\n", argv[2], want);
    return 1;
  }
  if (command == "hold") {
    // Ready once the backend is online, so that changes made meanwhile go to
    // the server at once rather than wait in EDS's offline queue.
    for (int i = 0; i < 200 && !e_client_is_online(E_CLIENT(client)); ++i) spin(50);
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
  }
  return 2;
}
