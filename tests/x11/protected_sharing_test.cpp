// The shipped helper on a real X display, driven as Chrome would drive it:
// the stream it sends is decoded with a standard H.264 decoder and searched
// for any pixel of the excluded application.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/x11/x11_capture_service.h"
#include "x11_test_support.h"
#include "x264/h264_decoder.h"

namespace tavrino::share {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::Child;
using testing::Xvfb;

std::vector<std::uint8_t> fromBase64(const std::string& text) {
  std::vector<std::uint8_t> bytes(text.size() / 4 * 3 + 3);
  int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return {};
  std::size_t padding = 0;
  for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) ++padding;
  bytes.resize(static_cast<std::size_t>(n) - padding);
  return bytes;
}

// The extension's side of the pipes: reads every message, acknowledges
// every frame at once, and lets the test wait for a message type.
class Extension {
 public:
  explicit Extension(Child& helper) : helper_(helper), reader_([this] { read(); }) {}
  ~Extension() { reader_.join(); }

  void send(const json& request) {
    std::string body = request.dump();
    std::uint32_t n = static_cast<std::uint32_t>(body.size());
    std::string frame{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                      static_cast<char>(n >> 24)};
    frame += body;
    std::lock_guard lock(writeMutex_);
    ASSERT_EQ(::write(helper_.input(), frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }

  // Waits until `count` messages of the type have arrived; returns them all.
  std::vector<json> await(const std::string& type, std::size_t count = 1) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, 30s, [&] { return of(type).size() >= count || closed_; });
    return of(type);
  }

 private:
  std::vector<json> of(const std::string& type) const {
    std::vector<json> found;
    for (const auto& m : messages_) {
      if (m["type"] == type) found.push_back(m);
    }
    return found;
  }

  bool readAll(void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
      ssize_t n = ::read(helper_.output(), p, size);
      if (n <= 0) return false;
      p += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  void read() {
    for (;;) {
      std::uint8_t header[4];
      if (!readAll(header, 4)) break;
      std::string body(header[0] | header[1] << 8 | header[2] << 16 | header[3] << 24, '\0');
      if (!readAll(body.data(), body.size())) break;
      json message = json::parse(body);
      if (message["type"] == "frame") {
        send(json{{"command", "ack"}, {"request", message["request"]}, {"id", message["id"]}});
      }
      std::lock_guard lock(mutex_);
      messages_.push_back(std::move(message));
      arrived_.notify_all();
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    arrived_.notify_all();
  }

  Child& helper_;
  std::mutex writeMutex_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<json> messages_;
  bool closed_ = false;
  std::thread reader_;
};

bool looksGreenOrBlue(int cb, int cr) { return cr < 70 || cb > 200; }

TEST(ProtectedSharing, TheExcludedApplicationNeverReachesTheDecodedStream) {
  Xvfb display;
  setenv("DISPLAY", display.name().c_str(), 1);
  Child behind({TAVRINO_WINDOW_FIXTURE, "other.app", "ff0000", "800x600+0+0"}, true);
  behind.readLine();
  Child fixture({TAVRINO_WINDOW_FIXTURE, "net.tavrino.share-fixture", "00ff00", "300x300+100+100",
                 "popup", "0000ff", "100x100+500+100"},
                true);
  fixture.readLine();
  fixture.readLine();
  std::this_thread::sleep_for(300ms);

  Child helper({TAVRINO_SHARE_HOST, "--test-application"}, true);
  {
    Extension extension(helper);
    ASSERT_EQ(extension.await("hello").size(), 1u);
    extension.send({{"command", "sources"}, {"request", "p1"}});
    auto sources = extension.await("sources");
    ASSERT_EQ(sources.size(), 1u);
    ASSERT_EQ(sources[0]["displays"].size(), 1u);
    const json shown = sources[0]["displays"][0];
    EXPECT_EQ(shown["width"], 1280);
    EXPECT_EQ(shown["height"], 720);

    extension.send({{"command", "start"}, {"request", "p2"}, {"display", shown["id"]}});
    auto started = extension.await("started");
    ASSERT_EQ(started.size(), 1u) << "no start; errors: " << json(extension.await("error", 0)).dump();
    EXPECT_EQ(started[0]["width"], 1280);
    EXPECT_EQ(started[0]["height"], 720);
    EXPECT_EQ(started[0]["excludedApplications"], 0);
    auto frames = extension.await("frame", 8);
    ASSERT_GE(frames.size(), 8u);
    extension.send({{"command", "stop"}, {"request", "p2"}});
    ASSERT_EQ(extension.await("stopped").size(), 1u);
    auto configuration = extension.await("configuration");
    ASSERT_EQ(configuration.size(), 1u);
    auto stats = extension.await("stats");
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_GE(stats[0]["sent"], 8);
    EXPECT_TRUE(extension.await("error", 0).empty());
    helper.closeInput();

    auto record = fromBase64(configuration[0]["description"]);
    testing::H264Decoder decoder(record);
    std::vector<testing::DecodedPicture> pictures;
    for (const auto& f : extension.await("frame", 0)) {
      ASSERT_TRUE(decoder.decode(fromBase64(f["data"]), pictures)) << "frame " << f["id"];
    }
    ASSERT_TRUE(decoder.flush(pictures));
    ASSERT_GE(pictures.size(), 8u);
    for (const auto& picture : pictures) {
      ASSERT_EQ(picture.width, 1280);
      const int chromaWidth = picture.width / 2;
      int leaks = 0;
      for (std::size_t i = 0; i < picture.cb.size(); ++i) {
        if (looksGreenOrBlue(picture.cb[i], picture.cr[i])) ++leaks;
      }
      EXPECT_EQ(leaks, 0) << "chroma samples of the excluded application in a frame";
      // Where the fixture's window is, the red window behind it shows.
      EXPECT_GT(picture.cr[125 * chromaWidth + 125], 200);
      EXPECT_GT(picture.cr[75 * chromaWidth + 275], 200) << "behind the popup";
    }
  }
  EXPECT_EQ(helper.wait(), 0);
}

}  // namespace
}  // namespace tavrino::share
