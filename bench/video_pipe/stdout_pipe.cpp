#include "stdout_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace tavrino::share::bench {

StdoutPipe::StdoutPipe(int capacity) {
  std::cout.flush();
  std::fflush(stdout);
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
  readEnd_ = ends[0];
  if (capacity > 0 && ::fcntl(ends[1], F_SETPIPE_SZ, capacity) < 0)
    throw std::runtime_error("F_SETPIPE_SZ failed");
  savedStdout_ = ::dup(STDOUT_FILENO);
  ::dup2(ends[1], STDOUT_FILENO);
  ::close(ends[1]);
  drainer_ = std::thread([this] {
    std::vector<char> buffer(1 << 20);
    for (;;) {
      ssize_t n = ::read(readEnd_, buffer.data(), buffer.size());
      if (n <= 0) return;
      drained_ += static_cast<std::size_t>(n);
    }
  });
}

StdoutPipe::~StdoutPipe() {
  ::dup2(savedStdout_, STDOUT_FILENO);  // closes the last write end: the drainer sees the end
  ::close(savedStdout_);
  drainer_.join();
  ::close(readEnd_);
}

}  // namespace tavrino::share::bench
