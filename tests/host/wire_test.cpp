#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/request_text.h"
#include "core/wire.h"
#include "support/framing.h"

namespace tavrino::share {
namespace {

using nlohmann::json;
using testing::frame;
using testing::memoryReader;

// The largest body accepted is the process tests' business, through the real reader.
TEST(WireDecode, ReadsLittleEndianLengthsInAnySlices) {
  // 10 00 00 00 is 16; the first byte of the next frame stays unread.
  const std::string bytes = std::string("\x10\0\0\0", 4) + R"({"a":"01234567"})" + "!";
  std::size_t at = 0;
  EXPECT_EQ(Wire::decodeFrame(memoryReader(bytes, &at)), json({{"a", "01234567"}}));
  EXPECT_EQ(at, 20u);

  const std::string two = frame(R"({"command":"ack","id":7})") + frame(R"({"command":"stop"})");
  at = 0;
  const auto slow = memoryReader(two, &at, 1);
  EXPECT_EQ(Wire::decodeFrame(slow), json({{"command", "ack"}, {"id", 7}}));
  EXPECT_EQ(Wire::decodeFrame(slow), json({{"command", "stop"}}));
  EXPECT_FALSE(Wire::decodeFrame(slow));
}

TEST(WireDecode, EndsOnEveryViolation) {
  const std::string cut = frame(R"({"command":"stop"})");
  const std::vector<std::string> inputs = {
      frame(testing::stopOfSize(16385)),
      frame("") + "{}",
      std::string("\0\0\0\x10", 4) + std::string(16, ' '),  // 268,435,456, not 16
      "",
      std::string("\x05\0", 2),
      cut.substr(0, cut.size() - 3),
  };
  const auto decode = [](std::string_view bytes) {
    std::size_t at = 0;
    return Wire::decodeFrame(memoryReader(bytes, &at));
  };
  for (std::size_t i = 0; i < inputs.size(); ++i) EXPECT_FALSE(decode(inputs[i])) << i;
  for (const std::string body : {"[1,2]", R"("stop")", "42", "null", "{\"a\":", "not json",
                                 "{\"a\":1} trailing", "\"\xff\""})
    EXPECT_FALSE(decode(frame(body))) << body;
}

// Numbers as a peer writes them: exactness is decided on the text, so that no
// rounding to a double carries a number into range.
TEST(RequestNumbers, AreExactIntegersOnlyAsWritten) {
  using I = std::optional<std::int64_t>;
  using U = std::optional<std::uint32_t>;
  const struct {
    const char* text;
    I int64;
    U uint32;
  } cases[] = {
      {"5", 5, 5u},
      {"3.0", 3, 3u},
      {"1.5e1", 15, 15u},
      {"1E2", 100, 100u},
      {"-0.0", 0, 0u},
      {"-1", -1, {}},
      {"3.5", {}, {}},
      {"12e-1", {}, {}},
      {"-9223372036854775808", INT64_MIN, {}},
      {"-9223372036854775808.0", INT64_MIN, {}},
      {"-9223372036854775809", {}, {}},
      {"9223372036854775807", INT64_MAX, {}},
      {"9223372036854775808", {}, {}},
      {"18446744073709551616", {}, {}},
      {"4294967295", 4294967295, 4294967295u},
      {"4294967295.00000001", {}, {}},
      {"4294967296", 4294967296, {}},
      {"4294967295999999999e-9", {}, {}},
      {"1e300", {}, {}},
      {"0.0e99999999999999999999", 0, 0u},
      {"1e-99999999999999999999", {}, {}},
      {R"("5")", {}, {}},
      {"true", {}, {}},
      {"null", {}, {}},
  };
  for (const auto& c : cases) {
    const auto request = Wire::parseRequest(std::string(R"({"id":)") + c.text + "}");
    ASSERT_TRUE(request) << c.text;
    EXPECT_EQ(exactInt64(request->at("id")), c.int64) << c.text;
    EXPECT_EQ(exactUInt32(request->at("id")), c.uint32) << c.text;
  }
}

// The writer itself, on standard output: a body of 1,048,575 bytes leaves
// whole, one byte more is dropped without a trace, and so is a text that is
// not UTF-8; the writer goes on after both.
TEST(WireSend, WritesBodiesUpToTheLimitAndDropsTheRest) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string received;
  std::thread drain([&] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
      received.append(buffer, static_cast<std::size_t>(n));
  });
  std::fflush(stdout);
  const int savedOutput = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  const std::size_t overhead = std::string(R"({"p":""})").size();
  Wire::send(json{{"p", std::string(1'048'575 - overhead, 'a')}});
  Wire::send(json{{"p", std::string(1'048'576 - overhead, 'a')}});
  Wire::send(json{{"p", "\xc3"}});
  Wire::send(json{{"url", "a/b"}});
  ::dup2(savedOutput, STDOUT_FILENO);  // the last writing end: the drain ends
  ::close(savedOutput);
  drain.join();
  ::close(fds[0]);

  const auto largest = testing::takeFrame(received);
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->size(), 1'048'575u);
  EXPECT_EQ(testing::takeFrame(received), R"({"url":"a/b"})");
  EXPECT_EQ(received, "");
}

}  // namespace
}  // namespace tavrino::share
