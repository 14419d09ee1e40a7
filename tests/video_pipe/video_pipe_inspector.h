#pragma once

// Read access to a VideoPipe's queue-confined state, for tests and benchmarks.

#include <future>
#include <optional>

#include <asio/post.hpp>

#include "video_pipe/video_pipe.h"

namespace tavrino::share {

struct VideoPipeInspector {
  struct Snapshot {
    std::set<std::int64_t> pending;
    bool stopped = false;
    std::int64_t received = 0;
    std::int64_t sent = 0;
    std::int64_t skipped = 0;
    std::optional<MediaTime> firstTimestamp;
  };

  // Only on the pipe's queue.
  static Snapshot snapshotOnQueue(const VideoPipe& pipe) {
    return Snapshot{pipe.pending_, pipe.stopped_, pipe.received_, pipe.sent_, pipe.skipped_,
                    pipe.firstTimestamp_};
  }
  static std::size_t pendingCountOnQueue(const VideoPipe& pipe) { return pipe.pending_.size(); }
  // The emission step alone, for measuring it; only where nothing else runs on the pipe.
  static void emit(VideoPipe& pipe, const SampleBuffer& sample, std::int64_t id) {
    pipe.emit(sample, id);
  }

  // From any thread but the queue: waits until everything queued so far has run.
  static Snapshot snapshot(const VideoPipe& pipe) {
    std::promise<Snapshot> done;
    asio::post(pipe.queue_, [&] { done.set_value(snapshotOnQueue(pipe)); });
    return done.get_future().get();
  }
};

}  // namespace tavrino::share
