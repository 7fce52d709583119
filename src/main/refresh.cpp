#include "main/refresh.h"

#include "main/modules.h"

#include <climits>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <unistd.h>

extern char** environ;

namespace calbridge {

namespace {

// calbridge-store beside this program: installed together, built together.
std::string storeTool() {
  const std::string folder = programFolder();
  return folder.empty() ? std::string() : folder + "/calbridge-store";
}

}  // namespace

void refreshStaleReplicas(const SqliteStore& store) {
  auto stale = store.staleAccountsRead(static_cast<double>(std::time(nullptr)), kReplicaMaxAge);
  if (stale.empty()) return;
  const std::string tool = storeTool();
  if (tool.empty() || ::access(tool.c_str(), X_OK) != 0) return;
  const std::string maxAge = std::to_string(static_cast<int>(kReplicaMaxAge));
  for (const std::string& account : stale) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Nothing of the sync reaches the host: it reads only the bridge's reply.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Nor anything else: a host may have handed the bridge more descriptors
    // (a pipe it reads to its end), and must not wait on them for the sync.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    const char* argv[] = {tool.c_str(), "sync", account.c_str(), "--if-older-than", maxAge.c_str(), nullptr};
    pid_t pid = 0;
    (void)posix_spawn(&pid, tool.c_str(), &actions, &attributes, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
}

}  // namespace calbridge
