#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tavrino::share::testing {

// A child process killed and reaped when it goes out of scope; with
// ownGroup, in a process group of its own that is killed whole (a program
// that starts helpers of its own, such as a message bus).
class Child {
 public:
  Child() = default;
  Child(std::vector<std::string> argv, bool pipeStdio, bool ownGroup = false) : group_(ownGroup) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipeStdio) {
      if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
      posix_spawn_file_actions_adddup2(&actions, in[0], 0);
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (ownGroup) {
      posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
      posix_spawnattr_setpgroup(&attributes, 0);
    }
    int rc = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeStdio) {
      close(in[0]);
      close(out[1]);
      stdin_ = in[1];
      stdout_ = out[0];
    }
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  }
  Child(Child&& o) noexcept { *this = std::move(o); }
  Child& operator=(Child&& o) noexcept {
    std::swap(pid_, o.pid_);
    std::swap(stdin_, o.stdin_);
    std::swap(stdout_, o.stdout_);
    std::swap(group_, o.group_);
    return *this;
  }
  ~Child() { kill(); }

  pid_t pid() const { return pid_; }
  int input() const { return stdin_; }
  int output() const { return stdout_; }
  void closeInput() {
    if (stdin_ >= 0) close(std::exchange(stdin_, -1));
  }
  // The exit status, waiting for the child to end by itself.
  int wait() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
  }

  std::string readLine() const {
    std::string line;
    char ch;
    while (read(stdout_, &ch, 1) == 1 && ch != '\n') line.push_back(ch);
    return line;
  }

  // SIGTERM lets a server remove its socket and lock file; SIGKILL is for
  // children that must not get a say.
  void kill(int signal = SIGKILL) {
    if (stdin_ >= 0) close(std::exchange(stdin_, -1));
    if (stdout_ >= 0) close(std::exchange(stdout_, -1));
    if (pid_ > 0) {
      ::kill(group_ ? -pid_ : pid_, signal);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  bool group_ = false;
};

// A private virtual display for one test suite.
class Xvfb {
 public:
  // The server picks a free display number itself and reports it, so
  // parallel tests never race for one.
  explicit Xvfb(const std::string& screen = "1280x720x24", bool tcp = false) {
    server_ = Child({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", screen, tcp ? "-listen" : "-nolisten", "tcp"},
                    true);
    const std::string number = server_.readLine();
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    name_ = ":" + number;
  }
  const std::string& name() const { return name_; }
  void kill() { server_.kill(SIGTERM); }
  ~Xvfb() { kill(); }

 private:
  std::string name_;
  Child server_;
};

}  // namespace tavrino::share::testing
