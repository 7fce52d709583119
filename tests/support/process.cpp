#include "support/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace calbridge::testing {

namespace {

std::vector<std::string> environmentWith(const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (changes.count(name) == 0) result.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // A new session: no controlling terminal, as for a desktop host's child.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  auto env = environmentWith(options.environment);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) throw std::runtime_error("spawn failed: " + std::string(std::strerror(spawned)));

  RunResult result;
  std::size_t written = 0;
  int inFd = in[1];
  fcntl(inFd, F_SETFL, O_NONBLOCK);
  if (options.input.empty() && options.closeInput) {
    ::close(inFd);
    inFd = -1;
  }
  bool outOpen = true, errOpen = true;
  // SIGPIPE here would end the test run when the program leaves input unread.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  const auto started = std::chrono::steady_clock::now();
  bool killSent = false;
  while (outOpen || errOpen) {
    int timeoutMs = -1;
    if (options.killAfter && !killSent) {
      auto left = started + *options.killAfter - std::chrono::steady_clock::now();
      if (left <= std::chrono::microseconds(0)) {
        ::kill(pid, SIGKILL);
        killSent = true;
      } else {
        timeoutMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
      }
    }
    pollfd fds[3];
    int n = 0;
    int outIndex = -1, errIndex = -1, inIndex = -1;
    if (outOpen) { fds[n] = {out[0], POLLIN, 0}; outIndex = n++; }
    if (errOpen) { fds[n] = {err[0], POLLIN, 0}; errIndex = n++; }
    if (inFd >= 0 && written < options.input.size()) { fds[n] = {inFd, POLLOUT, 0}; inIndex = n++; }
    if (::poll(fds, static_cast<nfds_t>(n), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char buffer[65536];
    auto drain = [&](int index, int fd, std::string& into, bool& open) {
      if (index < 0 || fds[index].revents == 0) return;
      ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got > 0) into.append(buffer, static_cast<std::size_t>(got));
      else if (got == 0 || errno != EINTR) open = false;
    };
    drain(outIndex, out[0], result.out, outOpen);
    drain(errIndex, err[0], result.err, errOpen);
    if (inIndex >= 0 && fds[inIndex].revents != 0) {
      ssize_t put = ::write(inFd, options.input.data() + written, options.input.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      else if (put < 0 && errno != EAGAIN && errno != EINTR) {
        result.inputRead = false;
        ::close(inFd);
        inFd = -1;
      }
      if (inFd >= 0 && written == options.input.size() && options.closeInput) {
        ::close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) ::close(inFd);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  sigaction(SIGPIPE, &previous, nullptr);
  if (written < options.input.size()) result.inputRead = false;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // A program that finished before the signal came was not killed, even though it was sent.
  result.killed = killSent && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  return result;
}

}  // namespace calbridge::testing
