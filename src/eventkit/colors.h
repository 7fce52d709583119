// Calendar colors between the store's values and CoreGraphics, which is how
// EventKit keeps them.
#pragma once

#include "calendar/color.h"

#include <CoreGraphics/CoreGraphics.h>

#include <optional>

namespace calbridge {

// The color as its sRGB components, alpha last: what its color string is made
// of. A color CoreGraphics cannot express in sRGB comes back in no convertible
// space, so that it has the default color string. Nothing for no color (NULL).
// Borrows `color`; what it makes along the way it releases.
std::optional<Color> colorOf(CGColorRef color);

// A new sRGB color for `color`, which the caller releases (CGColorRelease);
// NULL for a color without an sRGB form.
CGColorRef newCGColor(const Color& color);

}  // namespace calbridge
