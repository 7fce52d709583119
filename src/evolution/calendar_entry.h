// What the store knows of one EDS calendar source: shared by the files of
// the store, private to it.
#pragma once

#include "evolution/calendar_feed.h"
#include "evolution/evolution_store.h"
#include "evolution/glib_support.h"

#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace calbridge {

// One calendar source, with its client once opened and what was read of it.
struct EvolutionStore::CalendarEntry {
  GRef<ESource> source;
  SourceFacts facts;
  const SourceFacts* account = nullptr;
  std::shared_ptr<const Calendar> calendar;  // once its backend said whether it may be changed
  GRef<ECalClient> client;
  bool openFailed = false;
  std::map<std::string, std::string> zoneTexts;  // TZID -> VTIMEZONE EDS keeps ("" when none)
  // Every series with its changes, read once; the single events of one window, by start.
  std::unique_ptr<PreparedEvents> series;
  bool singlesLoaded = false;
  double singlesFrom = 0, singlesTo = 0;
  std::vector<StoredEvent> singles;
  void forgetEvents() {
    series.reset();
    singlesLoaded = false;
  }
};

}  // namespace calbridge
