// Times discovery, a first sync and a no-change sync of one CalDAV account
// through the sync engine into an in-memory replica, with the requests each took.
//
//   calbridge-bench-caldav URL USER PASSWORD [MULTIGET_BATCH|get]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "caldav/client.h"
#include "caldav/sync.h"

using namespace calbridge::caldav;

namespace {

double since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

size_t objects(const MemoryReplica& r) {
  size_t n = 0;
  for (const auto& [url, c] : r.state) n += c.objects.size();
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s URL USER PASSWORD [BATCH|get]\n", argv[0]);
    return 2;
  }
  HttpSettings settings;
  settings.user = argv[2];
  settings.password = argv[3];
  settings.request_timeout = std::chrono::seconds(600);
  SyncOptions options;
  if (argc > 4) {
    std::string mode = argv[4];
    options.multiget_batch = mode == "get" ? 0 : std::stoul(mode);
  }
  try {
    CurlTransport http(settings);
    auto t = std::chrono::steady_clock::now();
    Discovery d = discover(http, argv[1]);
    std::printf("discovery: %.3f s, %zu requests, %zu calendars, home %s\n", since(t), http.exchanges(),
                d.calendars.size(), d.home_url.c_str());
    SyncSource source{d.home_url.empty() ? d.calendars.at(0).url : d.home_url, d.home_url.empty()};
    MemoryReplica replica;
    const char* names[] = {"first sync", "no-change sync", "no-change sync"};
    for (const char* name : names) {
      size_t before = http.exchanges();
      t = std::chrono::steady_clock::now();
      SyncReport report = sync_account(http, replica, source, options);
      std::printf("%s: %.3f s, %zu requests, %zu objects fetched, %zu objects held, %zu failures\n", name, since(t),
                  http.exchanges() - before, report.objects_fetched, objects(replica), report.failures.size());
      for (const auto& f : report.failures) std::printf("  failure: %s\n", f.c_str());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory: %.1f MiB\n", usage.ru_maxrss / 1024.0);
  } catch (const Error& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
