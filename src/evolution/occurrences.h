// The occurrences of calendar objects as Evolution Data Server keeps them,
// expanded by calbridge's own engine rather than libecal's, so that an event
// lists alike in either store.
#pragma once

#include "calendar/recurrence.h"
#include "calendar/stored_event.h"
#include "calendar/time_zone.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace calbridge {

// One calendar object: the events of one UID (a single event, or a series with
// the occurrences changed in it), as read from its text.
struct CalendarObject {
  std::string uid;
  std::vector<StoredEvent> events;
};

// An object ready to list: its series (a single event is a series of its start
// alone) and the changed occurrences listed in place of the ones they replace.
struct ExpandableObject {
  struct Change {
    const StoredEvent* event;
    double start, end;  // epoch seconds
    double replacedStart;  // the start by the rule of the occurrence it replaces
  };
  const CalendarObject* object = nullptr;
  const StoredEvent* master = nullptr;  // null: the object holds only changed occurrences
  Series series;  // valid with a master
  std::vector<Change> changes;
};

// The series of one stored event, with its exclusions and extra dates; a
// floating event follows the local zone. Its zone, when it names one `zones`
// cannot find, is UTC.
Series seriesOf(const StoredEvent& event, ZoneCache& zones);

// `object` ready to list. A change of an occurrence the series excludes
// changes nothing (the occurrence is gone); a range change (THISANDFUTURE)
// is taken as a change of its own occurrence only; a change without its
// series is listed where it is.
ExpandableObject expandable(const CalendarObject& object, ZoneCache& zones);

// One listed occurrence.
struct ListedOccurrence {
  const ExpandableObject* object;
  const StoredEvent* event;  // whose title, flags and zone it has
  double start, end;  // epoch seconds
  double occurrenceDate;  // its start by the rule
  bool changed;  // a changed occurrence (its own VEVENT with RECURRENCE-ID)
};

// Calls `visit` for each occurrence of `objects` overlapping [from, to), by
// start, then end, then the order of the objects, until it returns false. A
// rule that cannot be stepped through lists nothing.
void listOccurrences(const std::vector<const ExpandableObject*>& objects, double from, double to, StepBudget& budget,
                     const std::function<bool(const ListedOccurrence&)>& visit);

}  // namespace calbridge
