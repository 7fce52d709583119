// The part of CoreGraphics the EventKit store uses, declared as Apple documents
// it (signatures, nullability, values), for building that store where there is
// no CoreGraphics. Nothing else of the framework is declared. On macOS the
// framework's own header is used instead.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma clang assume_nonnull begin

typedef double CGFloat;  // 64-bit platforms

typedef const struct __CFString* CFStringRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct CGColor* CGColorRef;
typedef struct CGColorSpace* CGColorSpaceRef;

typedef enum CGColorRenderingIntent : int {
  kCGRenderingIntentDefault = 0,
  kCGRenderingIntentAbsoluteColorimetric = 1,
  kCGRenderingIntentRelativeColorimetric = 2,
  kCGRenderingIntentPerceptual = 3,
  kCGRenderingIntentSaturation = 4,
} CGColorRenderingIntent;

// The name of the standard RGB color space (IEC 61966-2-1).
extern const CFStringRef kCGColorSpaceSRGB;

CGColorSpaceRef _Nullable CGColorSpaceCreateWithName(CFStringRef _Nullable name);
void CGColorSpaceRelease(CGColorSpaceRef _Nullable space);

// A color in the sRGB space; the caller owns it.
CGColorRef CGColorCreateSRGB(CGFloat red, CGFloat green, CGFloat blue, CGFloat alpha);
// `color` in `space`, owned by the caller; NULL when it cannot be converted.
CGColorRef _Nullable CGColorCreateCopyByMatchingToColorSpace(CGColorSpaceRef _Nullable space,
                                                             CGColorRenderingIntent intent,
                                                             CGColorRef _Nullable color,
                                                             CFDictionaryRef _Nullable options);
// The color's components in its space's order, alpha last; as many as CGColorGetNumberOfComponents says.
const CGFloat* _Nullable CGColorGetComponents(CGColorRef _Nullable color);
size_t CGColorGetNumberOfComponents(CGColorRef _Nullable color);
void CGColorRelease(CGColorRef _Nullable color);

#pragma clang assume_nonnull end

#ifdef __cplusplus
}
#endif
