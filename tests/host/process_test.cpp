#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include "child_process.h"

namespace tavrino::share::testing {
namespace {

using nlohmann::json;
using Types = std::vector<std::string>;

std::string header(std::uint32_t n) {
  return {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
          static_cast<char>(n >> 24)};
}
std::string frame(const std::string& body) {
  return header(static_cast<std::uint32_t>(body.size())) + body;
}
std::string frame(const json& message) { return frame(message.dump()); }

// Splits the helper's output into messages; a partial frame fails the test.
std::vector<json> messagesIn(const std::string& output) {
  std::vector<json> messages;
  std::size_t position = 0;
  while (position < output.size()) {
    EXPECT_LE(position + 4, output.size()) << "partial header";
    if (position + 4 > output.size()) break;
    const auto* h = reinterpret_cast<const unsigned char*>(output.data() + position);
    const std::size_t length = h[0] | h[1] << 8 | h[2] << 16 | static_cast<std::size_t>(h[3]) << 24;
    EXPECT_LE(position + 4 + length, output.size()) << "partial body";
    if (position + 4 + length > output.size()) break;
    messages.push_back(json::parse(output.substr(position + 4, length)));
    position += 4 + length;
  }
  return messages;
}

Types typesOf(const std::vector<json>& messages) {
  Types types;
  for (const auto& m : messages) types.push_back(m.value("type", "?"));
  return types;
}

struct Run {
  std::vector<json> messages;
  int status = 0;
};

// Starts the helper, writes input (then closes it), and collects all output.
Run serve(const std::string& input, const std::vector<std::string>& arguments = {}) {
  ChildProcess helper(TAVRINO_SHARE_HOST_PATH, arguments);
  std::thread writer([&] {
    helper.write(input);  // may fail once the helper has stopped reading
    helper.closeInput();
  });
  const std::string output = helper.readAll();
  writer.join();
  return {messagesIn(output), helper.wait()};
}

void expectCleanExit(int status) {
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A request object of exactly `size` bytes.
std::string stopRequestOfSize(std::size_t size) {
  const std::string prefix = R"({"command":"stop","request":")";
  return prefix + std::string(size - prefix.size() - 2, 'p') + "\"}";
}

TEST(HelperProcess, SaysHelloThenStoppedOnEmptyInput) {
  const auto run = serve("");
  ASSERT_EQ(run.messages.size(), 2u);
  EXPECT_EQ(run.messages[0], (json{{"type", "hello"}, {"version", 1}}));
  EXPECT_EQ(run.messages[1], (json{{"type", "stopped"}, {"request", ""}}));
  expectCleanExit(run.status);
}

TEST(HelperProcess, AcceptsARequestOfTheLargestSize) {
  const auto run = serve(frame(stopRequestOfSize(16384)));
  EXPECT_EQ(typesOf(run.messages), (Types{"hello", "stopped", "stopped"}));
  expectCleanExit(run.status);
}

TEST(HelperProcess, EndsReadingWithoutReplyOnBadLengths) {
  const std::string valid = frame(json{{"command", "stop"}});
  for (const std::string& input :
       {frame(stopRequestOfSize(16385)) + valid, header(0) + valid,
        std::string("\x00\x00\x00\x10", 4) + valid, frame(stopRequestOfSize(20000)),
        std::string("\x05\x00", 2)}) {
    const auto run = serve(input);
    EXPECT_EQ(typesOf(run.messages), (Types{"hello", "stopped"}));
    expectCleanExit(run.status);
  }
}

TEST(HelperProcess, EndsReadingOnBodiesThatAreNotObjects) {
  const std::string valid = frame(json{{"command", "stop"}});
  for (const std::string& body : {std::string(R"(["stop"])"), std::string(R"("stop")"),
                                  std::string("command=stop")}) {
    const auto run = serve(frame(body) + valid);
    EXPECT_EQ(typesOf(run.messages), (Types{"hello", "stopped"})) << body;
    expectCleanExit(run.status);
  }
}

TEST(HelperProcess, ReadsARequestWrittenOneByteAtATime) {
  ChildProcess helper(TAVRINO_SHARE_HOST_PATH, {});
  for (const char byte : frame(json{{"command", "stop"}, {"request", "slow"}})) {
    ASSERT_TRUE(helper.write(std::string(1, byte)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  helper.closeInput();
  const auto messages = messagesIn(helper.readAll());
  EXPECT_EQ(typesOf(messages), (Types{"hello", "stopped", "stopped"}));
  expectCleanExit(helper.wait());
}

TEST(HelperProcess, HandlesTwoRequestsWrittenBackToBack) {
  ChildProcess helper(TAVRINO_SHARE_HOST_PATH, {});
  ASSERT_TRUE(helper.write(frame(json{{"command", "sources"}, {"request", "s1"}}) +
                           frame(json{{"command", "Start"}, {"request", "s2"}})));
  // Both were read; each task answers on its own, in either order. Input
  // stays open until both have answered: at its end the helper may abandon a
  // request that still waits for the desktop.
  const auto completeFrames = [](const std::string& o) {
    std::size_t count = 0;
    for (std::size_t at = 0; at + 4 <= o.size(); ++count) {
      const auto* h = reinterpret_cast<const unsigned char*>(o.data() + at);
      at += 4 + (h[0] | h[1] << 8 | h[2] << 16 | static_cast<std::size_t>(h[3]) << 24);
      if (at > o.size()) break;
    }
    return count;
  };
  std::string output = helper.readUntil([&](const std::string& o) { return completeFrames(o) >= 5; });
  helper.closeInput();
  output += helper.readAll();
  const auto run = ::tavrino::share::testing::Run{messagesIn(output), helper.wait()};
  ASSERT_EQ(run.messages.size(), 6u);
  EXPECT_EQ(run.messages[0]["type"], "hello");
  std::vector<json> errors;
  for (const auto& m : run.messages)
    if (m["type"] == "error") errors.push_back(m);
  ASSERT_EQ(errors.size(), 2u);
  for (const auto& error : errors) {
    if (error["request"] == "s1")  // the helper runs without a display, and says so
      EXPECT_EQ(error["message"], "The desktop cannot be reached: no X display is available.");
    else
      EXPECT_EQ(error["message"], "Invalid or overlapping sharing request.");
  }
  EXPECT_EQ(run.messages.back()["type"], "stopped");
  expectCleanExit(run.status);
}

TEST(HelperProcess, ExitsWithStatusZeroWhenItsOutputIsClosed) {
  // The exit is immediate by design and leaves the reader thread running;
  // a thread-sanitizer build must not count that as a leak.
  std::string tsan = "TSAN_OPTIONS=report_thread_leaks=0";
  if (const char* inherited = std::getenv("TSAN_OPTIONS")) tsan += std::string(":") + inherited;
  ChildProcess helper(TAVRINO_SHARE_HOST_PATH, {}, {tsan});
  helper.closeOutput();
  // Whether or not "hello" still fitted into the pipe, the reply to this fails.
  helper.write(frame(json{{"command", "stop"}}));
  helper.closeInput();
  const int status = helper.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(HelperProcess, CheckBuildPrintsTheBuildLineAndReadsNothing) {
  for (const auto& arguments : {std::vector<std::string>{"--check-build"},
                                std::vector<std::string>{"--authorize", "--check-build"}}) {
    ChildProcess helper(TAVRINO_SHARE_HOST_PATH, arguments);
    // Input stays open: the build check must not wait for it.
    EXPECT_EQ(helper.readAll(), "Tavrino Share Helper x86_64\n");
    expectCleanExit(helper.wait());
  }
}

}  // namespace
}  // namespace tavrino::share::testing
