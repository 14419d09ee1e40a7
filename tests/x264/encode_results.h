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

// Collects per-frame results from the encoder thread.
class EncodeResults {
 public:
  EncodeOutputHandler handler() {
    return [this](std::int32_t status, std::uint32_t, std::shared_ptr<const SampleBuffer> sample) {
      {
        std::lock_guard lock(mutex_);
        results_.push_back({status, std::move(sample), std::this_thread::get_id()});
      }
      changed_.notify_all();
    };
  }

  bool waitFor(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return results_.size() >= count; });
  }

  std::vector<EncodeResult> snapshot() {
    std::lock_guard lock(mutex_);
    return results_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<EncodeResult> results_;
};

}  // namespace tavrino::share::testing
