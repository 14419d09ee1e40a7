// Drives the share helper as the browser extension does: native-messaging
// frames on its standard input and output, "sources" then "start" for the
// first display, and an acknowledgement for every frame the moment it
// arrives. The stream is recorded with arrival times (stream_record.h). On
// SIGTERM or SIGINT the helper's input is closed, which stops the capture;
// its "stats" go to stderr.
#include "helper_session.h"

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/base64.h>
}

#include "stream_record.h"
#include "support/child_process.h"

namespace tavrino::bench {

namespace {

using share::testing::Child;

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
  explicit RequestPipe(Child& helper) : helper_(helper) {}
  bool send(const nlohmann::json& request) {
    std::lock_guard lock(mutex_);
    return helper_.write(share::testing::frame(request.dump()));
  }
  void close() {
    std::lock_guard lock(mutex_);
    helper_.closeInput();
  }

 private:
  std::mutex mutex_;
  Child& helper_;
};

}  // namespace

int driveHelper(const HelperOptions& options) {
  // Stop signals are taken by one thread with sigwait; the helper starts
  // with an empty mask.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  Child helper;
  try {
    helper = Child({options.helper, "--test-window=" + std::to_string(options.excludeWindow.value_or(0))}, true);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  if (!options.pidFile.empty()) std::ofstream(options.pidFile) << helper.pid() << "\n";

  RequestPipe requests(helper);
  std::thread stopper([&] {
    int signal = 0;
    sigwait(&stops, &signal);
    requests.close();  // end of input: the helper stops the capture and exits
  });

  RecordWriter record(options.out);
  bool failed = !record.ok();
  std::int64_t frames = 0;
  for (;;) {
    std::optional<std::string> body;
    try {
      body = helper.readFrame(std::chrono::hours(24));
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s\n", error.what());
      failed = true;
    }
    if (!body) break;
    const std::int64_t arrival = wallClockMicros();
    const auto message = nlohmann::json::parse(*body, nullptr, false);
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
  const int status = helper.wait();
  std::fputs(helper.errors().c_str(), stderr);
  ::kill(::getpid(), SIGTERM);  // releases the stop thread if no signal came
  stopper.join();
  if (!record.close()) failed = true;
  if (frames == 0) std::fprintf(stderr, "the helper sent no frame\n");
  return failed || frames == 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ? 1 : 0;
}

}  // namespace tavrino::bench
