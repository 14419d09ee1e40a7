#include "installer/child_process.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace tavrino::setup {
namespace {

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "Cannot wait for a process");
  }
  return status;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  try {
    reap(pid_);
  } catch (const std::system_error&) {
    // Nothing more can be done for a child that cannot be waited for.
  }
}

int ChildProcess::wait() {
  const int status = reap(pid_);
  pid_ = -1;
  return status;
}

}  // namespace tavrino::setup
