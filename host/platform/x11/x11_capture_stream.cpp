#include "platform/x11/x11_capture_stream.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include <asio/post.hpp>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/exclusion_rule.h"
#include "platform/x11/frame_compositor.h"
#include "platform/x11/watched_desktop.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

struct X11CaptureStream::State {
  std::string displayName;
  ContentFilter filter;
  StreamConfiguration configuration;
  std::weak_ptr<StreamDelegate> delegate;
  std::weak_ptr<CaptureStream> stream;

  std::mutex mutex;
  std::condition_variable wake;
  bool started = false;
  bool running = false;
  bool stopRequested = false;
  StreamCompletion stopCompletion;
  std::shared_ptr<StreamOutput> output;
  std::optional<SerialQueue> queue;

  // Samples posted to the output's queue and not yet handled there.
  std::atomic<int> outstanding{0};
};

namespace {

using Clock = std::chrono::steady_clock;
// Copies torn by window changes before a frame is given up.
constexpr int kCopyAttempts = 3;

ExclusionRule ruleFor(const ContentFilter& filter) {
  ExclusionRule rule;
  for (const RunningApplication& app : filter.excludedApplications) {
    if (app.processID != 0) rule.pids.push_back(app.processID);
    if (app.bundleIdentifier) rule.classes.push_back(*app.bundleIdentifier);
  }
  for (const Window& w : filter.excludedWindows) rule.windows.push_back(w.windowID);
  for (const Window& w : filter.exceptingWindows) rule.excepted.push_back(w.windowID);
  return rule;
}

Clock::duration frameInterval(const StreamConfiguration& configuration) {
  double seconds = configuration.minimumFrameInterval.seconds();
  if (!(seconds > 0)) seconds = 1.0 / 60;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::shared_ptr<const SampleBuffer> makeSample(const std::vector<std::uint8_t>& canvas,
                                               const MonitorInfo& monitor,
                                               const StreamConfiguration& configuration,
                                               std::vector<std::uint8_t>& scaled, Clock::time_point tick) {
  const int width = configuration.width;
  const int height = configuration.height;
  const std::uint8_t* argb = canvas.data();
  int stride = monitor.width * 4;
  if (width != monitor.width || height != monitor.height) {
    scaled.resize(static_cast<std::size_t>(width) * height * 4);
    libyuv::ARGBScale(canvas.data(), stride, monitor.width, monitor.height, scaled.data(), width * 4,
                      width, height, libyuv::kFilterBilinear);
    argb = scaled.data();
    stride = width * 4;
  }
  auto image = ImageBuffer::makeNV12(width, height);
  libyuv::ARGBToNV12(argb, stride, image->luma.data(), image->lumaStride, image->chroma.data(),
                     image->chromaStride, width, height);
  auto sample = std::make_shared<SampleBuffer>();
  sample->attachments = std::vector<Dictionary>{Dictionary{{keys::kStreamFrameInfoStatus, 0}}};
  sample->image = std::move(image);
  auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(tick.time_since_epoch());
  sample->presentationTime = MediaTime::make(now.count(), 1'000'000'000);
  return sample;
}

// Reported from the pool, not the capture thread: the report holds the
// stream, and whoever drops the last reference to it joins the capture thread.
void reportStopped(const std::shared_ptr<X11CaptureStream::State>& s, ErrorValue error) {
  asio::post(backgroundPool(), [s, error = std::move(error)] {
    auto delegate = s->delegate.lock();
    auto stream = s->stream.lock();
    if (delegate && stream) delegate->streamDidStopWithError(std::move(stream), error);
  });
}

void deliver(const std::shared_ptr<X11CaptureStream::State>& s,
             std::shared_ptr<const SampleBuffer> sample) {
  std::shared_ptr<StreamOutput> output;
  std::optional<SerialQueue> queue;
  {
    std::lock_guard lock(s->mutex);
    output = s->output;
    queue = s->queue;
  }
  if (!output || !queue) return;
  // A consumer that falls behind loses frames here instead of queueing them.
  if (s->outstanding.load() >= std::max(1, s->configuration.queueDepth)) return;
  ++s->outstanding;
  asio::post(*queue, [s, output, sample = std::move(sample)]() mutable {
    if (auto stream = s->stream.lock()) {
      output->streamDidOutputSampleBuffer(*stream, std::move(sample), StreamOutputType::screen);
    }
    --s->outstanding;
  });
}

void captureLoop(std::shared_ptr<X11CaptureStream::State> s, StreamCompletion startCompletion) {
  ErrorValue error;
  std::optional<XcbConnection> x = XcbConnection::open(
      s->displayName.empty() ? nullptr : s->displayName.c_str(), error);
  std::unique_ptr<FrameCompositor> compositor;
  std::unique_ptr<WatchedDesktop> desktop;
  if (x) {
    auto monitors = listMonitors(*x);
    auto monitor = std::find_if(monitors.begin(), monitors.end(), [&](const MonitorInfo& m) {
      return m.id == s->filter.display.displayID;
    });
    if (monitor == monitors.end()) {
      error = x11Error(3, "The selected display is no longer connected.");
    } else if (!hasResourceExtension(*x)) {
      error = x11Error(4, "This X display cannot tell which application owns a window.");
    } else if ((compositor = FrameCompositor::create(*x, *monitor, error))) {
      desktop = WatchedDesktop::create(*x, ruleFor(s->filter), error);
    }
  }
  {
    std::lock_guard lock(s->mutex);
    s->running = desktop != nullptr;
  }
  startCompletion(desktop ? std::nullopt : std::optional<ErrorValue>(error));
  if (!desktop) return;

  const Clock::duration interval = frameInterval(s->configuration);
  std::vector<std::uint8_t> canvas;
  std::vector<std::uint8_t> scaled;
  Clock::time_point next = Clock::now();
  std::optional<ErrorValue> failure;
  for (;;) {
    {
      std::unique_lock lock(s->mutex);
      if (s->wake.wait_until(lock, next, [&] { return s->stopRequested; })) break;
    }
    // Frames are stamped with their tick, not with the end of composing, which
    // varies: stamps then lie at least the frame interval apart.
    const Clock::time_point tick = next;
    next += interval;
    if (next < Clock::now()) next = Clock::now() + interval;
    if (x->broken()) {
      failure = x11Error(xcb_connection_has_error(x->get()), "The X display connection was lost.");
      break;
    }
    // A picture is only sent when no window changed while it was copied: the
    // round trip after the copy brings every event generated during it.
    desktop->drain();
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
      desktop->prepare();
      compositor->compose(desktop->tree(), desktop->decision(), desktop->seeds(), s->configuration.showsCursor,
                          canvas);
      std::free(xcb_get_input_focus_reply(x->get(), xcb_get_input_focus(x->get()), nullptr));
      if (!desktop->drain()) {
        deliver(s, makeSample(canvas, compositor->monitor(), s->configuration, scaled, tick));
        break;
      }
    }
  }
  desktop.reset();
  compositor.reset();
  StreamCompletion stopped;
  {
    std::lock_guard lock(s->mutex);
    s->running = false;
    stopped = std::move(s->stopCompletion);
  }
  if (failure && !stopped) reportStopped(s, std::move(*failure));
  if (stopped) stopped(std::nullopt);
}

}  // namespace

X11CaptureStream::X11CaptureStream(std::string displayName, ContentFilter filter,
                                   StreamConfiguration configuration,
                                   std::weak_ptr<StreamDelegate> delegate)
    : state_(std::make_shared<State>()) {
  state_->displayName = std::move(displayName);
  state_->filter = std::move(filter);
  state_->configuration = configuration;
  state_->delegate = std::move(delegate);
}

X11CaptureStream::~X11CaptureStream() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopRequested = true;
  }
  state_->wake.notify_all();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // the thread holds its own state and ends on its own
  } else {
    thread_.join();
  }
}

std::optional<ErrorValue> X11CaptureStream::addStreamOutput(std::shared_ptr<StreamOutput> output,
                                                            StreamOutputType type,
                                                            SerialQueue sampleHandlerQueue) {
  if (type != StreamOutputType::screen) return x11Error(5, "This capture delivers only the screen.");
  std::lock_guard lock(state_->mutex);
  if (state_->output) return x11Error(6, "This capture already has an output.");
  state_->output = std::move(output);
  state_->queue = std::move(sampleHandlerQueue);
  return std::nullopt;
}

void X11CaptureStream::startCapture(StreamCompletion completion) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->started || state_->stopRequested) {
      asio::post(backgroundPool(), [completion = std::move(completion)] {
        completion(x11Error(7, "This capture has already been started."));
      });
      return;
    }
    state_->started = true;
    state_->stream = weak_from_this();
  }
  thread_ = std::thread(captureLoop, state_, std::move(completion));
}

void X11CaptureStream::stopCapture(StreamCompletion completion) {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopRequested = true;
    if (state_->running && !state_->stopCompletion) {
      state_->stopCompletion = std::move(completion);
      state_->wake.notify_all();
      return;
    }
  }
  state_->wake.notify_all();
  asio::post(backgroundPool(), [completion = std::move(completion)] { completion(std::nullopt); });
}

}  // namespace tavrino::share::x11
