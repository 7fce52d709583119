// The outcome of an operation that crosses a seam (a store and its server, a
// store and its database, a parser and its caller): success, or a failure with
// a kind a caller can act on and a message a person can read. The protocol
// maps every failure to its own three codes at the top; below it, the cause
// travels unchanged, so that calbridge-store and the tests can say what went
// wrong.
//
// A message names what failed and where (an HTTP status and URL, a file and
// line); it never carries a credential, and it is one line.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace calbridge {

class Status {
 public:
  enum class Kind {
    ok,
    invalid,      // the request or input cannot be taken as it is
    notFound,     // what it names is not there
    conflict,     // someone else changed it first (an ETag or a row that moved on)
    refused,      // the other side understood and said no (a server's 403, a read-only calendar)
    unreachable,  // the other side could not be reached or did not answer in time
    badAnswer,    // the other side answered what cannot be used
    ioError,      // the disk or the database failed
  };

  Status() = default;  // success
  static Status ok() { return {}; }
  static Status invalid(std::string message) { return {Kind::invalid, std::move(message)}; }
  static Status notFound(std::string message) { return {Kind::notFound, std::move(message)}; }
  static Status conflict(std::string message) { return {Kind::conflict, std::move(message)}; }
  static Status refused(std::string message) { return {Kind::refused, std::move(message)}; }
  static Status unreachable(std::string message) { return {Kind::unreachable, std::move(message)}; }
  static Status badAnswer(std::string message) { return {Kind::badAnswer, std::move(message)}; }
  static Status ioError(std::string message) { return {Kind::ioError, std::move(message)}; }

  bool isOk() const { return kind_ == Kind::ok; }
  explicit operator bool() const { return isOk(); }
  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  // The same failure with what the caller was doing in front: "sync of Work: " + message.
  Status within(std::string_view context) const {
    if (isOk()) return *this;
    return {kind_, std::string(context) + ": " + message_};
  }

 private:
  Status(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_ = Kind::ok;
  std::string message_;
};

}  // namespace calbridge
