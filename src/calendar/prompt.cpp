#include "calendar/prompt.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace calbridge {

namespace {

bool zenityInstalled() {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    auto colon = dirs.find(':');
    std::string candidate(dirs.substr(0, colon));
    if (!candidate.empty()) {
      candidate += "/zenity";
      if (::access(candidate.c_str(), X_OK) == 0) return true;
    }
    if (colon == std::string_view::npos) return false;
    dirs.remove_prefix(colon + 1);
  }
}

bool graphicalSession() {
  for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// One line from `fd`, without its newline; nothing at end of input.
std::optional<std::string> readLine(int fd) {
  std::string line;
  char c;
  for (;;) {
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    if (c == '\n') return line;
    if (line.size() < 256) line += c;
  }
}

std::optional<bool> parseAnswer(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  while (!line.empty() && line.front() == ' ') line.erase(line.begin());
  for (auto& c : line) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (line == "y" || line == "yes") return true;
  if (line == "n" || line == "no") return false;
  return std::nullopt;
}

std::optional<bool> askOnTerminal(std::string_view question) {
  int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) return std::nullopt;
  std::optional<bool> answer;
  std::string prompt = std::string(question) + " [y/n] ";
  while (writeAll(tty, prompt)) {
    auto line = readLine(tty);
    if (!line) break;
    answer = parseAnswer(*line);
    if (answer) break;
    if (!writeAll(tty, "Please answer y or n.\n")) break;
  }
  ::close(tty);
  return answer;
}

std::optional<bool> askWithDialog(std::string_view question) {
  std::string text = "--text=" + std::string(question);
  // The dialog closes itself when the wait for an answer is over.
  const char* argv[] = {"zenity", "--question", "--title=calbridge", text.c_str(), "--timeout=120", nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, "zenity", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  if (!WIFEXITED(status)) return std::nullopt;
  // zenity: 0 yes, 1 no, 5 timed out, anything else an error.
  if (WEXITSTATUS(status) == 0) return true;
  if (WEXITSTATUS(status) == 1) return false;
  return std::nullopt;
}

}  // namespace

PromptMethod availablePrompt() {
  int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty >= 0) {
    ::close(tty);
    return PromptMethod::terminal;
  }
  if (graphicalSession() && zenityInstalled()) return PromptMethod::dialog;
  return PromptMethod::none;
}

std::optional<bool> askUser(PromptMethod method, std::string_view question) {
  switch (method) {
    case PromptMethod::terminal: return askOnTerminal(question);
    case PromptMethod::dialog: return askWithDialog(question);
    case PromptMethod::none: return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace calbridge
