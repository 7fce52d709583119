// calbridge: one command word as the only argument, one JSON object on
// standard input, one JSON reply on standard output.
#include "sqlite/sqlite_store.h"
#include "main/bridge.h"
#include "main/lazy_publisher.h"
#include "main/refresh.h"
#include "main/serving_store.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The protocol leaves no way to ask for the version (one command word, one
// reply), so the binary carries it as text: `strings calbridge | grep '^calbridge '`.
[[gnu::used]] constexpr char kVersion[] = "calbridge " CALBRIDGE_VERSION;

// One request, then exit: memory is never worth handing back. Large blocks
// come from the heap rather than fresh mappings, and the heap is asked to come
// in 2 MiB pages. Where a fault costs microseconds (virtual machines), a long
// listing would otherwise spend more time faulting in its memory 4 KiB at a
// time than producing it. Pages never touched cost nothing; a system without
// huge pages ignores the advice.
void prepareHeap() {
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_TOP_PAD, 4 << 20);
  constexpr std::size_t kHeap = 64 << 20;
  constexpr std::uintptr_t kHuge = 2 << 20;
  void* block = std::malloc(kHeap);
  if (block == nullptr) return;
  auto begin = reinterpret_cast<std::uintptr_t>(block);
  std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  std::uintptr_t last = (begin + kHeap) & ~(kHuge - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  std::free(block);  // back to the heap's top, untouched, kept for what follows
}

}  // namespace

int main(int argc, char** argv) {
  // A host that stops reading must not kill us between a committed change and the
  // exit, nor a terminal that hangs up while we ask it a question: that question
  // then goes unanswered, and the reply still goes to the host.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
  prepareHeap();
  calbridge::SqliteStore store(calbridge::defaultStorePath());
  // Changes to CalDAV accounts go to their servers first.
  calbridge::LazyPublisher publisher([&store]() -> calbridge::ZoneCache& { return store.zones(); });
  store.setPublisher(&publisher);
  // Or the desktop's calendars, when they serve the person; permission stays the own store's.
  calbridge::ServingStore serving(store);
  calbridge::Reply answer = calbridge::serve(argc, argv, STDIN_FILENO, serving);
  calbridge::refreshStaleReplicas(store);
  return calbridge::reply(std::move(answer), STDOUT_FILENO);
}
