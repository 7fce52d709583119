// Permission through the real binaries: the prompt on a terminal, and the gate
// every command passes before it looks at its request.
#include "support/bridge.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace calbridge::testing {
namespace {

class Permission : public ::testing::Test, public BridgeFixture {
 protected:
  // Runs `calbridge access` with a pseudo-terminal as its controlling terminal
  // (standard streams stay pipes, as a host's are). `reply` is typed at the
  // question, or the terminal is hung up when it is empty.
  struct Prompted {
    std::string question, out;
    int status = -1;
  };
  Prompted accessOnTerminal(const std::string& typed,
                            const std::map<std::string, std::optional<std::string>>& environment = {}) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
      int null = open("/dev/null", O_RDONLY);
      dup2(null, STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      for (const auto& [name, value] : environment) {
        value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
      }
      std::string binary = bridgeBinary();
      execl(binary.c_str(), binary.c_str(), "access", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    Prompted result;
    // Read the question, then answer it (or hang up).
    while (result.question.find("[y/n]") == std::string::npos) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) break;
      char buffer[512];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      result.question.append(buffer, static_cast<std::size_t>(n));
    }
    if (typed.empty()) {
      close(master);
      master = -1;
    } else {
      EXPECT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    }
    char buffer[512];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (master >= 0) close(master);
    return result;
  }

  // A graphical session in the test's folder: a Wayland socket someone listens
  // on ("wayland-live"), one a compositor left behind ("wayland-gone"), and
  // first on PATH a zenity that keeps its arguments in `asked` and answers as
  // FAKE_ZENITY_ANSWER says, in the exit codes its environment asks for.
  std::map<std::string, std::optional<std::string>> session(const std::string& answer,
                                                            std::map<std::string, std::optional<std::string>> display) {
    if (compositor_ < 0) {
      mkdir((dataHome() + "/bin").c_str(), 0700);
      std::ofstream(dataHome() + "/bin/zenity") << R"(#!/bin/sh
printf '%s\n' "$@" > "$(dirname "$0")/asked"
case "$FAKE_ZENITY_ANSWER" in yes) exit "$ZENITY_OK" ;; no) exit "$ZENITY_CANCEL" ;; escape) exit "$ZENITY_ESC" ;; esac
exit 1
)";
      chmod((dataHome() + "/bin/zenity").c_str(), 0755);
      compositor_ = listenAt(dataHome() + "/wayland-live");
      close(listenAt(dataHome() + "/wayland-gone"));
    }
    unlink(asked.c_str());
    display["FAKE_ZENITY_ANSWER"] = answer;
    display["XDG_RUNTIME_DIR"] = dataHome();
    display["PATH"] = dataHome() + "/bin:" + std::getenv("PATH");
    return display;
  }
  ~Permission() override { close(compositor_); }
  const std::string asked = dataHome() + "/bin/asked";

 private:
  static int listenAt(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) | listen(fd, 8), 0) << path;
    return fd;
  }
  int compositor_ = -1;
};

TEST_F(Permission, TheQuestionOnATerminalIsAnsweredAndRecorded) {
  struct Case {
    std::string typed;
    const char* reply;
    const char* recorded;
  } cases[] = {
      {"y\n", R"({"ok":true,"data":{"granted":true}})", "full"},
      {"no\n", R"({"ok":true,"data":{"granted":false}})", "denied"},
      {"maybe\nYES\n", R"({"ok":true,"data":{"granted":true}})", "full"},
      {"", R"({"ok":true,"data":{"granted":false}})", "not-determined"},  // hung up: nothing recorded
  };
  for (const auto& c : cases) {
    store({"access", "reset"});
    Prompted prompted = accessOnTerminal(c.typed);
    EXPECT_NE(prompted.question.find("calbridge"), std::string::npos) << prompted.question;
    EXPECT_NE(prompted.question.find("calendars"), std::string::npos) << prompted.question;
    EXPECT_NE(prompted.question.find("calbridge-store access reset"), std::string::npos) << prompted.question;
    EXPECT_EQ(prompted.out, c.reply) << c.typed;
    EXPECT_EQ(prompted.status, 0);
    EXPECT_EQ(store({"access"}), c.recorded) << c.typed;
  }
  // Once decided, nothing is asked again: the refusal stands without a question.
  store({"access", "deny"});
  Envelope again = request("access", "{}");
  EXPECT_EQ(again.raw.out, R"({"ok":true,"data":{"granted":false}})");
}

TEST_F(Permission, WithNoWayToAskTheAnswerIsNoAndNothingIsRecorded) {
  // No terminal and no graphical session: the request answers at once.
  Envelope access = request("access", "{}");
  EXPECT_EQ(access.raw.out, R"({"ok":true,"data":{"granted":false}})");
  EXPECT_EQ(request("calendars", "").raw.out, R"({"ok":false,"error":"denied"})");
  EXPECT_EQ(store({"access"}), "not-determined");
}

TEST_F(Permission, ADialogRecordsOnlyItsButtonsAndIsShownOnlyOnADisplayThatAnswers) {
  const std::map<std::string, std::optional<std::string>> live{{"WAYLAND_DISPLAY", "wayland-live"}};
  struct Case {
    std::map<std::string, std::optional<std::string>> display;
    std::string answer, granted;
    const char* recorded;
    bool asked;
  } cases[] = {
      {live, "yes", "true", "full", true},
      {live, "no", "false", "denied", true},
      {live, "escape", "false", "not-determined", true},  // Escape or the window closed: no answer
      {live, "cannot-open-display", "false", "not-determined", true},
      {{{"WAYLAND_DISPLAY", "wayland-gone"}}, "yes", "false", "not-determined", false},
      {{{"DISPLAY", ":99"}}, "yes", "false", "not-determined", false},  // no X server there
  };
  for (const auto& c : cases) {
    store({"access", "reset"});
    Envelope access = request("access", "{}", session(c.answer, c.display));
    EXPECT_EQ(access.raw.out, R"({"ok":true,"data":{"granted":)" + c.granted + "}}") << c.answer;
    EXPECT_EQ(store({"access"}), c.recorded) << c.answer;
    std::ifstream in(asked);
    std::string arguments((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(!arguments.empty(), c.asked) << c.answer;
    if (c.asked) {
      EXPECT_NE(arguments.find("\n--default-cancel\n"), std::string::npos) << arguments;
      EXPECT_NE(arguments.find("calbridge-store access reset"), std::string::npos) << arguments;
    }
  }
}

TEST_F(Permission, ABridgeAHostStartedAsksInTheDialogRatherThanOnItsTerminal) {
  Prompted prompted = accessOnTerminal("", session("yes", {{"WAYLAND_DISPLAY", "wayland-live"}}));
  EXPECT_EQ(prompted.question.find("[y/n]"), std::string::npos) << prompted.question;
  EXPECT_EQ(prompted.out, R"({"ok":true,"data":{"granted":true}})");
  EXPECT_EQ(store({"access"}), "full");
}

TEST_F(Permission, EveryOtherCommandOnlyChecksBeforeReadingItsRequest) {
  std::string calendar = defaultCalendar();
  const std::vector<std::pair<std::string, std::string>> requests = {
      {"events", R"({"from":0,"to":10,"calendars":[")" + calendar + R"("]})"},
      {"events", "{}"},
      {"createEvent", R"({"calendar":")" + calendar + R"(","start":0,"end":10})"},
      {"createEvent", "garbage"},
      {"deleteEvent", R"({"uid":"x","calendar":")" + calendar + R"("})"},
      {"createCalendar", R"({"title":"Work"})"},
      {"deleteCalendar", R"({"calendar":")" + calendar + R"("})"},
      {"deleteCalendar", ""},
  };
  for (const char* status : {"reset", "deny", "restrict", "write-only"}) {
    store({"access", status});
    for (const auto& [command, input] : requests) {
      EXPECT_EQ(request(command, input).raw.out, R"({"ok":false,"error":"denied"})") << command << " " << status;
    }
    EXPECT_EQ(store({"access"}), std::string(status) == "reset" ? "not-determined"
                                 : std::string(status) == "deny" ? "denied"
                                 : std::string(status) == "restrict" ? "restricted"
                                                                     : "write-only");
  }
  // Nothing was created or removed.
  rapidjson::Document calendars;
  calendars.Parse(store({"calendars"}).c_str());
  EXPECT_EQ(calendars.Size(), 1u);
}

TEST_F(Permission, AStoreThatCannotBeReadFailsEveryCommandAndIsLeftAlone) {
  grantAccess();
  std::string path = databasePath();
  for (const char* suffix : {"-wal", "-shm"}) unlink((path + suffix).c_str());
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs("this is not a calendar database, and never was", f);
  fclose(f);
  for (const char* command : {"access", "calendars", "events", "createEvent", "deleteEvent", "createCalendar",
                              "deleteCalendar"}) {
    EXPECT_EQ(request(command, "{}").raw.out, R"({"ok":false,"error":"failed"})") << command;
  }
  EXPECT_EQ(request("unknown", "{}").raw.out, R"({"ok":false,"error":"invalid"})");
  FILE* check = fopen(path.c_str(), "rb");
  char buffer[128] = {};
  ASSERT_NE(check, nullptr);
  size_t n = fread(buffer, 1, sizeof buffer - 1, check);
  fclose(check);
  EXPECT_EQ(std::string(buffer, n), "this is not a calendar database, and never was");
  EXPECT_NE(runStore({"calendars"}).status, 0);
}

}  // namespace
}  // namespace calbridge::testing
