#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace tavrino::share::testing {

// An owned file descriptor.
struct FileDescriptor {
  FileDescriptor(int fd = -1) : fd(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  ~FileDescriptor() { reset(); }
  void reset(int next = -1) {
    if (fd >= 0) ::close(fd);
    fd = next;
  }
  int fd;
};

// A program started with pipes on its standard input and output, standard
// error kept in memory, and no display in its environment but one given in
// `environment` (whose "NAME=value" entries replace inherited ones). Killed
// and reaped if the test ends early.
class ChildProcess {
 public:
  ChildProcess(const std::string& path, std::vector<std::string> arguments, std::vector<std::string> environment = {}) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const FileDescriptor childInput(in[0]);
    input_.reset(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const FileDescriptor childOutput(out[1]);
    output_.reset(out[0]);
    errors_.reset(::memfd_create("stderr", MFD_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childInput.fd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOutput.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors_.fd, STDERR_FILENO);

    const std::size_t given = environment.size();
    for (char** e = environ; *e; ++e) {
      const std::string_view entry(*e), name = entry.substr(0, entry.find('=') + 1);
      bool keep = name != "DISPLAY=" && name != "WAYLAND_DISPLAY=" && name != "XDG_SESSION_TYPE=";
      for (std::size_t i = 0; i < given; ++i) keep = keep && !environment[i].starts_with(name);
      if (keep) environment.emplace_back(entry);
    }
    arguments.insert(arguments.begin(), path);
    const auto pointers = [](std::vector<std::string>& strings) {
      std::vector<char*> result;
      for (auto& s : strings) result.push_back(s.data());
      result.push_back(nullptr);
      return result;
    };
    const int spawned = posix_spawn(&pid_, path.c_str(), &actions, nullptr, pointers(arguments).data(),
                                    pointers(environment).data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + path);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }
  void closeInput() { input_.reset(); }
  void closeOutput() { output_.reset(); }

  bool write(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const auto n = ::write(input_.fd, bytes.data() + done, bytes.size() - done);
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
    for (ssize_t n; (n = ::pread(errors_.fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

  // Output read so far once enough(output) holds, or the child closes its
  // output (at most 30 s); the rest stays for the next read.
  std::string readUntil(const std::function<bool(const std::string&)>& enough) {
    std::string result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buffer[4096];
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) throw std::runtime_error("the child kept its output open");
      pollfd p{output_.fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      const auto n = ::read(output_.fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return result;
      result.append(buffer, static_cast<std::size_t>(n));
      if (enough(result)) return result;
    }
  }
  // Everything the child writes until it closes its output (at most 30 s).
  std::string readAll() {
    return readUntil([](const std::string&) { return false; });
  }

  // The raw wait status (at most limit, then the child is killed).
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reaped_ = true;
    return status;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  FileDescriptor input_, output_, errors_;
};

}  // namespace tavrino::share::testing
