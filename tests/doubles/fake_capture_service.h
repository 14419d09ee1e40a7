#pragma once

// A capture service double whose completions (content query, start, stop) the
// test releases by hand, so that every interleaving can be played out. Streams
// can report stopping by themselves.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/capture_service.h"

namespace tavrino::share::testing {

// Takes the oldest of the completions the test has not released yet.
template <typename Completion>
Completion takeOldest(std::mutex& mutex, std::deque<Completion>& pending) {
  std::lock_guard lock(mutex);
  if (pending.empty()) throw std::logic_error("no completion is pending");
  auto completion = std::move(pending.front());
  pending.pop_front();
  return completion;
}

class FakeCaptureStream final : public CaptureStream {
 public:
  FakeCaptureStream(ContentFilter filter, std::weak_ptr<StreamDelegate> delegate,
                    std::optional<ErrorValue> addOutputError)
      : filter(std::move(filter)), delegate_(std::move(delegate)), addOutputError_(std::move(addOutputError)) {}

  const ContentFilter filter;

  std::optional<ErrorValue> addStreamOutput(std::shared_ptr<StreamOutput> output,
                                            StreamOutputType type, SerialQueue) override {
    std::lock_guard lock(mutex_);
    if (addOutputError_) return addOutputError_;
    if (type != StreamOutputType::screen) throw std::logic_error("only the screen is captured");
    output_ = std::move(output);  // held, as the service holds it, until the stream stops
    return std::nullopt;
  }
  void startCapture(StreamCompletion completion) override {
    std::lock_guard lock(mutex_);
    starts_.push_back(std::move(completion));
  }
  void stopCapture(StreamCompletion completion) override {
    std::lock_guard lock(mutex_);
    stops_.push_back(std::move(completion));
    output_.reset();  // a stopped stream delivers no more samples
  }

  std::size_t pendingStarts() const {
    std::lock_guard lock(mutex_);
    return starts_.size();
  }
  std::size_t pendingStops() const {
    std::lock_guard lock(mutex_);
    return stops_.size();
  }

  void completeStart(std::optional<ErrorValue> error = std::nullopt) { takeOldest(mutex_, starts_)(error); }
  void completeStop(std::optional<ErrorValue> error = std::nullopt) { takeOldest(mutex_, stops_)(error); }

  // As the service does when the capture ends without being asked to.
  void reportStoppedByItself(ErrorValue error = {"FakeCapture", -3817, "The stream was interrupted."}) {
    if (auto delegate = delegate_.lock())
      delegate->streamDidStopWithError(std::static_pointer_cast<CaptureStream>(shared_from_this()),
                                       error);
  }

 private:
  mutable std::mutex mutex_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::optional<ErrorValue> addOutputError_;
  std::shared_ptr<StreamOutput> output_;
  std::deque<StreamCompletion> starts_;
  std::deque<StreamCompletion> stops_;
};

class FakeCaptureService final : public CaptureService {
 public:
  // The answer of both permission checks (always granted on X11).
  bool permission = true;
  // Pixel width by display; a display not listed reports its own width.
  std::map<std::uint32_t, std::int64_t> pixelWidths;
  // Refuses the output of every stream made from here on.
  std::optional<ErrorValue> addOutputError;

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override {
    if (excludingDesktopWindows || !onScreenWindowsOnly) throw std::logic_error("unexpected query");
    std::lock_guard lock(mutex_);
    queries_.push_back(std::move(completion));
  }
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration&,
                                            std::weak_ptr<StreamDelegate> delegate) override {
    auto stream = std::make_shared<FakeCaptureStream>(filter, std::move(delegate), addOutputError);
    std::lock_guard lock(mutex_);
    streams_.push_back(stream);
    return stream;
  }
  bool preflightScreenCaptureAccess() override { return permission; }
  bool requestScreenCaptureAccess() override { return permission; }
  std::int64_t displayPixelsWide(std::uint32_t displayID) override {
    std::lock_guard lock(mutex_);
    if (const auto it = pixelWidths.find(displayID); it != pixelWidths.end()) return it->second;
    for (const auto& display : lastContent_.displays)
      if (display.displayID == displayID) return display.width;
    return 0;
  }

  std::size_t pendingQueries() const {
    std::lock_guard lock(mutex_);
    return queries_.size();
  }
  // Completes the oldest pending query.
  void releaseQuery(ContentResult result) {
    auto completion = takeOldest(mutex_, queries_);
    if (auto* content = std::get_if<ShareableContent>(&result)) {
      std::lock_guard lock(mutex_);
      lastContent_ = *content;
    }
    completion(std::move(result));
  }

  std::vector<std::shared_ptr<FakeCaptureStream>> streams() const {
    std::lock_guard lock(mutex_);
    return streams_;
  }

 private:
  mutable std::mutex mutex_;
  std::deque<ContentCompletion> queries_;
  ShareableContent lastContent_;
  std::vector<std::shared_ptr<FakeCaptureStream>> streams_;
};

}  // namespace tavrino::share::testing
