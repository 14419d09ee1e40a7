#include "installer/helper_check.h"

#include "installer/child_process.h"
#include "installer/setup_error.h"
#include "installer/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <system_error>

extern char** environ;

namespace tavrino::setup {
namespace {

using Clock = std::chrono::steady_clock;

// Enough for any loader message; the rest is read and dropped so that a
// talkative program never blocks on a full pipe.
constexpr std::size_t kKeptErrorBytes = 16 * 1024;

[[noreturn]] void cannotRun(std::string detail = {}) {
  throw SetupError("The share helper cannot run on this computer.", std::move(detail));
}

// The error output up to its end or the deadline; false when the deadline came first.
bool readUntil(int fd, Clock::time_point deadline, std::string& kept) {
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "Cannot wait for a process");
    if (ready <= 0) continue;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw std::system_error(errno, std::generic_category(), "Cannot read the output of a process");
    }
    kept.append(buffer, std::min(static_cast<std::size_t>(got), kKeptErrorBytes - std::min(kKeptErrorBytes, kept.size())));
  }
}

// This program's environment without what points the loader elsewhere: the
// browser starts the helper from the user's session, where whatever library
// path this program was started with does not apply.
std::vector<std::string> sessionEnvironment() {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view variable(*entry);
    if (!variable.starts_with("LD_LIBRARY_PATH=") && !variable.starts_with("LD_PRELOAD=")) {
      result.emplace_back(variable);
    }
  }
  return result;
}

}  // namespace

std::string missingLibrary(std::string_view loaderOutput) {
  const std::string text(loaderOutput);
  std::smatch found;
  // "prog: error while loading shared libraries: libfoo.so.1: cannot open shared object file: ..."
  static const std::regex missing(R"(error while loading shared libraries: ([^:\n]+): cannot open shared object file)");
  if (std::regex_search(text, found, missing)) {
    return "The library " + found[1].str() + " is missing.";
  }
  // "prog: /lib/x86_64-linux-gnu/libc.so.6: version `GLIBC_2.38' not found (required by prog)"
  static const std::regex version(R"(([^:\s/]+): version `([^'\n]+)' not found)");
  if (std::regex_search(text, found, version)) {
    return "The library " + found[1].str() + " is older than the version " + found[2].str() + " it needs.";
  }
  return {};
}

void checkHelperRuns(const std::filesystem::path& executable, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  auto [readEnd, writeEnd] = makePipe();
  SpawnActions actions;
  actions.open(STDIN_FILENO, "/dev/null", O_RDONLY);
  actions.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
  actions.dup2(writeEnd.get(), STDERR_FILENO);
  std::optional<ChildProcess> child;
  try {
    child.emplace(executable.string(), std::vector<std::string>{"--check-build"}, actions, sessionEnvironment());
  } catch (const std::system_error& error) {
    // Not a program for this computer, or not executable at all.
    cannotRun("The system refused to start it: " + error.code().message() + ".");
  }
  writeEnd.reset();

  std::string errors;
  std::optional<int> status;
  if (readUntil(readEnd.get(), deadline, errors)) status = child->waitUntil(deadline);
  // Dropping a child that still runs kills it.
  if (!status) cannotRun("It did not finish its start-up check in time.");
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) return;
  cannotRun(missingLibrary(errors));
}

}  // namespace tavrino::setup
