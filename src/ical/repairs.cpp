#include "ical/repairs.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <optional>

namespace calbridge {

namespace {

// The property libical dropped for having no value, from its note about it.
std::optional<std::string_view> droppedEmpty(std::string_view repair) {
  constexpr std::string_view kBefore = "No value for ";
  constexpr std::string_view kAfter = " property. Removing entire property:";
  while (!repair.empty() && std::isspace(static_cast<unsigned char>(repair.back()))) repair.remove_suffix(1);
  if (!repair.starts_with(kBefore) || !repair.ends_with(kAfter)) return std::nullopt;
  return repair.substr(kBefore.size(), repair.size() - kBefore.size() - kAfter.size());
}

}  // namespace

// Repairs that change nothing the store keeps, of files that are valid
// iCalendar: an empty text says nothing ("X" stands for every X- property;
// empty titles are told apart in readEvent), and a property libical does not
// know is one RFC 5545 lets programs ignore (its name was checked with the frame).
bool repairLosesNothing(std::string_view repair) {
  static constexpr std::string_view kTexts[] = {"SUMMARY",  "DESCRIPTION", "LOCATION", "COMMENT", "CATEGORIES",
                                                "CONTACT",  "RESOURCES",   "URL",      "X"};
  if (auto dropped = droppedEmpty(repair)) {
    return std::find(std::begin(kTexts), std::end(kTexts), *dropped) != std::end(kTexts);
  }
  return repair.starts_with("Parse error in property name: ");
}

namespace {

// True for a repair that dropped a property whose value is empty or cannot be
// read, when that property does not decide when the event happens: other
// programs read such a file, and so does this one, counting what it dropped.
// An empty value says nothing, whichever property it is (an empty DTSTART
// leaves an event without a start, which is refused as such).
bool repairDropsBrokenValue(std::string_view repair) {
  if (droppedEmpty(repair)) return true;
  // "Can't parse as DURATION value in TRIGGER property. Removing entire property: PT-2H",
  // "Invalid VALUE type for property TRIGGER: VALUE=TIME".
  std::string_view property;
  constexpr std::string_view kBefore = "Can't parse as ";
  constexpr std::string_view kMiddle = " value in ";
  constexpr std::string_view kAfter = " property. Removing entire property:";
  constexpr std::string_view kInvalidType = "Invalid VALUE type for property ";
  if (repair.starts_with(kBefore)) {
    auto middle = repair.find(kMiddle);
    auto after = repair.find(kAfter);
    if (middle == std::string_view::npos || after == std::string_view::npos || after < middle) return false;
    property = repair.substr(middle + kMiddle.size(), after - middle - kMiddle.size());
  } else if (repair.starts_with(kInvalidType)) {
    property = repair.substr(kInvalidType.size());
    property = property.substr(0, property.find(':'));
  } else {
    return false;
  }
  static constexpr std::string_view kDecisive[] = {"DTSTART", "DTEND", "DURATION", "RRULE", "EXDATE",
                                                   "RECURRENCE-ID", "EXRULE"};
  return !property.empty() &&
         std::find(std::begin(kDecisive), std::end(kDecisive), property) == std::end(kDecisive);
}

}  // namespace

// The first repair libical made in `component` (with the components inside
// it, when `deep`) that changed what the file says, or null; counts the
// broken values it dropped on the way.
const char* repairOf(icalcomponent* component, int& dropped, bool deep) {
  for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_XLICERROR_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(component, ICAL_XLICERROR_PROPERTY)) {
    const char* text = icalproperty_get_xlicerror(p);
    if (text == nullptr) return "unreadable content";
    if (repairLosesNothing(text)) continue;
    if (!repairDropsBrokenValue(text)) return text;
    // A wrong VALUE type alone leaves the property in place; what libical
    // then cannot read of it comes as a repair of its own.
    if (!std::string_view(text).starts_with("Invalid VALUE type")) ++dropped;
  }
  if (!deep) return nullptr;
  for (icalcomponent* c = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT)) {
    if (const char* found = repairOf(c, dropped)) return found;
  }
  return nullptr;
}

// True when libical dropped an empty `property` of this component.
bool droppedEmptyProperty(icalcomponent* component, std::string_view property) {
  for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_XLICERROR_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(component, ICAL_XLICERROR_PROPERTY)) {
    const char* text = icalproperty_get_xlicerror(p);
    if (text != nullptr && droppedEmpty(text) == property) return true;
  }
  return false;
}

}  // namespace calbridge
