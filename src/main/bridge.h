// One request, from the argument vector and the input to the reply.
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"

#include <string>
#include <string_view>

namespace calbridge {

// Reads `fd` to end of file. Keeps at most kMaxInputBytes + 1 bytes, enough to
// tell an oversize input, and discards the rest unread into memory.
std::string readInput(int fd);

// Serves one request: checks the arguments (without reading `inputFd` when they
// are wrong), reads, limits and decodes the input, dispatches on the command
// word, and opens `store` only for a known command. Every outcome is the reply.
Reply serve(int argc, const char* const* argv, int inputFd, Store& store);

// The same once the arguments are checked and the input is read: limits and
// decodes `bytes`, dispatches on `word`, and opens `store` only for a known command.
Reply serve(std::string_view word, std::string_view bytes, Store& store);

}  // namespace calbridge
