// libical, loaded the first time a rule needs it.
//
// Most repeating events follow rules the store steps through with plain
// arithmetic; only the rest (BYMONTHDAY, BYSETPOS, ordinal weekdays, ...) need
// libical. Linking it outright would load it and the ICU libraries it depends on
// into every process, which costs more than many a whole request.
#pragma once

#include <libical/ical.h>

namespace calbridge {

struct LibicalFunctions {
  icalrecurrencetype (*recurrenceFromString)(const char*);
  icalrecur_iterator* (*iteratorNew)(icalrecurrencetype, icaltimetype);
  int (*iteratorSetStart)(icalrecur_iterator*, icaltimetype);
  icaltimetype (*iteratorNext)(icalrecur_iterator*);
  void (*iteratorFree)(icalrecur_iterator*);
  icalerrorenum* (*errorNumber)();
};

// The functions, or null when the library cannot be loaded. The library stays
// loaded for the rest of the process, like any it was linked with.
const LibicalFunctions* libical();

}  // namespace calbridge
