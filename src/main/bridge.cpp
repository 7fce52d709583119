#include "main/bridge.h"

#include "main/dispatch.h"
#include "protocol/request.h"

#include <cerrno>
#include <unistd.h>

namespace calbridge {

std::string readInput(int fd) {
  constexpr std::size_t kKeep = kMaxInputBytes + 1;
  std::string input;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // what arrived before the error is the request
    }
    if (n == 0) break;
    std::size_t room = kKeep - input.size();
    input.append(chunk, std::min(room, static_cast<std::size_t>(n)));
  }
  return input;
}

Reply serve(int argc, const char* const* argv, int inputFd, Store& store) {
  if (argc != 2) return fail(ErrorCode::invalid);
  return serve(argv[1], readInput(inputFd), store);
}

Reply serve(std::string_view word, std::string_view bytes, Store& store) {
  if (bytes.size() > kMaxInputBytes) return fail(ErrorCode::invalid);
  Request input = decodeRequest(bytes);
  Handler handler = findCommand(word);
  if (handler == nullptr) return fail(ErrorCode::invalid);
  if (!store.open()) return fail(ErrorCode::failed);
  Reply result = handler(store, input);
  // A store that could not be read gave empty answers: never report those as a success.
  if (store.readFailed()) return fail(ErrorCode::failed);
  return result;
}

}  // namespace calbridge
