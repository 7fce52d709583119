// calbridge over the system's calendar database (EventKit): one command word
// as the only argument, one JSON object on standard input, one JSON reply on
// standard output.
#include "eventkit/eventkit_store.h"
#include "main/bridge.h"

#include <csignal>
#include <unistd.h>

namespace {

// See main.cpp: the binary carries its version as text.
[[gnu::used]] constexpr char kVersion[] = "calbridge " CALBRIDGE_VERSION;

}  // namespace

int main(int argc, char** argv) {
  // A host that stops reading must not kill us between a committed change and the exit.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
  auto store = calbridge::makeEventKitStore();
  calbridge::Reply answer = calbridge::serve(argc, argv, STDIN_FILENO, *store);
  return calbridge::reply(std::move(answer), STDOUT_FILENO);
}
