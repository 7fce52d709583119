// The command table: command word to handler.
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"
#include "protocol/request.h"

#include <string_view>

namespace calbridge {

// A command handler: checks, store calls and the reply. It never writes or exits.
using Handler = Reply (*)(Store& store, const Request& input);

// The handler for `word` (matched case-sensitively, under canonical
// equivalence), or null for a word outside the table.
Handler findCommand(std::string_view word);

}  // namespace calbridge
