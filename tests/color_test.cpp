#include "calendar/color.h"

#include <gtest/gtest.h>

namespace calbridge {
namespace {

Color srgb(double r, double g, double b, double a = 1) { return Color{ColorSpace::sRGB, {r, g, b, a}}; }

TEST(Hex, WritesRoundedClampedLowerCaseDigits) {
  struct Case {
    const char* name;
    std::optional<Color> color;
    const char* expected;
  } cases[] = {
      {"no color", std::nullopt, "#0082c9"},
      {"half rounds away from zero", srgb(1, 0.5, 0), "#ff8000"},
      {"clamped both ways", srgb(1.2, -0.1, 0.5), "#ff0080"},
      {"just below half", srgb(0, 127.49 / 255, 0), "#007f00"},
      {"alpha ignored", srgb(0, 0, 1, 0.25), "#0000ff"},
      {"huge components stay defined", srgb(1e300, -1e300, 0), "#ff0000"},
      {"grey converts to sRGB", Color{ColorSpace::gray, {0.5, 1}}, "#808080"},
      {"other spaces do not convert", Color{ColorSpace::other, {0.1, 0.2, 0.3, 0.4, 1}}, "#0082c9"},
      {"too few components", Color{ColorSpace::sRGB, {1, 1}}, "#0082c9"},
      {"no components", Color{ColorSpace::sRGB, {}}, "#0082c9"},
      {"grey without components", Color{ColorSpace::gray, {}}, "#0082c9"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex(c.color), c.expected) << c.name;
}

TEST(ColorFromHex, AcceptsSixDigitsAndTheSignForms) {
  struct Case {
    const char* text;
    std::optional<int> rgb;  // 0xRRGGBB, or nothing for no color
  } cases[] = {
      {"#0082c9", 0x0082c9}, {"#0082C9", 0x0082c9}, {"#FfEeDd", 0xffeedd}, {"#000000", 0},
      {"#+fffff", 0x0fffff}, {"#-00000", 0},         {"#-00001", {}},      {"#+     ", {}},
      {"0082c9", {}},        {"#0082c", {}},         {"#0082c9 ", {}},     {"#00 2c9", {}},
      {"#0x82c9", {}},       {"#0082g9", {}},        {"", {}},             {"#", {}},
      {"#++0000", {}},       {"#+-0000", {}},        {"#-", {}},           {"##00000", {}},
      {"#00８２c9", {}},  // full-width digits are not ASCII
      {"#0082c\u00e9", {}},  {"#\r\n12345", {}},     {"#0082c9\u0301", {}},
  };
  for (const auto& c : cases) {
    auto color = colorFromHex(c.text);
    ASSERT_EQ(color.has_value(), c.rgb.has_value()) << c.text;
    if (!color) continue;
    EXPECT_EQ(color->space, ColorSpace::sRGB);
    ASSERT_EQ(color->components.size(), 4u);
    EXPECT_EQ(color->components[0], ((*c.rgb >> 16) & 0xff) / 255.0) << c.text;
    EXPECT_EQ(color->components[1], ((*c.rgb >> 8) & 0xff) / 255.0) << c.text;
    EXPECT_EQ(color->components[2], (*c.rgb & 0xff) / 255.0) << c.text;
    EXPECT_EQ(color->components[3], 1.0);
  }
}

TEST(ColorFromHex, EveryChannelValueRoundTripsThroughHex) {
  for (int v = 0; v < 256; ++v) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02x%02X", v, 255 - v, (v * 7) % 256);
    char lower[8];
    std::snprintf(lower, sizeof lower, "#%02x%02x%02x", v, 255 - v, (v * 7) % 256);
    EXPECT_EQ(hex(colorFromHex(text)), lower);
  }
}

}  // namespace
}  // namespace calbridge
