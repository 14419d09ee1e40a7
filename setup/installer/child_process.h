#pragma once

#include <sys/types.h>

namespace tavrino::setup {

// A started child process that is always reaped: when it is dropped before
// wait() (an error on the way), it is killed first so that nothing blocks.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Waits for the exit and returns the raw wait status.
  int wait();

 private:
  pid_t pid_;
};

}  // namespace tavrino::setup
