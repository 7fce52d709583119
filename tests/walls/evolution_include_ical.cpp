// Must not build: the desktop's store reads and writes iCalendar only through the
// codec its module entry gives it; it knows the calendar engine and nothing else.
#include "ical/icalendar.h"
