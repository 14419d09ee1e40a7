#pragma once

// Drives a Host on an io_context owned by the test thread, with the capture
// service double, the compression session double and a message log.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "core/host.h"
#include "doubles/fake_capture_service.h"
#include "doubles/fake_compression_session.h"
#include "doubles/message_log.h"

namespace tavrino::share::testing {

inline RunningApplication mainApplication(std::int32_t pid) { return {"local.velmarch.app", pid}; }
inline RunningApplication fixtureApplication(std::int32_t pid) {
  return {"net.tavrino.share-fixture", pid};
}

inline nlohmann::json startRequest(const std::string& request, nlohmann::json display = 1) {
  return {{"command", "start"}, {"request", request}, {"display", std::move(display)}};
}

inline nlohmann::json errorMessage(const std::string& request, const std::string& text) {
  return {{"type", "error"}, {"request", request}, {"message", text}};
}
inline nlohmann::json stoppedMessage(const std::string& request) {
  return {{"type", "stopped"}, {"request", request}};
}

struct HostHarness {
  explicit HostHarness(std::vector<std::string> arguments = {})
      : host(std::make_shared<Host>(io.get_executor(), service, encoders, messages.sender(),
                                    std::move(arguments))) {}

  // Whatever the test left waiting is completed, so that no task, and no cycle
  // between a waiting task and the stream holding its completion, outlives us.
  ~HostHarness() {
    drain(200, std::chrono::milliseconds(5));
    encoders.log->releaseHandlers();
    waitFor([] { return false; }, settleOnExit);
  }

  // Completes every pending query with the content and every pending start
  // and stop successfully, until nothing is pending.
  void completePending(const ShareableContent& content) {
    for (int round = 0; round < 64; ++round) {
      bool more = false;
      while (service.queries.size() > 0) service.releaseQuery(content), more = true;
      for (const auto& s : service.streams()) {
        while (s->starts.size() > 0) s->completeStart(), more = true;
        while (s->stops.size() > 0) s->completeStop(), more = true;
      }
      settle();
      if (!more) return;
    }
  }

  void request(nlohmann::json message) {
    spawnTask(io.get_executor(), host->handle(std::move(message)));
    settle();
  }
  void stop() {
    spawnTask(io.get_executor(), host->stop());
    settle();
  }
  // The stop at the end of input; done turns true once it has ended.
  void shutdown(bool& done) {
    spawnTask(io.get_executor(), [](Host& host, bool& done) -> asio::awaitable<void> {
      co_await host.shutdown();
      done = true;
    }(*host, done));
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
  bool waitForMessages(std::size_t count) {
    return waitFor([&] { return messages.size() >= count; });
  }
  // Gives work on other threads time to send what it should not.
  void linger() { waitFor([] { return false; }, std::chrono::milliseconds(30)); }
  // Completes whatever waits and runs the main executor until no task is left
  // (every spawned task holds work on it); false if the rounds run out first.
  bool drain(int rounds, std::chrono::milliseconds each) {
    for (int round = 0; round < rounds; ++round) {
      completePending(ShareableContent{});
      io.restart();
      for (const auto end = std::chrono::steady_clock::now() + each; std::chrono::steady_clock::now() < end;) {
        io.run_for(std::chrono::milliseconds(2));
        if (io.stopped()) return true;
      }
    }
    return false;
  }

  std::shared_ptr<FakeCaptureStream> stream(std::size_t index = 0) const {
    return service.streams().at(index);
  }

  std::chrono::milliseconds settleOnExit{20};
  asio::io_context io;
  FakeCaptureService service;
  FakeCompressionSessionFactory encoders;
  MessageLog messages;
  std::shared_ptr<Host> host;
};

}  // namespace tavrino::share::testing
