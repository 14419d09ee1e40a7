#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

namespace tavrino::share::testing {

// An owned file descriptor.
struct FileDescriptor {
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  ~FileDescriptor() { reset(); }
  void reset(int next = -1) {
    if (fd >= 0) ::close(fd);
    fd = next;
  }
  int fd = -1;
};

// A program started with pipes on its standard input and output, standard
// error kept in memory, and without a display in its environment. Killed and reaped if the test ends early.
class ChildProcess {
 public:
  // extraEnvironment entries ("NAME=value") replace inherited ones of that name.
  ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
               const std::vector<std::string>& extraEnvironment = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  bool write(const std::string& bytes);
  // What the child has written to its standard error so far.
  std::string errors() const;
  void closeInput() { input_.reset(); }
  void closeOutput() { output_.reset(); }
  // Everything the child writes until it closes its output (at most 30 s).
  std::string readAll();
  // Output read so far once enough(output) holds, or the child closes its
  // output (at most 30 s); the rest stays for the next read.
  std::string readUntil(const std::function<bool(const std::string&)>& enough);
  // The raw wait status (at most limit, then the child is killed).
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  FileDescriptor input_;
  FileDescriptor output_;
  FileDescriptor errors_;
};

}  // namespace tavrino::share::testing
