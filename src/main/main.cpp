// calbridge: one command word as the only argument, one JSON object on
// standard input, one JSON reply on standard output.
#include "calendar/sqlite_store.h"
#include "main/bridge.h"

#include <csignal>
#include <malloc.h>
#include <unistd.h>

int main(int argc, char** argv) {
  // A host that stops reading must not kill us between a committed change and the
  // exit, nor a terminal that hangs up while we ask it a question: that question
  // then goes unanswered, and the reply still goes to the host.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
  // One request, then exit: memory is never worth handing back. Large blocks
  // come from the heap rather than fresh mappings, so a buffer that grows
  // reuses pages already touched instead of faulting in new ones each time.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_TOP_PAD, 4 << 20);
  calbridge::SqliteStore store(calbridge::defaultStorePath());
  return calbridge::reply(calbridge::serve(argc, argv, STDIN_FILENO, store), STDOUT_FILENO);
}
