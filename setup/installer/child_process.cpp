#include "installer/child_process.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

extern char** environ;

namespace tavrino::setup {
namespace {

// The raw wait status; nothing when WNOHANG is given and it still runs.
std::optional<int> reap(pid_t pid, int options = 0) {
  int status = 0;
  pid_t reaped;
  while ((reaped = ::waitpid(pid, &status, options)) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "Cannot wait for a process");
  }
  if (reaped == 0) return std::nullopt;
  return status;
}

void check(int rc) {
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "Cannot prepare a process launch");
}

// A null-terminated array of pointers into `texts`, as exec takes them.
std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (auto& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

SpawnActions::SpawnActions() { check(posix_spawn_file_actions_init(&actions_)); }
SpawnActions::~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
void SpawnActions::open(int fd, const char* path, int flags) {
  check(posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0));
}
void SpawnActions::dup2(int from, int to) { check(posix_spawn_file_actions_adddup2(&actions_, from, to)); }

ChildProcess::ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
                           const SpawnActions& actions, const std::optional<std::vector<std::string>>& environment) {
  std::vector<std::string> copies{executable};
  copies.insert(copies.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = pointers(copies);
  std::vector<std::string> variables = environment.value_or(std::vector<std::string>{});
  std::vector<char*> envp = pointers(variables);
  if (const int rc = posix_spawn(&pid_, executable.c_str(), actions.get(), nullptr, argv.data(),
                                 environment ? envp.data() : environ);
      rc != 0) {
    pid_ = -1;
    throw std::system_error(rc, std::generic_category(), "Cannot launch " + executable);
  }
}

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
  const int status = *reap(pid_);
  pid_ = -1;
  return status;
}

std::optional<int> ChildProcess::waitUntil(std::chrono::steady_clock::time_point deadline) {
  // A short program has mostly ended by the first look; a few milliseconds
  // between looks cost nothing against a limit of seconds.
  for (;;) {
    if (const std::optional<int> status = reap(pid_, WNOHANG)) {
      pid_ = -1;
      return status;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace tavrino::setup
