#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/capture_service.h"

namespace tavrino::share::x11 {

// One capture of one monitor, produced on a thread of its own with its own X
// connection and handed to the output on the output's queue.
class X11CaptureStream final : public CaptureStream {
 public:
  X11CaptureStream(std::string displayName, ContentFilter filter, StreamConfiguration configuration,
                   std::weak_ptr<StreamDelegate> delegate);
  ~X11CaptureStream() override;

  std::optional<ErrorValue> addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                            SerialQueue sampleHandlerQueue) override;
  void startCapture(StreamCompletion completion) override;
  void stopCapture(StreamCompletion completion) override;

  // What the capture thread shares with the stream object. The thread keeps
  // its own reference, so the stream may be released on any thread, the
  // capture thread included.
  struct State;

 private:
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace tavrino::share::x11
