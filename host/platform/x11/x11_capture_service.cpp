#include "platform/x11/x11_capture_service.h"

#include <asio/post.hpp>

namespace tavrino::share {
namespace {

class UnavailableStream final : public CaptureStream {
 public:
  std::optional<ErrorValue> addStreamOutput(std::shared_ptr<StreamOutput>, StreamOutputType,
                                            SerialQueue) override {
    return X11CaptureService::unavailableError();
  }
  void startCapture(StreamCompletion completion) override {
    asio::post(backgroundPool(), [completion = std::move(completion)] {
      completion(X11CaptureService::unavailableError());
    });
  }
  void stopCapture(StreamCompletion completion) override {
    asio::post(backgroundPool(), [completion = std::move(completion)] { completion(std::nullopt); });
  }
};

}  // namespace

ErrorValue X11CaptureService::unavailableError() {
  return ErrorValue{"X11", 1, "Desktop capture is not available in this build of the helper."};
}

void X11CaptureService::getShareableContent(bool, bool, ContentCompletion completion) {
  // Completions never run on the caller's stack.
  asio::post(backgroundPool(), [completion = std::move(completion)] {
    completion(unavailableError());
  });
}

std::shared_ptr<CaptureStream> X11CaptureService::makeStream(const ContentFilter&,
                                                             const StreamConfiguration&,
                                                             std::weak_ptr<StreamDelegate>) {
  return std::make_shared<UnavailableStream>();
}

std::int64_t X11CaptureService::displayPixelsWide(std::uint32_t) { return 0; }

}  // namespace tavrino::share
