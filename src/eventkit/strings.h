// Text between the store's UTF-8 and Foundation's strings, character for
// character. Foundation's own conversions may drop a leading U+FEFF as a byte
// order mark, which a title may well begin with.
#pragma once

#import <Foundation/Foundation.h>

#include <string>
#include <string_view>

namespace calbridge {

// A new string of exactly the text's characters; nil for text that is not UTF-8.
NSString* newNSString(std::string_view utf8);

// Every character of the string as UTF-8; a lone surrogate becomes U+FFFD.
std::string utf8Of(NSString* string);

}  // namespace calbridge
