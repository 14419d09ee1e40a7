#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tavrino::setup {

// What a launched program's standard streams are connected to.
class SpawnActions {
 public:
  SpawnActions();
  ~SpawnActions();
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;

  void open(int fd, const char* path, int flags);
  void dup2(int from, int to);
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// A started child process that is always reaped: when it is dropped before
// wait() (an error on the way), it is killed first so that nothing blocks.
class ChildProcess {
 public:
  // Starts `executable` with `arguments` after it, not through a shell, in
  // this program's environment or the given one ("NAME=value" entries).
  // Throws std::system_error with the cause when it cannot be started
  // (missing, not executable, not a program).
  ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
               const SpawnActions& actions, const std::optional<std::vector<std::string>>& environment = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Waits for the exit and returns the raw wait status.
  int wait();
  // The raw wait status once it has exited, or nothing when it still runs
  // at `deadline` (it is then killed when dropped).
  std::optional<int> waitUntil(std::chrono::steady_clock::time_point deadline);

 private:
  pid_t pid_ = -1;
};

}  // namespace tavrino::setup
