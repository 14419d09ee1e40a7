#pragma once

// The browser extension's side of the share helper's pipes, for the tests
// that drive the built helper: a thread reads every message and acknowledges
// every frame at once, while the test sends requests and waits for messages.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"

namespace tavrino::share::testing {

class ExtensionSide {
 public:
  using json = nlohmann::json;

  explicit ExtensionSide(Child& helper) : helper_(helper), reader_([this] { read(); }) {}
  ~ExtensionSide() {
    toTheEnd();
    if (::testing::Test::HasFailure()) std::fprintf(stderr, "The helper wrote:\n%s", helper_.errors().c_str());
  }

  bool write(const std::string& bytes) {
    std::lock_guard lock(writeMutex_);
    return helper_.write(bytes);
  }
  void send(const json& request) { ASSERT_TRUE(write(frame(request.dump()))) << request; }
  // Ends the helper's input (it then stops and exits); acknowledgements end too.
  void closeInput() {
    std::lock_guard lock(writeMutex_);
    helper_.closeInput();
  }

  // Waits until `count` messages of the type have arrived or the output has
  // ended, at most `limit`; returns every message of the type so far.
  std::vector<json> await(const std::string& type, std::size_t count = 1,
                          std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return of(type).size() >= count || ended_; });
    return of(type);
  }
  // Ends the input and returns every message once the output has ended.
  std::vector<json> toTheEnd() {
    closeInput();
    if (reader_.joinable()) reader_.join();
    return messages_;
  }

 private:
  std::vector<json> of(const std::string& type) const {
    std::vector<json> found;
    for (const auto& m : messages_)
      if (m["type"] == type) found.push_back(m);
    return found;
  }

  void read() {
    try {
      // A still desktop sends nothing for a while: silence is no end.
      while (const auto body = helper_.readFrame(std::chrono::hours(1))) {
        json message = json::parse(*body);
        // Once the input has ended, no acknowledgement can be sent.
        if (message["type"] == "frame")
          write(frame(json{{"command", "ack"}, {"request", message["request"]}, {"id", message["id"]}}.dump()));
        std::lock_guard lock(mutex_);
        messages_.push_back(std::move(message));
        arrived_.notify_all();
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    arrived_.notify_all();
  }

  Child& helper_;
  std::mutex writeMutex_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<json> messages_;
  bool ended_ = false;
  std::thread reader_;
};

}  // namespace tavrino::share::testing
