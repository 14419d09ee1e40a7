#pragma once

// Drives a Host on an io_context owned by the test thread, with the capture
// service double, the compression session double and a message recorder.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "core/host.h"
#include "doubles/fake_capture_service.h"
#include "doubles/fake_compression_session.h"

namespace tavrino::share::testing {

class MessageRecorder {
 public:
  SendMessage sender() {
    return [this](const nlohmann::json& message) {
      std::lock_guard lock(mutex_);
      messages_.push_back(message);
    };
  }
  std::vector<nlohmann::json> all() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<std::string> types() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    for (const auto& m : messages_) result.push_back(m.value("type", "?"));
    return result;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
  }
  void clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<nlohmann::json> messages_;
};

inline RunningApplication mainApplication(std::int32_t pid) { return {"local.velmarch.app", pid}; }
inline RunningApplication fixtureApplication(std::int32_t pid) {
  return {"net.tavrino.share-fixture", pid};
}

struct HostHarness {
  explicit HostHarness(std::vector<std::string> arguments = {})
      : host(std::make_shared<Host>(io.get_executor(), service, encoders, messages.sender(),
                                    std::move(arguments))) {}

  ~HostHarness() {
    // Whatever the test left waiting is completed, so that no task, and no
    // cycle between a waiting task and the stream holding its completion,
    // outlives the harness.
    bool idle = false;
    for (int i = 0; i < 200 && !idle; ++i) {
      completePending(ShareableContent{});
      idle = runUntilIdle(std::chrono::milliseconds(5));
    }
    encoders.log->releaseHandlers();
    waitFor([] { return false; }, settleOnExit);
  }

  // Completes every pending query with the content and every pending start
  // and stop successfully, until nothing is pending; true if anything was.
  bool completePending(const ShareableContent& content) {
    bool any = false;
    for (int round = 0; round < 64; ++round) {
      bool more = false;
      while (service.pendingQueries() > 0) service.releaseQuery(content), more = true;
      for (const auto& s : service.streams()) {
        while (s->pendingStarts() > 0) s->completeStart(), more = true;
        while (s->pendingStops() > 0) s->completeStop(), more = true;
      }
      settle();
      if (!more) break;
      any = true;
    }
    return any;
  }

  void request(nlohmann::json message) {
    spawnTask(io.get_executor(), host->handle(std::move(message)));
    settle();
  }
  void stop() {
    spawnTask(io.get_executor(), host->stop());
    settle();
  }
  // Runs whatever is ready on the main executor.
  void settle() {
    io.restart();
    io.poll();
  }
  // Runs the main executor until the condition holds or the time is up.
  bool waitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      settle();
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    settle();
    return condition();
  }
  // Runs the main executor until no task is left (every spawned task holds
  // work on it) or the time is up.
  bool runUntilIdle(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    io.restart();
    while (std::chrono::steady_clock::now() < deadline) {
      io.run_for(std::chrono::milliseconds(2));
      if (io.stopped()) return true;
    }
    return false;
  }
  bool waitForMessages(std::size_t count) {
    return waitFor([&] { return messages.size() >= count; });
  }

  std::shared_ptr<FakeCaptureStream> stream(std::size_t index = 0) const {
    return service.streams().at(index);
  }

  std::chrono::milliseconds settleOnExit{20};
  asio::io_context io;
  FakeCaptureService service;
  FakeCompressionSessionFactory encoders;
  MessageRecorder messages;
  std::shared_ptr<Host> host;
};

}  // namespace tavrino::share::testing
