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

// Completions handed over by the code under test, released oldest first.
template <typename Completion>
class Pending {
 public:
  void add(Completion completion) {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(completion));
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
  }
  Completion take() {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) throw std::logic_error("no completion is pending");
    auto completion = std::move(waiting_.front());
    waiting_.pop_front();
    return completion;
  }

 private:
  mutable std::mutex mutex_;
  std::deque<Completion> waiting_;
};

class FakeCaptureStream final : public CaptureStream {
 public:
  FakeCaptureStream(ContentFilter filter, std::weak_ptr<StreamDelegate> delegate,
                    std::optional<ErrorValue> addOutputError)
      : filter(std::move(filter)), delegate_(std::move(delegate)), addOutputError_(std::move(addOutputError)) {}

  const ContentFilter filter;
  Pending<StreamCompletion> starts, stops;

  std::optional<ErrorValue> addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                            SerialQueue) override {
    if (addOutputError_) return addOutputError_;
    if (type != StreamOutputType::screen) throw std::logic_error("only the screen is captured");
    std::lock_guard lock(mutex_);
    output_ = std::move(output);  // held, as the service holds it, until the stream stops
    return std::nullopt;
  }
  void startCapture(StreamCompletion completion) override { starts.add(std::move(completion)); }
  void stopCapture(StreamCompletion completion) override {
    stops.add(std::move(completion));
    std::lock_guard lock(mutex_);
    output_.reset();  // a stopped stream delivers no more samples
  }

  void completeStart(std::optional<ErrorValue> error = std::nullopt) { starts.take()(error); }
  void completeStop(std::optional<ErrorValue> error = std::nullopt) { stops.take()(error); }
  // As the service does when the capture ends without being asked to.
  void reportStoppedByItself(ErrorValue error = {"FakeCapture", -3817, "The stream was interrupted."}) {
    if (auto delegate = delegate_.lock())
      delegate->streamDidStopWithError(std::static_pointer_cast<CaptureStream>(shared_from_this()), error);
  }

 private:
  std::mutex mutex_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::optional<ErrorValue> addOutputError_;
  std::shared_ptr<StreamOutput> output_;
};

class FakeCaptureService final : public CaptureService {
 public:
  // The answer of both permission checks (always granted on X11).
  bool permission = true;
  // Pixel width by display; a display not listed reports its own width.
  std::map<std::uint32_t, std::int64_t> pixelWidths;
  // Refuses the output of every stream made from here on.
  std::optional<ErrorValue> addOutputError;
  Pending<ContentCompletion> queries;

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override {
    if (excludingDesktopWindows || !onScreenWindowsOnly) throw std::logic_error("unexpected query");
    queries.add(std::move(completion));
  }
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration&,
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

  // Completes the oldest pending query.
  void releaseQuery(ContentResult result) {
    auto completion = queries.take();
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
  ShareableContent lastContent_;
  std::vector<std::shared_ptr<FakeCaptureStream>> streams_;
};

}  // namespace tavrino::share::testing
