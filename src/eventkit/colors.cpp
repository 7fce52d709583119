#include "eventkit/colors.h"

namespace calbridge {

std::optional<Color> colorOf(CGColorRef color) {
  if (color == nullptr) return std::nullopt;
  const Color unconvertible{ColorSpace::other, {}};
  CGColorSpaceRef srgb = CGColorSpaceCreateWithName(kCGColorSpaceSRGB);
  if (srgb == nullptr) return unconvertible;
  CGColorRef converted = CGColorCreateCopyByMatchingToColorSpace(srgb, kCGRenderingIntentDefault, color, nullptr);
  CGColorSpaceRelease(srgb);
  if (converted == nullptr) return unconvertible;
  Color result{ColorSpace::sRGB, {}};
  // A copy without components has fewer than three, which `hex` takes as no usable color.
  if (const CGFloat* components = CGColorGetComponents(converted)) {
    result.components.assign(components, components + CGColorGetNumberOfComponents(converted));
  }
  CGColorRelease(converted);
  return result;
}

CGColorRef newCGColor(const Color& color) {
  auto srgb = convertedToSRGB(color);
  if (!srgb || srgb->components.size() < 3) return nullptr;
  const auto& c = srgb->components;
  return CGColorCreateSRGB(c[0], c[1], c[2], c.size() > 3 ? c[3] : 1.0);
}

}  // namespace calbridge
