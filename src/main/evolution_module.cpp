// The entry of the calbridge-evolution module, which the bridge opens only
// when the desktop's calendars (Evolution Data Server) serve the person: the
// store over EDS, reading and writing calendar objects as calbridge's own
// calendar files do.
#include "calendar/store_module.h"
#include "evolution/evolution_store.h"
#include "ical/object_text.h"
#include "sync/object_events.h"

#include <glib.h>

#include <mutex>

namespace {

// The bridge writes nothing but its reply: GLib's warnings, which libecal
// sends to standard error, go nowhere. What went wrong is kept by the store.
void silenceGlib() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_log_set_writer_func([](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; },
                          nullptr, nullptr);
    g_log_set_default_handler([](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    g_set_printerr_handler([](const gchar*) {});
  });
}

calbridge::ObjectCodec codec() {
  calbridge::ObjectCodec codec;
  codec.read = [](std::string_view text, calbridge::ZoneCache& zones, std::string& error) {
    calbridge::ObjectEvents read = calbridge::readObjectEvents(text, zones);
    error = std::move(read.error);
    return std::move(read.events);
  };
  codec.write = [](const calbridge::StoredEvent& event, calbridge::ZoneCache& zones, std::int64_t now) {
    return calbridge::objectTextOf(event, zones, now);
  };
  return codec;
}

}  // namespace

extern "C" [[gnu::visibility("default")]] const calbridge_store_functions* calbridge_evolution_store() {
  silenceGlib();
  return calbridge::exportedStore([]() -> std::unique_ptr<calbridge::Store> {
    return std::make_unique<calbridge::EvolutionStore>(codec());
  });
}

// Whether EDS's source registry answers on the session bus within `wait_ms`:
// 1 yes, 0 no (no bus, no EDS), -1 it did not say in time. `why` hears why not.
extern "C" [[gnu::visibility("default")]] int calbridge_evolution_answers(int wait_ms, calbridge_line_visitor why,
                                                                          void* context) {
  silenceGlib();
  try {
    std::string problem;
    std::optional<bool> answers =
        calbridge::EvolutionStore::registryAnswers(std::chrono::milliseconds(wait_ms), &problem);
    if (!problem.empty() && why != nullptr) why(context, calbridge_text{problem.data(), problem.size()});
    return !answers ? -1 : *answers ? 1 : 0;
  } catch (...) {
    return -1;
  }
}
