// The helper on a virtual X display: its own life through captures, stops,
// the end of input and an X server that stops answering.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "frames.h"
#include "platform/x11/desktop_session.h"
#include "platform/x11/x11_capture_service.h"
#include "platform/x11/xcb_connection.h"
#include "x11/x11_test_support.h"

namespace tavrino::share::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Types = std::vector<std::string>;

// The helper as the browser drives it: requests in, messages out, every
// frame acknowledged as soon as it arrives.
class Helper {
 public:
  explicit Helper(const Xvfb& display)
      : process_(TAVRINO_SHARE_HOST_PATH, {"--test-application"}, {"DISPLAY=" + display.name()}) {}

  ChildProcess& process() { return process_; }
  void send(const json& request) { ASSERT_TRUE(process_.write(frame(request.dump()))); }
  void start(const std::string& request, std::uint32_t display) {
    send({{"command", "start"}, {"request", request}, {"display", display}, {"testExclude", false}});
  }

  // The next message of the type; those before it stay in messages().
  json await(const std::string& type) {
    for (;;) {
      for (; seen_ < messages_.size(); ++seen_) {
        const json& message = messages_[seen_];
        if (message["type"] == "frame")
          send({{"command", "ack"}, {"request", message["request"]}, {"id", message["id"]}});
        if (message["type"] == type) return messages_[seen_++];
      }
      const std::string more = process_.readUntil(
          [&](const std::string& output) { return !frameBodies(unread_ + output).empty(); });
      if (more.empty()) throw std::runtime_error("the helper ended before a " + type + " message");
      unread_ += more;
      std::size_t rest = 0;
      for (const auto& body : frameBodies(unread_, &rest)) messages_.push_back(json::parse(body));
      unread_.erase(0, unread_.size() - rest);
    }
  }
  // Every message up to the end of output.
  Types typesToTheEnd() {
    unread_ += process_.readAll();
    for (const auto& body : frameBodies(unread_)) messages_.push_back(json::parse(body));
    Types types;
    for (const auto& message : messages_) types.push_back(message["type"]);
    return types;
  }
  std::uint32_t firstDisplay() {
    send({{"command", "sources"}, {"request", "s"}});
    return await("sources")["displays"].at(0)["id"].get<std::uint32_t>();
  }

 private:
  ChildProcess process_;
  std::vector<json> messages_;
  std::size_t seen_ = 0;
  std::string unread_;
};

void expectExitZero(ChildProcess& process, std::chrono::milliseconds limit = 30s) {
  const int status = process.wait(limit);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << process.errors();
  EXPECT_EQ(WEXITSTATUS(status), 0) << process.errors();
}

// What a process holds that a capture could leak.
struct Holdings {
  std::size_t descriptors = 0;
  std::size_t threads = 0;
  std::size_t sharedMemory = 0;  // System V segments it created
  long residentKiB = 0;
  bool operator==(const Holdings& o) const {
    return descriptors == o.descriptors && threads == o.threads && sharedMemory == o.sharedMemory;
  }
};

std::size_t entries(const std::string& directory) {
  std::size_t count = 0;
  if (DIR* d = ::opendir(directory.c_str())) {
    while (const dirent* e = ::readdir(d)) count += e->d_name[0] != '.';
    ::closedir(d);
  }
  return count;
}

Holdings holdingsOf(pid_t pid) {
  Holdings h;
  h.descriptors = entries("/proc/" + std::to_string(pid) + "/fd");
  h.threads = entries("/proc/" + std::to_string(pid) + "/task");
  std::ifstream segments("/proc/sysvipc/shm");
  std::string line;
  std::getline(segments, line);  // header: key shmid perms size cpid ...
  while (std::getline(segments, line)) {
    std::istringstream fields(line);
    long key, id, perms, size, creator;
    if (fields >> key >> id >> perms >> size >> creator && creator == pid) ++h.sharedMemory;
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  while (std::getline(status, line))
    if (line.starts_with("VmRSS:")) h.residentKiB = std::stol(line.substr(6));
  return h;
}

std::ostream& operator<<(std::ostream& out, const Holdings& h) {
  return out << h.descriptors << " descriptors, " << h.threads << " threads, " << h.sharedMemory
             << " shared memory segments, " << h.residentKiB << " KiB resident";
}

class HelperOnADisplay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { display_ = std::make_unique<Xvfb>(); }
  static void TearDownTestSuite() { display_.reset(); }
  static inline std::unique_ptr<Xvfb> display_;
};

// The end of input while a capture runs, or while its stop is under way,
// still ends every capture with "stats" then "stopped", and the process.
TEST_F(HelperOnADisplay, EndOfInputEndsTheRunningCaptureInOrder) {
  for (const bool stopFirst : {false, true}) {
    Helper helper(*display_);
    helper.start("r", helper.firstDisplay());
    helper.await("frame");
    if (stopFirst) helper.send({{"command", "stop"}});
    helper.process().closeInput();
    Types types = helper.typesToTheEnd();
    std::erase(types, "frame");
    std::erase(types, "configuration");
    EXPECT_EQ(types, stopFirst ? (Types{"hello", "sources", "started", "stats", "stopped", "stopped"})
                               : (Types{"hello", "sources", "started", "stats", "stopped"}))
        << "stop first: " << stopFirst;
    expectExitZero(helper.process());
  }
}

TEST_F(HelperOnADisplay, ManyCapturesLeaveNothingBehind) {
  Helper helper(*display_);
  const std::uint32_t display = helper.firstDisplay();
  const auto cycle = [&](int n) {
    helper.start("c" + std::to_string(n), display);
    helper.await("frame");
    helper.send({{"command", "stop"}});
    helper.await("stopped");
  };
  const auto settled = [&] {
    // Threads that ended their work a moment ago may still be leaving.
    std::this_thread::sleep_for(200ms);
    return holdingsOf(helper.process().pid());
  };
  for (int n = 0; n < 3; ++n) cycle(n);
  const Holdings before = settled();
  // The allocator keeps some memory per thread it has seen: resident memory
  // is compared once that has levelled off.
  for (int n = 3; n < 40; ++n) cycle(n);
  const Holdings levelled = settled();
  for (int n = 40; n < 80; ++n) cycle(n);
  const Holdings after = settled();
  EXPECT_EQ(after, before) << "before: " << before << "\nafter: " << after;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (Sanitizers keep freed memory; their own leak check covers those builds.)
  // A capture's encoder and pictures are megabytes: half a megabyte a cycle is a leak.
  EXPECT_LT(after.residentKiB - levelled.residentKiB, 20 * 1024) << levelled << "\n" << after;
#endif
  helper.process().closeInput();
  expectExitZero(helper.process());
}

// A stopped X server neither answers queries nor holds up the end.
TEST_F(HelperOnADisplay, ExitsAtEndOfInputWhileTheServerDoesNotAnswer) {
  Helper helper(*display_);
  helper.await("hello");
  std::ifstream lock("/tmp/.X" + display_->name().substr(1) + "-lock");
  pid_t server = 0;
  ASSERT_TRUE(lock >> server);
  ASSERT_EQ(::kill(server, SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{server};
  helper.send({{"command", "sources"}, {"request", "hung"}});
  std::this_thread::sleep_for(300ms);  // the query now waits for the server
  helper.process().closeInput();
  expectExitZero(helper.process(), 5s);
  EXPECT_EQ(helper.typesToTheEnd(), (Types{"hello", "stopped"}));
}

// Frames are stamped at their capture tick: never closer than 1/12 s.
TEST_F(HelperOnADisplay, FramesAreAtLeastTheMinimumIntervalApart) {
  Helper helper(*display_);
  helper.start("t", helper.firstDisplay());
  std::int64_t previous = helper.await("frame")["timestamp"];
  for (int i = 0; i < 12; ++i) {
    const std::int64_t timestamp = helper.await("frame")["timestamp"];
    EXPECT_GE(timestamp - previous, 83'333) << "frame " << i;
    previous = timestamp;
  }
}

// The start asks for the display's width on the main thread: the answer comes
// from the content query, without another round trip to the server.
TEST(X11Service, KnowsTheDisplayWidthFromTheContentQuery) {
  Xvfb own("640x480x24");
  X11CaptureService service(own.name());
  std::promise<ContentResult> answered;
  service.getShareableContent(false, true, [&](ContentResult r) { answered.set_value(std::move(r)); });
  const auto result = answered.get_future().get();
  ASSERT_TRUE(std::holds_alternative<ShareableContent>(result)) << std::get<ErrorValue>(result).description;
  const std::uint32_t id = std::get<ShareableContent>(result).displays.at(0).displayID;
  own.kill();
  EXPECT_EQ(service.displayPixelsWide(id), 640);
}

TEST(DesktopSession, RefusesXwaylandAndNamesWaylandWhenNoServerAnswers) {
  const auto refused = [](x11::SessionSignals signals) { return x11::refuseWaylandSession(signals).has_value(); };
  EXPECT_TRUE(refused({true, true, {"DP-1"}, "", false}));
  EXPECT_TRUE(refused({true, false, {"XWAYLAND0", "XWAYLAND1"}, "wayland", true}));
  // A real X server is an X11 desktop whatever the environment says.
  EXPECT_FALSE(refused({true, false, {"DP-1", "HDMI-1"}, "wayland", true}));
  EXPECT_FALSE(refused({true, false, {}, "x11", false}));
  EXPECT_TRUE(refused({false, false, {}, "wayland", false}));
  EXPECT_TRUE(refused({false, false, {}, "", true}));
  EXPECT_FALSE(refused({false, false, {}, "x11", false}));
  EXPECT_EQ(x11::refuseWaylandSession({true, true, {}, "", false})->description,
            "Protected sharing needs an X11 desktop session; this desktop runs Wayland.");
}

TEST_F(HelperOnADisplay, AVirtualDisplayReadsAsAnX11Desktop) {
  ErrorValue error;
  const auto x = x11::XcbConnection::open(display_->name().c_str(), error);
  ASSERT_TRUE(x) << error.description;
  const auto signals = x11::readSessionSignals(&*x);
  EXPECT_TRUE(signals.serverReached);
  EXPECT_FALSE(signals.xwaylandExtension);
  EXPECT_FALSE(signals.outputNames.empty());
  EXPECT_FALSE(x11::refuseWaylandSession(signals));
}

}  // namespace
}  // namespace tavrino::share::testing
