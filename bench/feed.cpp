// calbridge-bench-feed FILE PROGRAM [ARGS...]: runs PROGRAM with FILE as its
// standard input. hyperfine can then start a request without a shell in
// between; every timed command, the references too, goes through it, so they
// all pay the same small cost (bench/run times it on its own as the floor).
// Static and free of the C++ library, so that cost stays near one exec.
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 127;
  int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::dup2(fd, STDIN_FILENO) < 0) return 127;
  ::execv(argv[2], argv + 2);
  return 127;
}
