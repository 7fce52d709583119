// The stand-in's CoreGraphics: colors are a space and components, as the own
// store keeps them; sRGB is the one space known by name, and a copy into it
// exists for sRGB and grey colors.
#include "eventkit/sim/core_graphics.h"

#include <atomic>

struct CGColor {
  calbridge::Color value;
  std::atomic<int> references{1};
};

struct CGColorSpace {
  std::atomic<int> references{1};
};

namespace {
const char kSRGBName[] = "kCGColorSpaceSRGB";
}  // namespace

const CFStringRef kCGColorSpaceSRGB = reinterpret_cast<CFStringRef>(kSRGBName);

CGColorSpaceRef CGColorSpaceCreateWithName(CFStringRef name) {
  return name == kCGColorSpaceSRGB ? new CGColorSpace : nullptr;
}

void CGColorSpaceRelease(CGColorSpaceRef space) {
  if (space != nullptr && --space->references == 0) delete space;
}

CGColorRef CGColorCreateSRGB(CGFloat red, CGFloat green, CGFloat blue, CGFloat alpha) {
  return calbridge::standin::newColor({calbridge::ColorSpace::sRGB, {red, green, blue, alpha}});
}

CGColorRef CGColorCreateCopyByMatchingToColorSpace(CGColorSpaceRef space, CGColorRenderingIntent, CGColorRef color,
                                                   CFDictionaryRef) {
  if (space == nullptr || color == nullptr) return nullptr;
  auto converted = calbridge::convertedToSRGB(color->value);
  return converted ? calbridge::standin::newColor(*converted) : nullptr;
}

const CGFloat* CGColorGetComponents(CGColorRef color) {
  return color == nullptr || color->value.components.empty() ? nullptr : color->value.components.data();
}

size_t CGColorGetNumberOfComponents(CGColorRef color) {
  return color == nullptr ? 0 : color->value.components.size();
}

void CGColorRelease(CGColorRef color) {
  if (color != nullptr && --color->references == 0) delete color;
}

namespace calbridge::standin {

CGColorRef newColor(const Color& color) { return new CGColor{color}; }

Color colorValue(CGColorRef color) { return color->value; }

CGColorRef retainColor(CGColorRef color) {
  if (color != nullptr) ++color->references;
  return color;
}

}  // namespace calbridge::standin
