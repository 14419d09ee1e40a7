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
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <nlohmann/json.hpp>

#include "support/extension_side.h"
#include "platform/x11/desktop_session.h"

namespace tavrino::share::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Types = std::vector<std::string>;

// Writes to a helper that has ended must fail with an error, not end the tests.
[[maybe_unused]] const auto ignoreBrokenPipes = std::signal(SIGPIPE, SIG_IGN);

void expectExit(Child& helper, int code = 0, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const int status = helper.wait(limit);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0)
                                 << "\n" << helper.errors();
  EXPECT_EQ(WEXITSTATUS(status), code) << helper.errors();
}

// The helper as the browser starts it, finding no display but one given.
Child helperProcess(const std::vector<std::string>& environment = {}, const std::vector<std::string>& arguments = {}) {
  std::vector<std::string> argv{TAVRINO_SHARE_HOST_PATH}, removed{"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  removed.insert(removed.end(), environment.begin(), environment.end());
  return Child(argv, true, removed);
}
Child helperOn(const Xvfb& display) { return helperProcess({"DISPLAY=" + display.name()}, {"--test-application"}); }

Types typesOf(const std::vector<json>& messages) {
  Types types;
  for (const auto& m : messages) types.push_back(m.value("type", "?"));
  return types;
}

std::uint32_t firstDisplay(ExtensionSide& extension) {
  extension.send({{"command", "sources"}, {"request", "s"}});
  return extension.await("sources").at(0)["displays"].at(0)["id"].get<std::uint32_t>();
}
// Starts capturing the display and waits for the capture's first frame.
void capture(ExtensionSide& extension, const std::string& request, std::uint32_t display) {
  const std::size_t frames = extension.await("frame", 0, 0s).size();
  extension.send({{"command", "start"}, {"request", request}, {"display", display}, {"testExclude", false}});
  ASSERT_GT(extension.await("frame", frames + 1).size(), frames) << "no frame of " << request;
}

TEST(HelperProcess, AnswersRequestsUpToTheLimitAndEndsReadingOnBadFrames) {
  const std::string stop = frame(R"({"command":"stop"})");
  const std::pair<std::string, Types> cases[] = {
      {"", {"hello", "stopped"}},
      {frame(stopOfSize(16384)), {"hello", "stopped", "stopped"}},
      {frame(stopOfSize(20000)) + stop, {"hello", "stopped"}},
  };
  for (const auto& [input, types] : cases) {
    Child helper = helperProcess();
    helper.write(input);  // fits the pipe; may fail once the helper has stopped reading
    const auto messages = ExtensionSide(helper).toTheEnd();
    EXPECT_EQ(typesOf(messages), types) << input.size();
    EXPECT_EQ(messages.at(0), (json{{"type", "hello"}, {"version", 1}}));
    expectExit(helper);
  }
}

TEST(HelperProcess, ExitsWithStatusZeroWhenItsOutputIsClosed) {
  // The exit is immediate by design and leaves the reader thread running;
  // a thread-sanitizer build must not count that as a leak.
  std::string tsan = "TSAN_OPTIONS=report_thread_leaks=0";
  if (const char* inherited = std::getenv("TSAN_OPTIONS")) tsan += std::string(":") + inherited;
  Child helper = helperProcess({tsan});
  helper.closeOutput();
  // Whether or not "hello" still fitted into the pipe, the reply to this fails.
  helper.write(frame(R"({"command":"stop"})"));
  helper.closeInput();
  expectExit(helper);
}

// The build check prints its line; --authorize without a display fails with
// one clear line (and, where its module did not load, the loader's reason on
// a second), never a crash. Input stays open: neither may wait for it.
TEST(HelperProcess, CommandLineModesReadNoInput) {
  const std::string build = "Tavrino Share Helper x86_64\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--check-build"}, build}, {{"--authorize", "--check-build"}, build}, {{"--authorize"}, ""}};
  for (const auto& [arguments, output] : cases) {
    Child helper = helperProcess({}, arguments);
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
    Child helper = helperProcess(environment);
    ExtensionSide extension(helper);
    ASSERT_TRUE(extension.write(frame(R"({"command":"sources","request":"s1"})") +
                                frame(R"({"command":"Start","request":"s2"})")));
    // Input stays open until both have answered: at its end the helper may
    // abandon a request that still waits for the desktop.
    std::map<std::string, json> errors;
    for (const auto& m : extension.await("error", 2)) errors[m["request"].get<std::string>()] = m["message"];
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

TEST_F(HelperOnADisplay, ManyCapturesLeaveNothingBehind) {
  Child helper = helperOn(*display_);
  ExtensionSide extension(helper);
  const std::uint32_t display = firstDisplay(extension);
  const auto cycle = [&](int n) {
    capture(extension, "c" + std::to_string(n), display);
    extension.send({{"command", "stop"}});
    ASSERT_EQ(extension.await("stopped", n + 1).size(), n + 1u);
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
  extension.closeInput();
  expectExit(helper);
}

// The server stopped, as a hung one is, until resumed or out of scope.
struct Frozen {
  explicit Frozen(const Xvfb& display) : pid(display.pid()) { EXPECT_EQ(::kill(pid, SIGSTOP), 0); }
  ~Frozen() { resume(); }
  void resume() { ::kill(pid, SIGCONT); }
  pid_t pid;
};

// The end of input while a capture runs, while its stop is under way, while
// a query or a capture waits for a stopped server: every capture that can
// end ends with "stats" then "stopped", and so does the process; a server
// that does not answer holds up nothing, and a capture that cannot stop is
// left behind, which is no clean end.
TEST_F(HelperOnADisplay, EndOfInputEndsWhateverRuns) {
  enum Case { capturing, stopping, querying, hung };
  for (const Case c : {capturing, stopping, querying, hung}) {
    SCOPED_TRACE(c);
    Child helper = helperOn(*display_);
    ExtensionSide extension(helper);
    if (c == querying)
      extension.await("hello");
    else
      capture(extension, "c", firstDisplay(extension));
    std::optional<Frozen> frozen;
    if (c == querying || c == hung) frozen.emplace(*display_);
    if (c == stopping) extension.send({{"command", "stop"}});
    if (c == querying) extension.send({{"command", "sources"}, {"request", "hung"}});
    if (frozen) std::this_thread::sleep_for(300ms);  // the query or the capture now waits for the server
    extension.closeInput();
    expectExit(helper, c == hung ? 1 : 0, c == querying ? 5s : 20s);
    if (c == hung) continue;
    Types types = typesOf(extension.toTheEnd());
    std::erase(types, "frame");
    std::erase(types, "configuration");
    Types expected = c == querying ? Types{"hello", "stopped"} : Types{"hello", "sources", "started", "stats", "stopped"};
    if (c == stopping) expected.push_back("stopped");
    EXPECT_EQ(types, expected);
  }
}

// Hundreds of "sources" requests at once, all waiting for a server that has
// stopped answering: one thread and one X connection serve them all, so the
// server keeps room for other programs, every request is answered and the
// running capture goes on.
TEST_F(HelperOnADisplay, ABurstOfListingsSharesOneQuery) {
  Child helper = helperOn(*display_);
  ExtensionSide extension(helper);
  capture(extension, "c", firstDisplay(extension));
  const auto threads = [&] { return entries("/proc/" + std::to_string(helper.pid()) + "/task"); };
  const std::size_t before = threads();
  Frozen frozen(*display_);
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += frame(json{{"command", "sources"}, {"request", std::to_string(i)}}.dump());
  ASSERT_TRUE(extension.write(burst));
  std::this_thread::sleep_for(300ms);  // every request is read and waits
  EXPECT_LE(threads(), before + 1);
  frozen.resume();
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> x(xcb_connect(display_->name().c_str(), nullptr),
                                                                &xcb_disconnect);
  ASSERT_EQ(xcb_connection_has_error(x.get()), 0) << "another program can no longer connect";
  std::set<std::string> answered;
  for (const json& sources : extension.await("sources", 301)) answered.insert(sources["request"].get<std::string>());
  EXPECT_EQ(answered.size(), 301u);
  EXPECT_TRUE(extension.await("error", 0, 0s).empty());
  const std::size_t frames = extension.await("frame", 0, 0s).size();
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x.get())).data->root;
  xcb_warp_pointer(x.get(), XCB_NONE, root, 0, 0, 0, 0, 321, 123);
  xcb_flush(x.get());
  EXPECT_GT(extension.await("frame", frames + 1).size(), frames) << "the capture has ended";
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
