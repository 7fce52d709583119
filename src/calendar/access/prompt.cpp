#include "calendar/access/prompt.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// A display server that has gone away leaves its name in the environment, and
// often its socket file too; only a connection shows that someone is there.
bool connects(int family, const sockaddr* address, socklen_t length) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool answered = ::connect(fd, address, length) == 0;
  if (!answered && errno == EAGAIN) answered = true;  // a local listener with a full backlog is still there
  if (!answered && errno == EINPROGRESS) {
    constexpr int kConnectWaitMs = 2000;
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    answered = ::poll(&p, 1, kConnectWaitMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
               error == 0;
  }
  ::close(fd);
  return answered;
}

bool localSocketAnswers(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::size_t at = abstract ? 1 : 0;  // an abstract name starts with a NUL byte
  if (at + path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + at, path.data(), path.size());
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + at + path.size() + (abstract ? 0 : 1));
  return connects(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length);
}

bool waylandAnswers() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0') return false;
  if (name[0] == '/') return localSocketAnswers(name, false);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] != '/') return false;
  return localSocketAnswers(std::string(runtime) + "/" + name, false);
}

// DISPLAY is [host]:number[.screen]: no host (or "unix") is the local socket of
// that number, in the file system or under the same abstract name; a host is
// TCP port 6000 + number there (as an SSH-forwarded display is).
bool x11Answers() {
  const char* value = std::getenv("DISPLAY");
  if (value == nullptr) return false;
  std::string_view display = value;
  auto colon = display.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string host(display.substr(0, colon));
  std::string_view number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.size() > 4 || number.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  if (host.empty() || host == "unix") {
    std::string path = "/tmp/.X11-unix/X" + std::string(number);
    return localSocketAnswers(path, false) || localSocketAnswers(path, true);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string port = std::to_string(6000 + std::stoi(std::string(number)));
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool answered = false;
  for (const addrinfo* a = found; a != nullptr && !answered; a = a->ai_next) {
    answered = connects(a->ai_family, a->ai_addr, a->ai_addrlen);
  }
  ::freeaddrinfo(found);
  return answered;
}

bool graphicalSessionAnswers() { return waylandAnswers() || x11Answers(); }

bool terminalOpens() {
  int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) return false;
  ::close(tty);
  return true;
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

// zenity exits 1 alike for No, for Escape or closing the window, and for a
// display it cannot open; told through its environment, it gives each answer a
// code of its own, so that only the buttons count as an answer.
constexpr int kDialogYes = 10;
constexpr int kDialogNo = 11;
constexpr const char* kDialogCodes[] = {"ZENITY_OK=10",      "ZENITY_CANCEL=11", "ZENITY_ESC=12",
                                        "ZENITY_TIMEOUT=13", "ZENITY_ERROR=14",  "ZENITY_EXTRA=15"};

std::vector<const char*> dialogEnvironment() {
  std::vector<const char*> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const char* code : kDialogCodes) {
      std::size_t name = static_cast<std::size_t>(std::strchr(code, '=') - code) + 1;
      replaced = replaced || std::strncmp(*entry, code, name) == 0;
    }
    if (!replaced) variables.push_back(*entry);
  }
  for (const char* code : kDialogCodes) variables.push_back(code);
  variables.push_back(nullptr);
  return variables;
}

std::optional<bool> askWithDialog(std::string_view question, int timeoutSeconds) {
  std::string text = "--text=" + std::string(question);
  std::string timeout = "--timeout=" + std::to_string(timeoutSeconds);
  // No is the default button, so that Enter pressed in passing grants nothing.
  const char* argv[] = {"zenity",
                        "--question",
                        "--title=calbridge",
                        "--no-markup",
                        text.c_str(),
                        "--default-cancel",
                        "--ok-label=Allow",
                        "--cancel-label=Don't Allow",
                        timeout.c_str(),
                        nullptr};
  std::vector<const char*> environment = dialogEnvironment();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, "zenity", &actions, nullptr, const_cast<char* const*>(argv),
                             const_cast<char* const*>(environment.data()));
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  if (!WIFEXITED(status)) return std::nullopt;
  if (WEXITSTATUS(status) == kDialogYes) return true;
  if (WEXITSTATUS(status) == kDialogNo) return false;
  return std::nullopt;
}

}  // namespace

PromptMethod availablePrompt() {
  const bool startedByHost = ::isatty(STDIN_FILENO) == 0;
  auto dialogPossible = [] { return zenityInstalled() && graphicalSessionAnswers(); };
  if (startedByHost && dialogPossible()) return PromptMethod::dialog;
  if (terminalOpens()) return PromptMethod::terminal;
  if (!startedByHost && dialogPossible()) return PromptMethod::dialog;
  return PromptMethod::none;
}

std::optional<bool> askUser(PromptMethod method, std::string_view question, int timeoutSeconds) {
  switch (method) {
    case PromptMethod::terminal: return askOnTerminal(question);
    case PromptMethod::dialog: return askWithDialog(question, timeoutSeconds);
    case PromptMethod::none: return std::nullopt;
  }
  return std::nullopt;
}

void noteUnanswered(PromptMethod method) {
  // A dialog closes itself at the same time; only a terminal keeps the question on screen.
  if (method != PromptMethod::terminal) return;
  int tty = ::open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) return;
  (void)writeAll(tty, "\nNo answer in time: taken as no. Nothing was recorded, so the question comes again "
                      "next time.\n");
  ::close(tty);
}

}  // namespace calbridge
