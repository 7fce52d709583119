// Colors as the calendar store keeps them, and their color strings.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// Grey is convertible to sRGB (one component plus alpha, in sRGB's gamma); any
// other space (a print or a wide-gamut profile, say) is not.
enum class ColorSpace { sRGB, gray, other };

// A color: its space and its components in that space's order, alpha last.
struct Color {
  ColorSpace space = ColorSpace::sRGB;
  std::vector<double> components;
};

// The color string a calendar has when it has no usable color.
inline constexpr std::string_view kDefaultColorString = "#0082c9";

// The color in sRGB, or nothing when its space cannot be converted.
std::optional<Color> convertedToSRGB(const Color& color);

// "#rrggbb" in lower case; kDefaultColorString for no color or one that cannot
// be expressed as sRGB red, green and blue.
std::string hex(const std::optional<Color>& color);

// The sRGB color (alpha 1) a color string names: "#" and six hexadecimal digits,
// of which the first may be replaced by a sign ("-" only when the rest are zero).
// Nothing for any other string.
std::optional<Color> colorFromHex(std::string_view text);

}  // namespace calbridge
