// calbridge: one command word as the only argument, one JSON object on
// standard input, one JSON reply on standard output.
#include "calendar/sqlite_store.h"
#include "main/bridge.h"

#include <csignal>
#include <unistd.h>

int main(int argc, char** argv) {
  // A host that stops reading must not kill us between a committed change and the
  // exit, nor a terminal that hangs up while we ask it a question: that question
  // then goes unanswered, and the reply still goes to the host.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
  calbridge::SqliteStore store(calbridge::defaultStorePath());
  return calbridge::reply(calbridge::serve(argc, argv, STDIN_FILENO, store), STDOUT_FILENO);
}
