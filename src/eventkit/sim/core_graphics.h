// What the stand-in's EventKit needs of its CoreGraphics beyond Apple's calls:
// colors in any space the own store keeps, and their values.
#pragma once

#include "calendar/color.h"

#include <CoreGraphics/CoreGraphics.h>

namespace calbridge::standin {

// A color in its own space (the own store keeps grey and other spaces too),
// owned by the caller.
CGColorRef newColor(const Color& color);
// What a color holds: its space and components.
Color colorValue(CGColorRef color);
CGColorRef retainColor(CGColorRef color);

}  // namespace calbridge::standin
