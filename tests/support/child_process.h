#pragma once

// Child processes and private X servers for every test that starts one.

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "framing.h"

extern char** environ;

namespace tavrino::share::testing {

// A program started from argv[0], killed and reaped when it goes out of
// scope. With pipes, its standard input and output are pipes to us and its
// standard error is kept in memory; without, its output is dropped.
// Environment entries "NAME=value" replace inherited ones, a bare "NAME"
// removes one. It starts with no signal blocked, whatever we block. With
// ownGroup it leads a process group of its own that is killed whole (a program
// that starts helpers of its own, such as a message bus).
class Child {
 public:
  Child() = default;
  Child(std::vector<std::string> argv, bool pipes, const std::vector<std::string>& environment = {},
        bool ownGroup = false)
      : group_(ownGroup) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipes && (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)) throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipes) {
      input_ = in[1];
      output_ = out[0];
      errors_ = ::memfd_create("stderr", MFD_CLOEXEC);
      posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
      posix_spawn_file_actions_adddup2(&actions, errors_, STDERR_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | (ownGroup ? POSIX_SPAWN_SETPGROUP : 0));
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<std::string> variables;
    for (char** e = environ; *e; ++e) {
      const std::string_view entry(*e), name = entry.substr(0, entry.find('='));
      if (std::none_of(environment.begin(), environment.end(),
                       [&](const std::string& given) { return given.substr(0, given.find('=')) == name; }))
        variables.emplace_back(entry);
    }
    std::copy_if(environment.begin(), environment.end(), std::back_inserter(variables),
                 [](const std::string& given) { return given.find('=') != std::string::npos; });
    const int spawned = posix_spawn(&pid_, argv.at(0).c_str(), &actions, &attributes, pointers(argv).data(),
                                    pointers(variables).data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (const int fd : {in[0], out[1]})
      if (fd >= 0) ::close(fd);
    if (spawned != 0) {
      pid_ = -1;
      for (int* fd : {&input_, &output_, &errors_}) closeFd(*fd);
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  Child(Child&& other) noexcept { *this = std::move(other); }
  Child& operator=(Child&& other) noexcept {
    std::swap(pid_, other.pid_);
    std::swap(input_, other.input_);
    std::swap(output_, other.output_);
    std::swap(errors_, other.errors_);
    std::swap(unread_, other.unread_);
    std::swap(group_, other.group_);
    return *this;
  }
  ~Child() {
    kill();
    if (errors_ >= 0) ::close(errors_);
  }

  pid_t pid() const { return pid_; }
  int input() const { return input_; }
  int output() const { return output_; }
  void closeInput() { closeFd(input_); }
  void closeOutput() { closeFd(output_); }

  bool write(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const auto n = ::write(input_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // What the child has written to its standard error so far.
  std::string errors() const {
    std::string text;
    char buffer[4096];
    for (ssize_t n; errors_ >= 0 && (n = ::pread(errors_, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

  // Reads of the output wait at most `limit` in all, then throw; what lies
  // beyond what they return stays for the next read.
  using Limit = std::chrono::milliseconds;
  static constexpr Limit kLimit = std::chrono::seconds(30);

  // The next line without its end, or what is left at the end of output.
  std::string readLine(Limit limit = kLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (unread_.find('\n') == std::string::npos && readMore(deadline)) continue;
    std::string line = unread_.substr(0, unread_.find('\n'));
    unread_.erase(0, std::min(unread_.size(), line.size() + 1));
    return line;
  }
  // Everything up to the end of output.
  std::string readAll(Limit limit = kLimit) {
    for (const auto deadline = std::chrono::steady_clock::now() + limit; readMore(deadline);) continue;
    return std::exchange(unread_, {});
  }
  // The next frame's body; nothing at the end of output. A frame cut short throws.
  std::optional<std::string> readFrame(Limit limit = kLimit) {
    auto body = takeFrame(unread_);
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !body && readMore(deadline);)
      body = takeFrame(unread_);
    if (!body && !unread_.empty()) throw std::runtime_error("the output ends inside a frame");
    return body;
  }

  // The raw wait status (at most limit, then the child is killed).
  int wait(Limit limit = kLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
    return status;
  }

  // SIGTERM lets a server remove its socket and lock file; SIGKILL is for
  // children that must not get a say.
  void kill(int signal = SIGKILL) {
    closeInput();
    closeOutput();
    if (pid_ > 0) {
      ::kill(group_ ? -pid_ : pid_, signal);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  static std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
  }
  static void closeFd(int& fd) {
    if (fd >= 0) ::close(std::exchange(fd, -1));
  }
  // False at the end of output.
  bool readMore(std::chrono::steady_clock::time_point deadline) {
    char buffer[4096];
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) throw std::runtime_error("the child kept its output open");
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT32_MAX))) <= 0) continue;
      const auto n = ::read(output_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      unread_.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
  }

  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, errors_ = -1;
  std::string unread_;
  bool group_ = false;
};

// Programs that install into a home folder run as an ordinary user, as people
// run them (the setup program refuses administrator rights). With
// administrator rights, as in CI, that is the throwaway user that
// scripts/install-deps.sh creates; otherwise it is whoever runs the tests.
inline const passwd& ordinaryUser() {
  const passwd* user = ::getpwnam("tavrino-tester");
  if (!user) throw std::runtime_error("there is no user tavrino-tester; scripts/install-deps.sh makes it");
  return *user;
}

// `argv` as the ordinary user runs it: unchanged when that is us, otherwise
// through setpriv, which keeps the environment and becomes the program (the
// same process id).
inline std::vector<std::string> asOrdinaryUser(std::vector<std::string> argv) {
  if (::geteuid() != 0) return argv;
  const passwd& user = ordinaryUser();
  argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.pw_uid),
                             "--regid=" + std::to_string(user.pw_gid), "--clear-groups", "--"});
  return argv;
}

// Gives `path` and everything under it to the ordinary user: a home folder
// the test made becomes theirs.
inline void giveToOrdinaryUser(const std::filesystem::path& path) {
  if (::geteuid() != 0) return;
  const passwd& user = ordinaryUser();
  auto give = [&](const std::filesystem::path& item) {
    if (::lchown(item.c_str(), user.pw_uid, user.pw_gid) != 0)
      throw std::runtime_error("cannot give away " + item.string());
  };
  give(path);
  if (std::filesystem::is_directory(std::filesystem::symlink_status(path)))
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) give(entry.path());
}

// A private virtual display. The server picks a free display number itself
// and reports it, so that suites running side by side never share one.
// Started with no authority file, it takes local clients of every user, so
// the ordinary user's programs reach it too. Like a desktop's server, it
// does not reset when its last client leaves: a client that connects during
// a reset may wait for its answer for ever.
class Xvfb {
 public:
  explicit Xvfb(const std::string& screen = "1280x720x24", bool tcp = false)
      : server_({"/usr/bin/Xvfb", "-displayfd", "1", "-noreset", "-screen", "0", screen, tcp ? "-listen" : "-nolisten",
                 "tcp"},
                true) {
    const std::string number = server_.readLine();
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    name_ = ":" + number;
  }
  ~Xvfb() { kill(); }
  const std::string& name() const { return name_; }
  pid_t pid() const { return server_.pid(); }
  void kill() { server_.kill(SIGTERM); }

 private:
  Child server_;
  std::string name_;
};

}  // namespace tavrino::share::testing
