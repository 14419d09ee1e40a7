#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "platform/x11/desktop_session.h"

namespace tavrino::share::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Types = std::vector<std::string>;

// Writes to a helper that has ended must fail with an error, not end the tests.
[[maybe_unused]] const auto ignoreBrokenPipes = std::signal(SIGPIPE, SIG_IGN);

void expectCleanExit(Child& helper, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const int status = helper.wait(limit);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0)
                                 << "\n" << helper.errors();
  EXPECT_EQ(WEXITSTATUS(status), 0) << helper.errors();
}

// The helper as the browser drives it: requests in, messages out, every
// frame acknowledged as soon as it is seen. It finds no display but one given.
class Helper : public Child {
 public:
  explicit Helper(const std::vector<std::string>& environment = {}, const std::vector<std::string>& arguments = {})
      : Child(joined({TAVRINO_SHARE_HOST_PATH}, arguments), true,
              joined({"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"}, environment)) {}
  explicit Helper(const Xvfb& display) : Helper({"DISPLAY=" + display.name()}, {"--test-application"}) {}

  void send(const json& request) { ASSERT_TRUE(write(frame(request.dump()))); }
  void start(const std::string& request, std::uint32_t display) {
    send({{"command", "start"}, {"request", request}, {"display", display}, {"testExclude", false}});
  }

  // Every message so far, once there are count of them or the output has
  // ended; a partial frame at the end throws.
  const std::vector<json>& read(std::size_t count = SIZE_MAX) {
    while (messages_.size() < count) {
      const auto body = readFrame();
      if (!body) break;
      messages_.push_back(json::parse(*body));
    }
    return messages_;
  }
  // The next message of the type; those before it stay in read().
  json await(const std::string& type) {
    for (;;) {
      for (; seen_ < messages_.size(); ++seen_) {
        const json& message = messages_[seen_];
        if (message["type"] == "frame")
          send({{"command", "ack"}, {"request", message["request"]}, {"id", message["id"]}});
        if (message["type"] == type) return messages_[seen_++];
        if (message["type"] == "error") throw std::runtime_error("awaiting " + type + ": " + message.dump());
      }
      if (read(seen_ + 1).size() <= seen_) throw std::runtime_error("the helper ended before a " + type);
    }
  }
  // The types of every message up to the end of output.
  Types typesToTheEnd() {
    Types types;
    for (const auto& m : read()) types.push_back(m.value("type", "?"));
    return types;
  }
  std::uint32_t firstDisplay() {
    send({{"command", "sources"}, {"request", "s"}});
    return await("sources")["displays"].at(0)["id"].get<std::uint32_t>();
  }

 private:
  static std::vector<std::string> joined(std::vector<std::string> first, const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
  }

  std::vector<json> messages_;
  std::size_t seen_ = 0;
};

TEST(HelperProcess, AnswersRequestsUpToTheLimitAndEndsReadingOnBadFrames) {
  const std::string stop = frame(R"({"command":"stop"})");
  const std::pair<std::string, Types> cases[] = {
      {"", {"hello", "stopped"}},
      {frame(stopOfSize(16384)), {"hello", "stopped", "stopped"}},
      {frame(stopOfSize(20000)) + stop, {"hello", "stopped"}},
  };
  for (const auto& [input, types] : cases) {
    Helper helper;
    helper.write(input);  // fits the pipe; may fail once the helper has stopped reading
    helper.closeInput();
    EXPECT_EQ(helper.typesToTheEnd(), types) << input.size();
    EXPECT_EQ(helper.read().at(0), (json{{"type", "hello"}, {"version", 1}}));
    expectCleanExit(helper);
  }
}

TEST(HelperProcess, ExitsWithStatusZeroWhenItsOutputIsClosed) {
  // The exit is immediate by design and leaves the reader thread running;
  // a thread-sanitizer build must not count that as a leak.
  std::string tsan = "TSAN_OPTIONS=report_thread_leaks=0";
  if (const char* inherited = std::getenv("TSAN_OPTIONS")) tsan += std::string(":") + inherited;
  Helper helper(std::vector{tsan});
  helper.closeOutput();
  // Whether or not "hello" still fitted into the pipe, the reply to this fails.
  helper.write(frame(R"({"command":"stop"})"));
  helper.closeInput();
  expectCleanExit(helper);
}

// The build check prints its line; --authorize without a display fails with
// one clear line (and, where its module did not load, the loader's reason on
// a second), never a crash. Input stays open: neither may wait for it.
TEST(HelperProcess, CommandLineModesReadNoInput) {
  const std::string build = "Tavrino Share Helper x86_64\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--check-build"}, build}, {{"--authorize", "--check-build"}, build}, {{"--authorize"}, ""}};
  for (const auto& [arguments, output] : cases) {
    Helper helper({}, arguments);
    EXPECT_EQ(helper.readAll(), output);
    const int status = helper.wait();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status) == 0, !output.empty());
    const std::string errors = helper.errors();
    if (output.empty()) {
      const auto lines = std::count(errors.begin(), errors.end(), '\n');
      EXPECT_TRUE(lines == 1 || lines == 2) << errors;
      EXPECT_NE(errors.substr(0, errors.find('\n')).find("alert"), std::string::npos) << errors;
    }
  }
}

// Without an X server the helper says why, naming a Wayland desktop. Two
// requests written back to back are both read and answered on their own.
TEST(HelperProcess, SaysWhyTheDesktopCannotBeReached) {
  const std::string noX = "The desktop cannot be reached: no X display is available.";
  const std::string wayland = "Protected sharing needs an X11 desktop session; this desktop runs Wayland.";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, noX},
      {{"XDG_SESSION_TYPE=x11"}, noX},
      {{"WAYLAND_DISPLAY=wayland-0"}, wayland},
      {{"XDG_SESSION_TYPE=wayland"}, wayland},
  };
  for (const auto& [environment, message] : cases) {
    Helper helper(environment);
    ASSERT_TRUE(helper.write(frame(R"({"command":"sources","request":"s1"})") +
                             frame(R"({"command":"Start","request":"s2"})")));
    // Input stays open until both have answered: at its end the helper may
    // abandon a request that still waits for the desktop.
    std::map<std::string, json> errors;
    for (const auto& m : helper.read(5))
      if (m["type"] == "error") errors[m["request"].get<std::string>()] = m["message"];
    EXPECT_EQ(errors, (std::map<std::string, json>{{"s1", message},
                                                   {"s2", "Invalid or overlapping sharing request."}}));
  }
}

std::size_t entries(const std::string& directory) {
  std::error_code gone;
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(directory, gone), {}));
}

// What a process holds that a capture could leak, but its memory.
std::string holdingsOf(pid_t pid) {
  std::size_t segments = 0;  // System V shared memory it created
  std::ifstream table("/proc/sysvipc/shm");
  std::string line;
  std::getline(table, line);  // key shmid perms size cpid ...
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    long key, id, perms, size, creator;
    segments += fields >> key >> id >> perms >> size >> creator && creator == pid;
  }
  const std::string proc = "/proc/" + std::to_string(pid);
  return std::to_string(entries(proc + "/fd")) + " descriptors, " + std::to_string(entries(proc + "/task")) +
         " threads, " + std::to_string(segments) + " shared memory segments";
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  return 0;
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
    helper.closeInput();
    Types types = helper.typesToTheEnd();
    std::erase(types, "frame");
    std::erase(types, "configuration");
    EXPECT_EQ(types, stopFirst ? (Types{"hello", "sources", "started", "stats", "stopped", "stopped"})
                               : (Types{"hello", "sources", "started", "stats", "stopped"}))
        << "stop first: " << stopFirst;
    expectCleanExit(helper);
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
  const pid_t pid = helper.pid();
  // Threads that ended their work a moment ago may still be leaving.
  const auto settle = [] { std::this_thread::sleep_for(200ms); };
  for (int n = 0; n < 3; ++n) cycle(n);
  settle();
  const std::string before = holdingsOf(pid);
  // The allocator keeps some memory per thread it has seen: resident memory
  // is compared once that has levelled off.
  for (int n = 3; n < 40; ++n) cycle(n);
  settle();
  [[maybe_unused]] const long levelled = residentKiB(pid);
  for (int n = 40; n < 80; ++n) cycle(n);
  settle();
  EXPECT_EQ(holdingsOf(pid), before);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (Sanitizers keep freed memory; their own leak check covers those builds.)
  // A capture's canvas alone is megabytes: losing one a cycle shows as far more
  // than this. The bound is loose because the allocator's per-thread arenas
  // move tens of megabytes between runs of the same 40 cycles.
  EXPECT_LT(residentKiB(pid) - levelled, 64 * 1024);
#endif
  helper.closeInput();
  expectCleanExit(helper);
}

// The server stopped, as a hung one is, until resumed or out of scope.
struct Frozen {
  explicit Frozen(const Xvfb& display) : pid(display.pid()) { EXPECT_EQ(::kill(pid, SIGSTOP), 0); }
  ~Frozen() { resume(); }
  void resume() { ::kill(pid, SIGCONT); }
  pid_t pid;
};

// A stopped X server holds up the end neither while a query waits for it nor
// while a capture does; a capture that cannot stop is left behind.
TEST_F(HelperOnADisplay, ExitsAtEndOfInputWhileTheServerDoesNotAnswer) {
  for (const bool capturing : {false, true}) {
    SCOPED_TRACE(capturing ? "capturing" : "querying");
    Helper helper(*display_);
    if (capturing) {
      helper.start("c", helper.firstDisplay());
      helper.await("frame");
    } else {
      helper.await("hello");
    }
    Frozen frozen(*display_);
    if (!capturing) helper.send({{"command", "sources"}, {"request", "hung"}});
    std::this_thread::sleep_for(300ms);  // the query or the capture now waits for the server
    helper.closeInput();
    if (!capturing) {
      expectCleanExit(helper, 5s);
      EXPECT_EQ(helper.typesToTheEnd(), (Types{"hello", "stopped"}));
      continue;
    }
    const int status = helper.wait(20s);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 1) << "an end that left a capture behind is no clean end";
  }
}

// Hundreds of "sources" requests at once, all waiting for a server that has
// stopped answering: one thread and one X connection serve them all, so the
// server keeps room for other programs, every request is answered and the
// running capture goes on.
TEST_F(HelperOnADisplay, ABurstOfListingsSharesOneQuery) {
  Helper helper(*display_);
  helper.start("c", helper.firstDisplay());
  helper.await("frame");
  const auto threads = [&] { return entries("/proc/" + std::to_string(helper.pid()) + "/task"); };
  const std::size_t before = threads();
  Frozen frozen(*display_);
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += frame(json{{"command", "sources"}, {"request", std::to_string(i)}}.dump());
  ASSERT_TRUE(helper.write(burst));
  std::this_thread::sleep_for(300ms);  // every request is read and waits
  EXPECT_LE(threads(), before + 1);
  frozen.resume();
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> x(xcb_connect(display_->name().c_str(), nullptr),
                                                                &xcb_disconnect);
  ASSERT_EQ(xcb_connection_has_error(x.get()), 0) << "another program can no longer connect";
  std::set<std::string> answered;
  for (int i = 0; i < 300; ++i) answered.insert(helper.await("sources")["request"].get<std::string>());
  EXPECT_EQ(answered.size(), 300u);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x.get())).data->root;
  xcb_warp_pointer(x.get(), XCB_NONE, root, 0, 0, 0, 0, 321, 123);
  xcb_flush(x.get());
  helper.await("frame");  // the capture still runs
}

TEST(DesktopSession, RefusesXwaylandButNotARealXServer) {
  const auto refused = [](x11::SessionSignals signals) { return x11::refuseWaylandSession(signals).has_value(); };
  EXPECT_TRUE(refused({true, true, {"DP-1"}, "", false}));
  EXPECT_TRUE(refused({true, false, {"XWAYLAND0", "XWAYLAND1"}, "wayland", true}));
  // A real X server is an X11 desktop whatever the environment says.
  EXPECT_FALSE(refused({true, false, {"DP-1", "HDMI-1"}, "wayland", true}));
  EXPECT_FALSE(refused({true, false, {}, "x11", false}));
  // Without a server only the environment can tell: the process tests cover that.
}

}  // namespace
}  // namespace tavrino::share::testing
