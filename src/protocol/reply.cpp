#include "protocol/reply.h"

#include <cerrno>
#include <unistd.h>

namespace calbridge {

Reply finishReply(bool ok, JsonOut& out) {
  if (!out.good()) return Reply{ok, std::string(kUnserialisableReply)};
  return Reply{ok, out.take()};
}

std::string_view errorText(ErrorCode code) {
  switch (code) {
    case ErrorCode::invalid: return "invalid";
    case ErrorCode::denied: return "denied";
    case ErrorCode::failed: return "failed";
  }
  return "failed";
}

Reply fail(ErrorCode code) {
  JsonOut out;
  out.startObject();
  out.key("ok");
  out.boolean(false);
  out.key("error");
  out.string(errorText(code));
  out.endObject();
  return finishReply(false, out);
}

int reply(const Reply& finished, int fd) {
  // One write call carries the whole text; the loop only resumes after a signal
  // or a short write on a full pipe, so the host never sees two replies.
  const char* p = finished.text.data();
  std::size_t left = finished.text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // the host has gone; the exit status still tells what happened
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return finished.ok ? 0 : 1;
}

}  // namespace calbridge
