// Drives the share helper as the browser extension does: native-messaging
// frames on its standard input and output, "sources" then "start" for the
// first display, and an acknowledgement for every frame the moment it
// arrives. The stream is recorded with arrival times (stream_record.h). On
// SIGTERM or SIGINT the helper's input is closed, which stops the capture;
// its "stats" go to stderr.
#include "helper_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/base64.h>
}

#include "stream_record.h"

extern char** environ;

namespace tavrino::bench {

namespace {

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<std::uint8_t> fromBase64(const std::string& text) {
  std::vector<std::uint8_t> bytes(AV_BASE64_DECODE_SIZE(text.size()));
  const int n = av_base64_decode(bytes.data(), text.c_str(), static_cast<int>(bytes.size()));
  bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return bytes;
}

// The helper's standard input: requests from the reading thread, and the
// close that ends the capture from the signal thread.
class RequestPipe {
 public:
  explicit RequestPipe(int fd) : fd_(fd) {}
  ~RequestPipe() { close(); }
  bool send(const nlohmann::json& request) {
    const std::string body = request.dump();
    const auto length = static_cast<std::uint32_t>(body.size());
    const std::uint8_t header[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                    static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    std::lock_guard lock(mutex_);
    return fd_ >= 0 && writeAll(fd_, header, 4) && writeAll(fd_, body.data(), body.size());
  }
  void close() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  std::mutex mutex_;
  int fd_;
};

}  // namespace

int driveHelper(const HelperOptions& options) {
  // Stop signals are taken by one thread with sigwait; the helper gets the
  // default dispositions and an empty mask back.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  int toHelper[2], fromHelper[2];
  if (::pipe2(toHelper, O_CLOEXEC) != 0 || ::pipe2(fromHelper, O_CLOEXEC) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toHelper[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromHelper[1], 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults = stops;
  sigemptyset(&none);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string helper = options.helper;
  std::string windowArg = "--test-window=" + std::to_string(options.excludeWindow.value_or(0));
  char* argv[] = {helper.data(), windowArg.data(), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, helper.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(toHelper[0]);
  ::close(fromHelper[1]);
  if (spawned != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", helper.c_str(), std::strerror(spawned));
    return 1;
  }
  if (!options.pidFile.empty()) std::ofstream(options.pidFile) << pid << "\n";

  RequestPipe requests(toHelper[1]);
  std::thread stopper([&] {
    int signal = 0;
    sigwait(&stops, &signal);
    requests.close();  // end of input: the helper stops the capture and exits
  });

  RecordWriter record(options.out);
  const int replies = fromHelper[0];
  bool failed = !record.ok();
  std::int64_t frames = 0;
  std::string body;
  for (;;) {
    std::uint8_t header[4];
    if (!readFully(replies, header, 4)) break;
    const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 | static_cast<std::uint32_t>(header[3]) << 24;
    body.resize(length);
    if (!readFully(replies, body.data(), length)) break;
    const std::int64_t arrival = wallClockMicros();
    const auto message = nlohmann::json::parse(body, nullptr, false);
    if (!message.is_object()) continue;
    const std::string type = message.value("type", "");
    if (type == "frame") {
      requests.send({{"command", "ack"}, {"request", message.value("request", "")}, {"id", message["id"]}});
      record.write(StreamRecord::kFrame, arrival, fromBase64(message.value("data", "")));
      ++frames;
    } else if (type == "configuration") {
      record.write(StreamRecord::kConfiguration, arrival, fromBase64(message.value("description", "")));
    } else if (type == "hello") {
      requests.send({{"command", "sources"}, {"request", "bench-sources"}});
    } else if (type == "sources") {
      const auto& displays = message.value("displays", nlohmann::json::array());
      if (displays.empty()) {
        std::fprintf(stderr, "the helper lists no display\n");
        failed = true;
        requests.close();
        continue;
      }
      requests.send({{"command", "start"},
                     {"request", "bench"},
                     {"display", displays[0].value("id", 0)},
                     {"testExclude", options.excludeWindow.has_value()}});
    } else if (type == "error") {
      std::fprintf(stderr, "helper error: %s\n", message.value("message", "").c_str());
      failed = true;
    } else if (type == "stats") {
      std::fprintf(stderr, "helper stats: %s\n", message.dump().c_str());
    }
  }
  ::close(replies);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::kill(::getpid(), SIGTERM);  // releases the stop thread if no signal came
  stopper.join();
  if (!record.close()) failed = true;
  if (frames == 0) std::fprintf(stderr, "the helper sent no frame\n");
  return failed || frames == 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ? 1 : 0;
}

}  // namespace tavrino::bench
