#include "caldav/password_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace calbridge::caldav {

std::optional<std::vector<std::string>> split_command(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else if (c == '\\') {
      if (i + 1 >= line.size()) return std::nullopt;
      ++i;
      if (line[i] != '\n') {
        word += line[i];
        in_word = true;
      }
    } else if (c == '\'') {
      size_t end = line.find('\'', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      word.append(line.substr(i + 1, end - i - 1));
      in_word = true;
      i = end;
    } else if (c == '"') {
      in_word = true;
      size_t j = i + 1;
      for (;; ++j) {
        if (j >= line.size()) return std::nullopt;
        char d = line[j];
        if (d == '"') break;
        if (d == '\\' && j + 1 < line.size() && std::strchr("\\\"$`\n", line[j + 1]) != nullptr) {
          if (line[j + 1] != '\n') word += line[j + 1];
          ++j;
        } else {
          word += d;
        }
      }
      i = j;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  if (words.empty()) return std::nullopt;
  return words;
}

PasswordResult run_password_command(std::string_view line, std::chrono::milliseconds timeout, bool pass_stderr) {
  PasswordResult result;
  auto words = split_command(line);
  if (!words) {
    result.error = "the password command is empty or has an unclosed quote";
    return result;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (!pass_stderr) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // Nothing else of ours: not the store, not a descriptor our own parent left us.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // The child gets default signal handling, whatever the caller ignores.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  for (auto& w : *words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    result.error = "cannot start " + (*words)[0] + ": " + std::strerror(spawned);
    return result;
  }

  std::string output;
  bool timed_out = false;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  constexpr size_t kMaxOutput = 64 * 1024;  // a secret, not a file
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timed_out = ready == 0;
      break;
    }
    char buffer[4096];
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output.size() < kMaxOutput) output.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out) {
    result.error = "the password command did not finish in time";
    return result;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    result.error = WIFEXITED(status) ? "the password command exited with status " + std::to_string(WEXITSTATUS(status))
                                     : "the password command was ended by a signal";
    return result;
  }
  if (output.empty()) {
    result.error = "the password command printed nothing";
    return result;
  }
  size_t end = output.find('\n');
  result.password = output.substr(0, end);
  if (!result.password.empty() && result.password.back() == '\r') result.password.pop_back();
  result.ok = true;
  return result;
}

}  // namespace calbridge::caldav
