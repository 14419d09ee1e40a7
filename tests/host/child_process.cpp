#include "child_process.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavrino::share::testing {

namespace {

struct SpawnActions {
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  posix_spawn_file_actions_t actions;
};

std::pair<FileDescriptor, FileDescriptor> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return {FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& extraEnvironment) {
  auto [inRead, inWrite] = makePipe();
  auto [outRead, outWrite] = makePipe();
  SpawnActions spawn;
  posix_spawn_file_actions_adddup2(&spawn.actions, inRead.fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&spawn.actions, outWrite.fd, STDOUT_FILENO);
  errors_.reset(::memfd_create("stderr", MFD_CLOEXEC));
  posix_spawn_file_actions_adddup2(&spawn.actions, errors_.fd, STDERR_FILENO);

  std::vector<std::string> storage{path};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  const auto replaced = [&](std::string_view entry) {
    for (const auto& extra : extraEnvironment)
      if (entry.starts_with(extra.substr(0, extra.find('=') + 1))) return true;
    return false;
  };
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("DISPLAY=") || entry.starts_with("WAYLAND_DISPLAY=") ||
        entry.starts_with("XDG_SESSION_TYPE=") || replaced(entry))
      continue;
    environment.emplace_back(entry);
  }
  environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  if (posix_spawn(&pid_, path.c_str(), &spawn.actions, nullptr, argv.data(), envp.data()) != 0)
    throw std::runtime_error("cannot start " + path);
  input_.reset(std::exchange(inWrite.fd, -1));
  output_.reset(std::exchange(outRead.fd, -1));
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string ChildProcess::errors() const {
  std::string text;
  char buffer[4096];
  for (off_t at = 0;;) {
    const auto n = ::pread(errors_.fd, buffer, sizeof buffer, at);
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
}

bool ChildProcess::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto n = ::write(input_.fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string ChildProcess::readAll() {
  return readUntil([](const std::string&) { return false; });
}

std::string ChildProcess::readUntil(const std::function<bool(const std::string&)>& enough) {
  std::string result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("the child kept its output open");
    pollfd p{output_.fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const auto n = ::read(output_.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return result;
    result.append(buffer, static_cast<std::size_t>(n));
    if (enough(result)) return result;
  }
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
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

}  // namespace tavrino::share::testing
