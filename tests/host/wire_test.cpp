#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/wire.h"

namespace tavrino::share {
namespace {

using nlohmann::json;

// Serves bytes in slices of at most `slice` per read, like a pipe fed slowly.
ByteReader memoryReader(std::vector<std::uint8_t> bytes, std::size_t slice = SIZE_MAX) {
  auto data = std::make_shared<std::vector<std::uint8_t>>(std::move(bytes));
  auto position = std::make_shared<std::size_t>(0);
  return [data, position, slice](std::uint8_t* buffer, std::size_t capacity) -> std::size_t {
    const std::size_t n = std::min({capacity, slice, data->size() - *position});
    if (n > 0) std::memcpy(buffer, data->data() + *position, n);
    *position += n;
    return n;
  };
}

std::vector<std::uint8_t> frame(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                  static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

// A JSON object body of exactly `size` bytes.
std::string objectOfSize(std::size_t size) {
  const std::string prefix = R"({"command":"stop","pad":")";
  return prefix + std::string(size - prefix.size() - 2, 'x') + "\"}";
}

TEST(WireDecode, AcceptsBodiesUpToTheLimitAndEndsOnLengthViolations) {
  const auto accepted = Wire::decodeFrame(memoryReader(frame(objectOfSize(16384))));
  ASSERT_TRUE(accepted);
  EXPECT_EQ((*accepted)["command"], "stop");

  EXPECT_FALSE(Wire::decodeFrame(memoryReader(frame(objectOfSize(16385)))));
  EXPECT_FALSE(Wire::decodeFrame(memoryReader({0, 0, 0, 0, '{', '}'})));
  // 00 00 00 10 is 268,435,456 in little-endian order, not 16.
  auto huge = std::vector<std::uint8_t>{0, 0, 0, 0x10};
  huge.resize(4 + 16, ' ');
  EXPECT_FALSE(Wire::decodeFrame(memoryReader(huge)));
}

TEST(WireDecode, ReadsTheLengthLittleEndian) {
  std::vector<std::uint8_t> bytes{0x10, 0, 0, 0};
  const std::string body = R"({"a":"01234567"})";  // 16 bytes
  ASSERT_EQ(body.size(), 16u);
  bytes.insert(bytes.end(), body.begin(), body.end());
  bytes.push_back('!');  // the next frame's first byte stays unread
  const auto reader = memoryReader(bytes);
  const auto decoded = Wire::decodeFrame(reader);
  ASSERT_TRUE(decoded);
  EXPECT_EQ((*decoded)["a"], "01234567");
  std::uint8_t next = 0;
  EXPECT_EQ(reader(&next, 1), 1u);
  EXPECT_EQ(next, '!');
}

TEST(WireDecode, EndsOnTruncatedInput) {
  EXPECT_FALSE(Wire::decodeFrame(memoryReader({})));
  EXPECT_FALSE(Wire::decodeFrame(memoryReader({5, 0})));
  auto cut = frame(R"({"command":"stop"})");
  cut.resize(cut.size() - 3);
  EXPECT_FALSE(Wire::decodeFrame(memoryReader(cut)));
}

TEST(WireDecode, EndsOnBodiesThatAreNotObjects) {
  for (const std::string body : {"[1,2]", R"("stop")", "42", "null", "{\"a\":", "not json",
                                 "{\"a\":1} trailing", "\"\xff\""}) {
    EXPECT_FALSE(Wire::decodeFrame(memoryReader(frame(body)))) << body;
  }
}

TEST(WireDecode, ReassemblesAFrameDeliveredOneByteAtATime) {
  auto bytes = frame(R"({"command":"ack","request":"r","id":7})");
  const auto second = frame(R"({"command":"stop"})");
  bytes.insert(bytes.end(), second.begin(), second.end());
  const auto reader = memoryReader(bytes, 1);
  const auto first = Wire::decodeFrame(reader);
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["id"], 7);
  const auto next = Wire::decodeFrame(reader);
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)["command"], "stop");
  EXPECT_FALSE(Wire::decodeFrame(reader));
}

TEST(WireReadExactly, DistinguishesNothingFromEmpty) {
  int reads = 0;
  const ByteReader counting = [&](std::uint8_t*, std::size_t) -> std::size_t {
    ++reads;
    return 0;
  };
  const auto empty = Wire::readExactly(counting, 0);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_TRUE(Wire::readExactly(counting, -5));
  EXPECT_EQ(reads, 0);
  EXPECT_FALSE(Wire::readExactly(counting, 1));
  EXPECT_FALSE(Wire::readExactly(memoryReader({1, 2, 3}, 2), 4));  // partial data is discarded
}

TEST(WireEncode, DropsOversizedAndUnencodableMessages) {
  const std::string overhead = R"({"p":""})";
  json fits{{"p", std::string(Wire::kMaxOutgoingBody - overhead.size(), 'a')}};
  const auto body = Wire::encode(fits);
  ASSERT_TRUE(body);
  EXPECT_EQ(body->size(), 1'048'575u);
  json tooBig{{"p", std::string(Wire::kMaxOutgoingBody - overhead.size() + 1, 'a')}};
  EXPECT_FALSE(Wire::encode(tooBig));
  EXPECT_FALSE(Wire::encode(json{{"p", "\xc3"}}));  // not UTF-8
  EXPECT_EQ(*Wire::encode(json{{"url", "a/b"}}), R"({"url":"a/b"})");
}

TEST(WireWrite, WritesHeaderThenBodyAndReportsAFailedWrite) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_TRUE(Wire::writeFrame(fds[1], "{\"type\":\"hello\"}"));
  std::uint8_t buffer[64] = {};
  const auto n = ::read(fds[0], buffer, sizeof buffer);
  ASSERT_EQ(n, 20);
  EXPECT_EQ(buffer[0], 16);
  EXPECT_EQ(buffer[1] | buffer[2] | buffer[3], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer) + 4, 16), "{\"type\":\"hello\"}");
  ::close(fds[0]);
  // The reader is gone; SIGPIPE is ignored by the test main, so this fails.
  EXPECT_FALSE(Wire::writeFrame(fds[1], "{}"));
  ::close(fds[1]);
}

TEST(WireFailure, MakesTheHelpersOwnErrorValue) {
  EXPECT_EQ(failure("Broken."), (ErrorValue{"TavrinoShare", 1, "Broken."}));
}

}  // namespace
}  // namespace tavrino::share
