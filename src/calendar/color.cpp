#include "calendar/color.h"

#include "base/unicode.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace calbridge {

std::optional<Color> convertedToSRGB(const Color& color) {
  switch (color.space) {
    case ColorSpace::sRGB:
      return color;
    case ColorSpace::gray: {
      if (color.components.empty()) return std::nullopt;
      double g = color.components[0];
      double alpha = color.components.size() > 1 ? color.components[1] : 1.0;
      return Color{ColorSpace::sRGB, {g, g, g, alpha}};
    }
    case ColorSpace::other:
      return std::nullopt;
  }
  return std::nullopt;
}

std::string hex(const std::optional<Color>& color) {
  if (!color) return std::string(kDefaultColorString);
  auto srgb = convertedToSRGB(*color);
  if (!srgb || srgb->components.size() < 3) return std::string(kDefaultColorString);
  int channel[3];
  for (int i = 0; i < 3; ++i) {
    double scaled = srgb->components[i] * 255.0;
    // A component that is not a number has no channel value: treat the color as unusable.
    if (std::isnan(scaled)) return std::string(kDefaultColorString);
    // Half-way rounds away from zero; clamping in double first keeps huge values defined.
    double rounded = std::round(scaled);
    if (rounded < 0) rounded = 0;
    if (rounded > 255) rounded = 255;
    channel[i] = static_cast<int>(rounded);
  }
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", channel[0], channel[1], channel[2]);
  return std::string(text, 7);
}

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Color> colorFromHex(std::string_view text) {
  if (graphemeCount(text, 8) != 7 || text.front() != '#') return std::nullopt;
  // Seven characters of which the six digits must be ASCII means seven bytes.
  if (text.size() != 7) return std::nullopt;
  std::string_view digits = text.substr(1);
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  std::uint32_t value = 0;
  for (char c : digits) {
    int d = hexDigit(c);
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  // An unsigned number takes "-" only for zero.
  if (negative && value != 0) return std::nullopt;
  double red = static_cast<double>((value >> 16) & 0xFF) / 255.0;
  double green = static_cast<double>((value >> 8) & 0xFF) / 255.0;
  double blue = static_cast<double>(value & 0xFF) / 255.0;
  return Color{ColorSpace::sRGB, {red, green, blue, 1.0}};
}

}  // namespace calbridge
