#include "caldav/password_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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
    result.error = "the command is empty or has an unclosed quote";
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

  // Read until the command exits, not until its output closes: a program
  // that prints the password and leaves a child behind (an agent it started)
  // may leave that child holding the pipe. A pidfd says when it exits; where
  // there is none, a short poll does.
  int exit_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  int pipe_fd = out[0];
  std::string output;
  bool timed_out = false, exited = false;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  constexpr size_t kMaxOutput = 64 * 1024;  // a secret, not a file
  auto take = [&](const char* data, ssize_t n) {
    if (output.size() < kMaxOutput) output.append(data, static_cast<size_t>(n));
  };
  while (!exited) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd fds[2];
    nfds_t count = 0;
    if (pipe_fd >= 0) fds[count++] = {pipe_fd, POLLIN, 0};
    if (exit_fd >= 0) fds[count++] = {exit_fd, POLLIN, 0};
    int wait_ms = static_cast<int>(exit_fd >= 0 ? left.count() : std::min<long long>(left.count(), 20));
    int ready = poll(count > 0 ? fds : nullptr, count, wait_ms);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && pipe_fd >= 0 && fds[0].revents != 0) {
      char buffer[4096];
      ssize_t n = read(pipe_fd, buffer, sizeof buffer);
      if (n > 0) {
        take(buffer, n);
      } else if (n == 0 || errno != EINTR) {
        close(pipe_fd);
        pipe_fd = -1;
      }
    }
    pid_t waited = waitpid(pid, &status, WNOHANG);
    exited = waited == pid || (waited < 0 && errno != EINTR);
  }
  if (pipe_fd >= 0) {
    // What the command wrote before it exited is in the pipe still.
    if (exited && fcntl(pipe_fd, F_SETFL, O_NONBLOCK) == 0) {
      char buffer[4096];
      for (ssize_t n; (n = read(pipe_fd, buffer, sizeof buffer)) > 0;) take(buffer, n);
    }
    close(pipe_fd);
  }
  if (exit_fd >= 0) close(exit_fd);
  if (!exited) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (timed_out) {
    result.error = "the command did not finish in time";
    return result;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    result.error = WIFEXITED(status) ? "the command exited with status " + std::to_string(WEXITSTATUS(status))
                                     : "the command was ended by a signal";
    return result;
  }
  if (output.empty()) {
    result.error = "the command printed nothing";
    return result;
  }
  size_t end = output.find('\n');
  std::string first = output.substr(0, end);
  if (!first.empty() && first.back() == '\r') first.pop_back();
  // A NUL would end the password early wherever it is handed on as a C string.
  if (first.find('\0') != std::string::npos) {
    result.error = "its first line holds a NUL byte";
    return result;
  }
  if (first.empty()) {
    result.error = "its first line is empty";
    return result;
  }
  result.password = std::move(first);
  result.ok = true;
  return result;
}

PasswordResult run_token_command(std::string_view line, std::chrono::milliseconds timeout, bool pass_stderr) {
  PasswordResult result = run_password_command(line, timeout, pass_stderr);
  if (!result.ok) return result;
  // RFC 6750 2.1: b64token, the only form a header carries as it is.
  const std::string& token = result.password;
  size_t padding = token.find_last_not_of('=') + 1;
  bool valid = padding > 0 && std::all_of(token.begin(), token.begin() + static_cast<std::ptrdiff_t>(padding), [](char c) {
                 return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-._~+/", c) != nullptr;
               });
  if (!valid) {
    result.ok = false;
    result.password.clear();
    result.error = "its first line is not a bearer token (letters, digits and -._~+/ with = at the end)";
  }
  return result;
}

}  // namespace calbridge::caldav
