#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include "child_process.h"
#include "frames.h"

namespace tavrino::share::testing {
namespace {

using nlohmann::json;
using Types = std::vector<std::string>;

std::string frameOf(const json& message) { return frame(message.dump()); }

// The helper's messages; a partial frame fails the test.
std::vector<json> messagesIn(const std::string& output) {
  std::size_t rest = 0;
  std::vector<json> messages;
  for (const auto& body : frameBodies(output, &rest)) messages.push_back(json::parse(body));
  EXPECT_EQ(rest, 0u) << "partial frame";
  return messages;
}

Types typesOf(const std::vector<json>& messages) {
  Types types;
  for (const auto& m : messages) types.push_back(m.value("type", "?"));
  return types;
}

void expectCleanExit(ChildProcess& helper) {
  const int status = helper.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0)
                                 << "\n" << helper.errors();
  EXPECT_EQ(WEXITSTATUS(status), 0) << helper.errors();
}

// Starts the helper, writes input (then closes it), and returns all its messages.
std::vector<json> serve(const std::string& input) {
  ChildProcess helper(TAVRINO_SHARE_HOST_PATH, {});
  std::thread writer([&] {
    helper.write(input);  // may fail once the helper has stopped reading
    helper.closeInput();
  });
  const std::string output = helper.readAll();
  writer.join();
  expectCleanExit(helper);
  return messagesIn(output);
}

// A request object of exactly `size` bytes.
std::string stopRequestOfSize(std::size_t size) {
  const std::string prefix = R"({"command":"stop","request":")";
  return prefix + std::string(size - prefix.size() - 2, 'p') + "\"}";
}

TEST(HelperProcess, SaysHelloThenStoppedOnEmptyInput) {
  EXPECT_EQ(serve(""), (std::vector<json>{{{"type", "hello"}, {"version", 1}},
                                          {{"type", "stopped"}, {"request", ""}}}));
}

TEST(HelperProcess, AnswersRequestsUpToTheLimitAndEndsReadingOnBadFrames) {
  const std::string stop = frameOf(json{{"command", "stop"}});
  const std::vector<std::pair<std::string, Types>> cases = {
      {frame(stopRequestOfSize(16384)), {"hello", "stopped", "stopped"}},
      {frame(stopRequestOfSize(16385)) + stop, {"hello", "stopped"}},
      {frame("") + stop, {"hello", "stopped"}},
      {std::string("\x00\x00\x00\x10", 4) + stop, {"hello", "stopped"}},  // 268,435,456
      {frame(stopRequestOfSize(20000)), {"hello", "stopped"}},
      {std::string("\x05\x00", 2), {"hello", "stopped"}},
      {frame(R"(["stop"])") + stop, {"hello", "stopped"}},
      {frame(R"("stop")") + stop, {"hello", "stopped"}},
      {frame("command=stop") + stop, {"hello", "stopped"}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(typesOf(serve(cases[i].first)), cases[i].second) << "case " << i;
}

TEST(HelperProcess, ReadsARequestWrittenOneByteAtATime) {
  ChildProcess helper(TAVRINO_SHARE_HOST_PATH, {});
  for (const char byte : frameOf(json{{"command", "stop"}, {"request", "slow"}})) {
    ASSERT_TRUE(helper.write(std::string(1, byte)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  helper.closeInput();
  EXPECT_EQ(typesOf(messagesIn(helper.readAll())), (Types{"hello", "stopped", "stopped"}));
  expectCleanExit(helper);
}

TEST(HelperProcess, HandlesTwoRequestsWrittenBackToBack) {
  ChildProcess helper(TAVRINO_SHARE_HOST_PATH, {});
  ASSERT_TRUE(helper.write(frameOf(json{{"command", "sources"}, {"request", "s1"}}) +
                           frameOf(json{{"command", "Start"}, {"request", "s2"}})));
  // Both were read; each task answers on its own, in either order. Input
  // stays open until both have answered: at its end the helper may abandon a
  // request that still waits for the desktop.
  std::string output =
      helper.readUntil([](const std::string& o) { return frameBodies(o).size() >= 5; });
  helper.closeInput();
  output += helper.readAll();
  const auto messages = messagesIn(output);
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_EQ(messages[0]["type"], "hello");
  std::map<std::string, json> errors;
  for (const auto& m : messages)
    if (m["type"] == "error") errors[m["request"].get<std::string>()] = m["message"];
  EXPECT_EQ(errors, (std::map<std::string, json>{
                        // The helper runs without a display, and says so.
                        {"s1", "The desktop cannot be reached: no X display is available."},
                        {"s2", "Invalid or overlapping sharing request."}}));
  EXPECT_EQ(messages.back()["type"], "stopped");
  expectCleanExit(helper);
}

TEST(HelperProcess, ExitsWithStatusZeroWhenItsOutputIsClosed) {
  // The exit is immediate by design and leaves the reader thread running;
  // a thread-sanitizer build must not count that as a leak.
  std::string tsan = "TSAN_OPTIONS=report_thread_leaks=0";
  if (const char* inherited = std::getenv("TSAN_OPTIONS")) tsan += std::string(":") + inherited;
  ChildProcess helper(TAVRINO_SHARE_HOST_PATH, {}, {tsan});
  helper.closeOutput();
  // Whether or not "hello" still fitted into the pipe, the reply to this fails.
  helper.write(frameOf(json{{"command", "stop"}}));
  helper.closeInput();
  expectCleanExit(helper);
}

TEST(HelperProcess, CheckBuildPrintsTheBuildLineAndReadsNothing) {
  for (const auto& arguments : {std::vector<std::string>{"--check-build"},
                                std::vector<std::string>{"--authorize", "--check-build"}}) {
    ChildProcess helper(TAVRINO_SHARE_HOST_PATH, arguments);
    // Input stays open: the build check must not wait for it.
    EXPECT_EQ(helper.readAll(), "Tavrino Share Helper x86_64\n");
    expectCleanExit(helper);
  }
}

TEST(HelperProcess, AuthorizeWithoutADisplayFailsWithOneClearLine) {
  ChildProcess helper(TAVRINO_SHARE_HOST_PATH, {"--authorize"});
  EXPECT_EQ(helper.readAll(), "");
  const int status = helper.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_NE(WEXITSTATUS(status), 0);
  const std::string errors = helper.errors();
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  EXPECT_NE(errors.find("alert"), std::string::npos) << errors;
}

// Without an X server, a Wayland desktop is named as the reason.
TEST(HelperProcess, SaysWhenTheDesktopRunsWayland) {
  const std::string wayland = "Protected sharing needs an X11 desktop session; this desktop runs Wayland.";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "The desktop cannot be reached: no X display is available."},
      {{"WAYLAND_DISPLAY=wayland-0"}, wayland},
      {{"XDG_SESSION_TYPE=wayland"}, wayland},
      {{"XDG_SESSION_TYPE=x11"}, "The desktop cannot be reached: no X display is available."},
  };
  for (const auto& [environment, message] : cases) {
    ChildProcess helper(TAVRINO_SHARE_HOST_PATH, {}, environment);
    ASSERT_TRUE(helper.write(frameOf(json{{"command", "sources"}, {"request", "w"}})));
    const auto messages = messagesIn(
        helper.readUntil([](const std::string& o) { return frameBodies(o).size() >= 2; }));
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[1], (json{{"type", "error"}, {"request", "w"}, {"message", message}}));
  }
}

}  // namespace
}  // namespace tavrino::share::testing
