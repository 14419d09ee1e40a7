#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "error_value.h"
#include "media_sample.h"
#include "media_time.h"
#include "serial_queue.h"

namespace tavrino::share {

struct Display {
  std::uint32_t displayID = 0;
  std::int64_t width = 0;   // as the service reports it
  std::int64_t height = 0;
};

struct RunningApplication {
  std::optional<std::string> bundleIdentifier;
  std::int32_t processID = 0;
};

struct Window {
  std::uint32_t windowID = 0;
};

struct ShareableContent {
  std::vector<Display> displays;
  std::vector<RunningApplication> applications;
  std::vector<Window> windows;
};

using ContentResult = std::variant<ShareableContent, ErrorValue>;
using ContentCompletion = std::function<void(ContentResult)>;
// Completion of start and stop: none on success, or the error.
using StreamCompletion = std::function<void(std::optional<ErrorValue>)>;

// What one capture shows: a whole display without some applications' windows
// (except the excepted windows), or without some windows.
struct ContentFilter {
  enum class Kind { excludingApplications, excludingWindows };

  Kind kind = Kind::excludingApplications;
  Display display;
  std::vector<RunningApplication> excludedApplications;
  std::vector<Window> exceptingWindows;
  std::vector<Window> excludedWindows;

  static ContentFilter excludingApplications(Display display,
                                             std::vector<RunningApplication> applications,
                                             std::vector<Window> exceptingWindows);
  static ContentFilter excludingWindows(Display display, std::vector<Window> windows);
};

struct StreamConfiguration {
  std::int32_t width = 0;
  std::int32_t height = 0;
  MediaTime minimumFrameInterval;
  std::int32_t queueDepth = 0;
  bool showsCursor = false;
  bool capturesAudio = false;
  bool ignoreShadowsDisplay = false;
  std::uint32_t pixelFormat = 0;
};

enum class StreamOutputType { screen = 0, audio = 1 };

class CaptureStream;

// Receives samples, one call at a time, on the queue it was added with.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void streamDidOutputSampleBuffer(CaptureStream& stream,
                                           std::shared_ptr<const SampleBuffer> sample,
                                           StreamOutputType type) = 0;
};

// Told, on a thread of the service's choosing, when a stream stops by itself.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void streamDidStopWithError(std::shared_ptr<CaptureStream> stream,
                                      const ErrorValue& error) = 0;
};

class CaptureStream : public std::enable_shared_from_this<CaptureStream> {
 public:
  virtual ~CaptureStream() = default;
  // The stream holds the output for as long as the stream exists. Returns an
  // error when the output cannot be added.
  virtual std::optional<ErrorValue> addStreamOutput(std::shared_ptr<StreamOutput> output,
                                                    StreamOutputType type,
                                                    SerialQueue sampleHandlerQueue) = 0;
  // Each completion runs once, later, on a thread of the service's choosing.
  virtual void startCapture(StreamCompletion completion) = 0;
  virtual void stopCapture(StreamCompletion completion) = 0;
};

class CaptureService {
 public:
  virtual ~CaptureService() = default;
  // The completion runs once, later, on a thread of the service's choosing.
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   ContentCompletion completion) = 0;
  virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    std::weak_ptr<StreamDelegate> delegate) = 0;
  // Answers at once, never prompts.
  virtual bool preflightScreenCaptureAccess() = 0;
  // May prompt; answers whether access is granted.
  virtual bool requestScreenCaptureAccess() = 0;
  // The display's current width in pixels.
  virtual std::int64_t displayPixelsWide(std::uint32_t displayID) = 0;
};

}  // namespace tavrino::share
