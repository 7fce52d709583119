// Runs a program as a host does: an argument vector, bytes on standard input
// (then closed), standard output and error read to their end, the exit status.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace calbridge::testing {

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
  bool inputRead = true;  // false when the program exited without reading all of its input
  bool killed = false;  // true when killAfter ran out and SIGKILL ended the program
};

struct RunOptions {
  std::string input;
  // Variables to set (or, with nullopt, to remove) on top of this process's environment.
  std::map<std::string, std::optional<std::string>> environment;
  bool closeInput = true;  // false: keep standard input open until the program exits
  // Sends SIGKILL this long after the start, if the program is still running: a host that gives up on it.
  std::optional<std::chrono::microseconds> killAfter;
};

RunResult runProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

}  // namespace calbridge::testing
