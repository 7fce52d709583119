// The modules the programs open only when a request needs what they hold
// (CalDAV's servers, the desktop's calendars), so that every other request
// starts without loading their libraries.
#pragma once

#include <string>
#include <string_view>

namespace calbridge {

// The folder of the running program; empty when it cannot be told.
std::string programFolder();

// Where the module `file` is: beside the running program (a build tree), else
// in ../LIBDIR/calbridge from its folder (an installation). Empty when neither is there.
std::string modulePath(std::string_view file);

// `symbol` of the module `file`, which stays open for the rest of the process
// as a linked library would. Null, with why in `why`, when either is missing
// or the module cannot be loaded (a library it needs is not installed).
void* moduleSymbol(std::string_view file, const char* symbol, std::string* why = nullptr);

}  // namespace calbridge
