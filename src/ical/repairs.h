// What libical repaired while it read a calendar file (its X-LIC-ERROR
// properties): repairs that lose nothing, broken values it dropped that do not
// decide when an event happens, and the rest, which make a component unreadable.
#pragma once

#include <libical/ical.h>

#include <string_view>

namespace calbridge {

// The first repair libical made in `component` (with the components inside
// it, when `deep`) that changed what the file says, or null; counts the
// broken values it dropped on the way.
const char* repairOf(icalcomponent* component, int& dropped, bool deep = true);

// True for a repair that loses nothing the store keeps.
bool repairLosesNothing(std::string_view repair);

// True when libical dropped an empty `property` of this component.
bool droppedEmptyProperty(icalcomponent* component, std::string_view property);

}  // namespace calbridge
