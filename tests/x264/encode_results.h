#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/compression_session.h"

namespace tavrino::share::testing {

struct EncodeResult {
  std::int32_t status = 0;
  std::shared_ptr<const SampleBuffer> sample;
  std::thread::id thread;
};

// Collects per-frame results from the encoder thread. The handlers share the
// collected state, so they stay sound whichever of session and collector
// goes first.
class EncodeResults {
 public:
  EncodeOutputHandler handler() {
    return [state = state_](std::int32_t status, std::uint32_t,
                            std::shared_ptr<const SampleBuffer> sample) {
      std::lock_guard lock(state->mutex);
      state->results.push_back({status, std::move(sample), std::this_thread::get_id()});
      state->changed.notify_all();
    };
  }

  bool waitFor(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->results.size() >= count; });
  }

  std::vector<EncodeResult> snapshot() {
    std::lock_guard lock(state_->mutex);
    return state_->results;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<EncodeResult> results;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace tavrino::share::testing
