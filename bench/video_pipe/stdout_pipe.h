#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace tavrino::share::bench {

// Points standard output at a pipe whose other end a thread drains, as the
// browser does, for as long as the object lives; then puts it back.
class StdoutPipe {
 public:
  // capacity: the pipe's buffer size in bytes, 0 for the system's default
  // (64 KiB on Linux, what the browser's pipe has).
  explicit StdoutPipe(int capacity = 0);
  ~StdoutPipe();
  StdoutPipe(const StdoutPipe&) = delete;
  StdoutPipe& operator=(const StdoutPipe&) = delete;

  std::size_t bytesDrained() const { return drained_.load(); }

 private:
  int savedStdout_ = -1;
  int readEnd_ = -1;
  std::atomic<std::size_t> drained_{0};
  std::thread drainer_;
};

}  // namespace tavrino::share::bench
