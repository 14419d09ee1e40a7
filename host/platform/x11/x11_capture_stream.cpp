#include "platform/x11/x11_capture_stream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include <asio/post.hpp>

#include "platform/x11/cursor_overlay.h"
#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/exclusion_rule.h"
#include "platform/x11/frame_compositor.h"
#include "platform/x11/monitor_watch.h"
#include "platform/x11/picture_converter.h"
#include "platform/x11/watched_desktop.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

namespace {
// Wakes the capture thread from its wait on the X connection.
class WakeSignal {
 public:
  WakeSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~WakeSignal() {
    if (fd_ >= 0) close(fd_);
  }
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;
  int fd() const { return fd_; }
  void raise() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
  }

 private:
  int fd_;
};
}  // namespace

struct X11CaptureStream::State {
  std::string displayName;
  ContentFilter filter;
  StreamConfiguration configuration;
  std::weak_ptr<StreamDelegate> delegate;
  std::weak_ptr<CaptureStream> stream;

  std::mutex mutex;
  WakeSignal wake;
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

// Stamped with the moment the capture began, not the end of composing, which
// varies: pictures then lie at least the frame interval apart.
std::shared_ptr<const SampleBuffer> makeSample(int status, std::shared_ptr<const ImageBuffer> image,
                                               Clock::time_point at) {
  auto sample = std::make_shared<SampleBuffer>();
  sample->attachments = std::vector<Dictionary>{Dictionary{{keys::kStreamFrameInfoStatus, status}}};
  sample->image = std::move(image);
  auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
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

// Whether the sample was handed on.
bool deliver(const std::shared_ptr<X11CaptureStream::State>& s, std::shared_ptr<const SampleBuffer> sample) {
  std::shared_ptr<StreamOutput> output;
  std::optional<SerialQueue> queue;
  {
    std::lock_guard lock(s->mutex);
    output = s->output;
    queue = s->queue;
  }
  if (!output || !queue) return false;
  // A consumer that falls behind loses frames here instead of queueing them.
  if (s->outstanding.load() >= std::max(1, s->configuration.queueDepth)) return false;
  ++s->outstanding;
  asio::post(*queue, [s, output, sample = std::move(sample)]() mutable {
    if (auto stream = s->stream.lock()) {
      output->streamDidOutputSampleBuffer(*stream, std::move(sample), StreamOutputType::screen);
    }
    --s->outstanding;
  });
  return true;
}

// Waits for an X event, the wake signal or the deadline, whichever comes
// first; with watchX false only for the last two.
void waitFor(const XcbConnection& x, const WakeSignal& wake, bool watchX, Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return;
  pollfd fds[2] = {{wake.fd(), POLLIN, 0}, {xcb_get_file_descriptor(x.get()), POLLIN, 0}};
  poll(fds, watchX ? 2 : 1, static_cast<int>(std::min<long long>(left, 1000)));
}

// Delivers a picture whenever something on the monitor changed and the
// minimum frame interval allows, and an idle sample (no picture) at every
// interval that brought none. What was painted is kept between pictures;
// only the parts that changed are read, painted and converted again. Returns
// the failure that ended it, or none when it was asked to stop.
std::optional<ErrorValue> paintFrames(const std::shared_ptr<X11CaptureStream::State>& s, const XcbConnection& x,
                                      WatchedDesktop& desktop, FrameCompositor& compositor, MonitorWatch& watch) {
  const Clock::duration interval = frameInterval(s->configuration);
  MonitorInfo monitor = compositor.monitor();
  const bool showsCursor = s->configuration.showsCursor;
  CursorOverlay cursor(x, monitor);
  PictureConverter converter(monitor.width, monitor.height, s->configuration.width, s->configuration.height);
  // The picture shows `shown` everywhere except in `stale` (root
  // coordinates), which is painted again before the next picture leaves.
  // The layer list is made again only when what it is made of changed, so a
  // still desktop or one window drawing costs no walk over every window.
  using LayerList = std::shared_ptr<const Layers>;
  LayerList shown = std::make_shared<const Layers>();
  LayerList built;
  std::uint64_t builtAt = 0;
  auto current = [&] {
    if (!built || builtAt != desktop.generation()) {
      built = std::make_shared<const Layers>(compositor.layers(desktop.tree(), desktop.decision(), desktop.seeds()));
      builtAt = desktop.generation();
    }
    return built;
  };
  auto changedSince = [&](const LayerList& layers) {
    return layers == shown ? Region{} : changedBetween(*shown, *layers);
  };
  // Where the pointer's choice of image or place changed (root coordinates).
  auto cursorChange = [&] {
    if (!showsCursor) return Region{};
    return cursor.place(Exclusion::protectedArea(desktop.tree(), desktop.decision())).translated(monitor.x, monitor.y);
  };
  Region stale(compositor.screen());
  Clock::time_point lastPicture = Clock::now() - interval;
  Clock::time_point nextTick = Clock::now();
  // A picture that could not leave: the converter had no free buffer, every
  // one being with the consumer, or the consumer took no more. It leaves at
  // the next tick instead, so a desktop that then stays still is not left
  // stale.
  bool owed = false;
  // A picture when there is one, else an idle sample when the tick is due.
  auto offer = [&](std::shared_ptr<const ImageBuffer> picture, Clock::time_point now) {
    if (picture) {
      owed = !deliver(s, makeSample(keys::kFrameStatusComplete, picture, now));
      if (owed) converter.undelivered(*picture);
      lastPicture = now;
      nextTick = now + interval;
    } else if (now >= nextTick) {
      deliver(s, makeSample(keys::kFrameStatusIdle, nullptr, now));
      nextTick = std::max(nextTick + interval, now);
    }
  };
  for (;;) {
    {
      // Checked on every pass: a desktop that never stops changing never
      // lets the loop wait.
      std::lock_guard lock(s->mutex);
      if (s->stopRequested) return std::nullopt;
    }
    // The monitor the user chose: followed while its size stays, else the
    // capture ends rather than show an area nobody picked.
    if (const MonitorWatch::Change change = watch.poll(); change == MonitorWatch::Change::lost) {
      return x11Error(10, "The shared monitor was removed or resized.");
    } else if (change == MonitorWatch::Change::moved) {
      monitor = watch.monitor();
      compositor.follow(monitor);
      cursor.follow(monitor);
      stale = Region(compositor.screen());
      built.reset();  // clipped to the old place
    }
    desktop.drain();  // XCB may hold events it read while waiting for a reply
    Clock::time_point now = Clock::now();
    const bool pending = desktop.touched() || !stale.empty();
    if (now < nextTick && !(pending && now >= lastPicture + interval)) {
      // A change waiting for its slot leaves the connection unread meanwhile.
      waitFor(x, s->wake, !pending, pending ? std::min(nextTick, lastPicture + interval) : nextTick);
      continue;
    }
    if (x.broken()) return x11Error(xcb_connection_has_error(x.get()), "The X display connection was lost.");

    desktop.prepare();
    LayerList layers = current();
    Region changed = desktop.takeDrawn();
    changed.add(changedSince(layers));
    changed.add(stale);
    const bool cursorMoved = showsCursor && cursor.fetch();
    if (changed.intersected(compositor.screen()).empty() && !cursorMoved) {
      if (now >= nextTick) {
        std::shared_ptr<const ImageBuffer> picture = owed ? converter.picture() : nullptr;
        owed = owed && picture == nullptr;
        offer(std::move(picture), now);
      }
      continue;
    }

    // A picture is only sent when no window changed while it was copied: the
    // round trip after the copy brings every event generated during it. The
    // pointer is drawn over what is painted, with the choice of image the
    // latest window list allows.
    auto paint = [&](const Region& area, const Surface& surface) {
      compositor.compose(*layers, area.translated(monitor.x, monitor.y), surface.translated(monitor.x, monitor.y));
      if (showsCursor) cursor.draw(surface, area);
    };
    Region repainted;
    changed.add(cursorChange());
    stale = changed.intersected(compositor.screen());
    for (int attempt = 0; attempt < kCopyAttempts && !stale.empty(); ++attempt) {
      if (attempt > 0) {
        desktop.prepare();
        layers = current();
        stale.add(desktop.takeDrawn());
        stale.add(changedSince(layers));
        stale.add(cursorChange());
        stale = stale.intersected(compositor.screen());
      }
      converter.paint(stale.translated(-monitor.x, -monitor.y), paint);
      std::free(xcb_get_input_focus_reply(x.get(), xcb_get_input_focus(x.get()), nullptr));
      if (!desktop.drain()) {
        repainted.add(stale.translated(-monitor.x, -monitor.y));
        stale = Region{};
        shown = layers;
      }
    }
    // Torn every time: what could be trusted is converted, the rest waits.
    if (!stale.empty()) repainted.subtract(stale.translated(-monitor.x, -monitor.y));
    converter.update(repainted);
    std::shared_ptr<const ImageBuffer> picture;
    if (stale.empty()) {
      picture = converter.picture();
      owed = picture == nullptr;
    }
    offer(std::move(picture), now);
  }
}

void captureLoop(std::shared_ptr<X11CaptureStream::State> s, StreamCompletion startCompletion) {
  ErrorValue error;
  std::optional<XcbConnection> x = XcbConnection::open(
      s->displayName.empty() ? nullptr : s->displayName.c_str(), error);
  std::unique_ptr<FrameCompositor> compositor;
  std::unique_ptr<WatchedDesktop> desktop;
  std::unique_ptr<MonitorWatch> watch;
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
      watch = desktop ? MonitorWatch::open(s->displayName.empty() ? nullptr : s->displayName.c_str(), *monitor, error)
                      : nullptr;
      if (!watch) desktop.reset();
    }
  }
  {
    std::lock_guard lock(s->mutex);
    s->running = desktop != nullptr;
  }
  startCompletion(desktop ? std::nullopt : std::optional<ErrorValue>(error));
  if (!desktop) return;

  std::optional<ErrorValue> failure = paintFrames(s, *x, *desktop, *compositor, *watch);
  watch.reset();
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
  state_->wake.raise();
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
      state_->wake.raise();
      return;
    }
  }
  state_->wake.raise();
  asio::post(backgroundPool(), [completion = std::move(completion)] { completion(std::nullopt); });
}

}  // namespace tavrino::share::x11
