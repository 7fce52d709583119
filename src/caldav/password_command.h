#pragma once
// Runs the command a person named to fetch a secret (`pass show dav`,
// `secret-tool lookup ...`, a desktop's online-accounts token), without a shell.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge::caldav {

// Splits a command line into words the way a POSIX shell does for quoting,
// and nothing more:
// - blanks (space, tab, newline) separate words; a word may be empty only
//   when quoted ('' or "");
// - inside '...' every character is literal;
// - inside "..." a backslash escapes only \ " $ ` and newline (a backslash
//   before a newline joins the lines); any other backslash is kept;
// - outside quotes a backslash makes the next character literal (before a
//   newline it joins the lines).
// No expansion of any kind: $VAR, ~, *, ;, |, > and the like are plain
// characters of the word. nullopt for an unclosed quote, a trailing lone
// backslash, or no words at all.
std::optional<std::vector<std::string>> split_command(std::string_view line);

struct PasswordResult {
  bool ok = false;
  std::string password;  // the first line of standard output, without its line end
  std::string error;     // why not, when !ok
};

// Starts the command (first word looked up in PATH) with standard input from
// /dev/null, reads its standard output until it exits (a child it leaves
// holding the output does not hold this up), and takes the first line. Fails
// when the line does not split, the program cannot start, it runs past the
// timeout (it is then killed), it exits other than 0, or its first line is
// empty or holds a NUL byte. Standard error is passed through only when
// asked, so a bridge run stays silent there. Errors do not say which command:
// the caller does ("the password command failed: ...").
PasswordResult run_password_command(std::string_view line, std::chrono::milliseconds timeout,
                                    bool pass_stderr = false);

// The same for an OAuth 2.0 bearer token, which must also be an RFC 6750
// b64token (it is sent in a header as it is).
PasswordResult run_token_command(std::string_view line, std::chrono::milliseconds timeout, bool pass_stderr = false);

}  // namespace calbridge::caldav
