#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <random>
#include <unordered_set>

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>
#include <xcb/shape.h>

#include "platform/x11/content_queries.h"
#include "platform/x11/frame_compositor.h"
#include "platform/x11/picture_converter.h"
#include "platform/x11/process_family.h"
#include "platform/x11/pixel_formats.h"
#include "platform/x11/window_tree.h"
#include "platform/x11/x11_capture_service.h"
#include "support/child_process.h"

namespace tavrino::share {
namespace {

using namespace std::chrono_literals;
using testing::Xvfb;

ContentResult query(X11CaptureService& service) {
  std::promise<ContentResult> done;
  service.getShareableContent(false, true, [&](ContentResult r) { done.set_value(std::move(r)); });
  return done.get_future().get();
}

// Collects samples on the queue the capture delivers to.
struct Collector : StreamOutput {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::shared_ptr<const SampleBuffer>> samples;
  void streamDidOutputSampleBuffer(CaptureStream&, std::shared_ptr<const SampleBuffer> sample,
                                   StreamOutputType) override {
    std::lock_guard lock(mutex);
    samples.push_back(std::move(sample));
    arrived.notify_all();
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, 10s, [&] { return samples.size() >= count; });
  }
};

struct StopRecorder : StreamDelegate {
  std::promise<ErrorValue> stopped;
  void streamDidStopWithError(std::shared_ptr<CaptureStream>, const ErrorValue& error) override {
    stopped.set_value(error);
  }
};

std::optional<ErrorValue> wait(const std::function<void(StreamCompletion)>& operation) {
  std::promise<std::optional<ErrorValue>> done;
  operation([&](std::optional<ErrorValue> e) { done.set_value(std::move(e)); });
  return done.get_future().get();
}

StreamConfiguration smallConfiguration() {
  StreamConfiguration configuration;
  configuration.width = 640;
  configuration.height = 360;
  configuration.minimumFrameInterval = MediaTime::make(1, 30);
  configuration.queueDepth = 3;
  configuration.showsCursor = true;
  configuration.pixelFormat = ImageBuffer::kPixelFormat420v;
  return configuration;
}

// Captures the whole display, scaled to 640x360, into `output`.
std::shared_ptr<CaptureStream> startStream(X11CaptureService& service, const std::shared_ptr<Collector>& output,
                                           const std::shared_ptr<StreamDelegate>& delegate = {}) {
  auto result = query(service);
  if (!std::holds_alternative<ShareableContent>(result)) return nullptr;
  auto stream = service.makeStream(ContentFilter::excludingWindows(std::get<ShareableContent>(result).displays.at(0), {}),
                                   smallConfiguration(), delegate);
  if (stream->addStreamOutput(output, StreamOutputType::screen, makeSerialQueue()) ||
      wait([&](StreamCompletion c) { stream->startCapture(std::move(c)); }))
    return nullptr;
  return stream;
}

// A lost display ends the stream by itself. The width the start asks for on
// the main thread comes from the content query, so it needs no display.
TEST(X11Capture, LosingTheDisplayStopsTheStreamByItself) {
  Xvfb display("640x480x24");
  X11CaptureService service(display.name());
  auto delegate = std::make_shared<StopRecorder>();
  auto output = std::make_shared<Collector>();
  auto stream = startStream(service, output, delegate);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(output->waitFor(1));
  const std::uint32_t id = std::get<ShareableContent>(query(service)).displays.at(0).displayID;
  display.kill();
  auto future = delegate->stopped.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(future.get().domain, "X11");
  EXPECT_EQ(service.displayPixelsWide(id), 640);
}

TEST(X11Capture, StartOnAMissingDisplayOrAPaletteScreenFails) {
  Xvfb display;
  X11CaptureService service(display.name());
  Display gone{0xDEAD, 100, 100};
  auto stream = service.makeStream(ContentFilter::excludingWindows(gone, {}), smallConfiguration(), {});
  auto error = wait([&](StreamCompletion c) { stream->startCapture(std::move(c)); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "X11");

  // Pixels that index a colour map are no colours: refused in a sentence,
  // never shared as a grey picture.
  Xvfb palette("320x240x8");
  X11CaptureService paletteService(palette.name());
  auto content = query(paletteService);
  ASSERT_TRUE(std::holds_alternative<ShareableContent>(content));
  stream = paletteService.makeStream(
      ContentFilter::excludingWindows(std::get<ShareableContent>(content).displays.at(0), {}), smallConfiguration(), {});
  error = wait([&](StreamCompletion c) { stream->startCapture(std::move(c)); });
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("palette"), std::string::npos) << error->description;
}

// Queries that hold until released, numbered from 1; each lists one display
// whose id is its number. Shared with the query thread, which may outlive the test.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int begun = 0, released = 0, running = 0, overlapped = 0;
  ContentResult query() {
    std::unique_lock lock(mutex);
    overlapped += running++ > 0;
    const int n = ++begun;
    changed.notify_all();
    changed.wait(lock, [&] { return released >= n; });
    --running;
    return ShareableContent{{Display{static_cast<std::uint32_t>(n), 10 * n, 1}}, {}, {}};
  }
  // Releases the first n queries, then waits until one more has begun.
  bool release(int n, bool awaitNext = true) {
    std::unique_lock lock(mutex);
    released = n;
    changed.notify_all();
    return !awaitNext || changed.wait_for(lock, 10s, [&] { return begun > n; });
  }
};

// Requests share queries, one at a time, but a request is answered only by a
// query begun after it: one that arrives while a query runs waits for the
// next, since the desktop may have changed after the running one read it.
// Abandoned requests are released unanswered.
TEST(ContentQueries, ARequestIsAnsweredByAQueryBegunAfterIt) {
  auto gate = std::make_shared<Gate>();
  x11::ContentQueries queries([gate](bool) { return gate->query(); });
  std::vector<std::future<std::uint32_t>> answers;
  const auto ask = [&] {
    auto answer = std::make_shared<std::promise<std::uint32_t>>();
    answers.push_back(answer->get_future());
    queries.ask(true, [answer](ContentResult r) {
      answer->set_value(std::get<ShareableContent>(r).displays.at(0).displayID);
    });
  };
  ask();
  ASSERT_TRUE(gate->release(0));
  ask();
  ask();
  ASSERT_TRUE(gate->release(1));
  EXPECT_EQ(answers[0].get(), 1u);
  ask();
  ASSERT_TRUE(gate->release(2));
  EXPECT_EQ(answers[1].get(), 2u);
  EXPECT_EQ(answers[2].get(), 2u);
  EXPECT_EQ(queries.pixelsWide(2), 20);
  queries.abandon();
  ask();
  gate->release(3, false);
  for (std::size_t i = 3; i < answers.size(); ++i) EXPECT_THROW(answers[i].get(), std::future_error) << i;
  std::lock_guard lock(gate->mutex);
  EXPECT_EQ(gate->begun, 3);
  EXPECT_EQ(gate->overlapped, 0);
}

// The capture keeps its window tree from events instead of listing it for
// every frame; after any mix of changes it must equal a fresh listing.
TEST(WindowModel, KeptByEventsItEqualsAFreshListing) {
  Xvfb display("320x240x24");
  ErrorValue error;
  auto watcher = x11::XcbConnection::open(display.name().c_str(), error);
  auto actor = x11::XcbConnection::open(display.name().c_str(), error);
  ASSERT_TRUE(watcher && actor);
  x11::WindowTree kept(*watcher, true);
  xcb_connection_t* c = actor->get();
  std::vector<xcb_window_t> windows{actor->root()};
  std::unordered_set<xcb_window_t> named;  // given a WM_CLASS
  std::mt19937 random(20261206);
  auto pick = [&] { return windows[random() % windows.size()]; };
  auto sync = [](xcb_connection_t* connection) {
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  };
  for (int round = 0; round < 24; ++round) {
    for (int step = 0; step < 80; ++step) {
      const xcb_window_t w = pick();
      const auto n = static_cast<std::int16_t>(random() % 100);
      switch (random() % 8) {
        case 0:
        case 1: {
          xcb_window_t created = xcb_generate_id(c);
          xcb_create_window(c, XCB_COPY_FROM_PARENT, created, w, n, n / 2, 40 + n, 30, n % 3,
                            XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
          windows.push_back(created);
          break;
        }
        case 2: xcb_map_window(c, w); break;
        case 3: xcb_unmap_window(c, w); break;
        case 4: {
          const std::uint32_t values[] = {static_cast<std::uint32_t>(n), 20u + n,
                                          random() % 2 ? XCB_STACK_MODE_ABOVE : XCB_STACK_MODE_BELOW};
          xcb_configure_window(c, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_STACK_MODE,
                               values);
          break;
        }
        case 5: xcb_reparent_window(c, w, pick(), n, n); break;  // refused into its own subtree
        case 6: {
          // An instance name of any length: the class after it still counts.
          const std::string cls = std::string(1 + random() % 400, 'i') + '\0' + "some.app" + '\0';
          xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                              static_cast<std::uint32_t>(cls.size()), cls.data());
          named.insert(w);
          xcb_rectangle_t hole{0, 0, 10, 10};
          xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_UNSORTED, w, 0, 0, 1, &hole);
          break;
        }
        case 7:
          if (w != actor->root() && random() % 6 == 0) xcb_destroy_window(c, w);
          break;
      }
    }
    sync(c);
    sync(watcher->get());
    while (xcb_generic_event_t* event = xcb_poll_for_event(watcher->get())) {
      kept.apply(event);
      std::free(event);
    }
    kept.probePending();
    x11::WindowTree fresh(*watcher, false);
    std::function<void(const x11::WindowNode&)> compare = [&](const x11::WindowNode& f) {
      const x11::WindowNode* k = kept.find(f.id);
      ASSERT_TRUE(k) << "window " << f.id << " missing after round " << round;
      EXPECT_EQ(k->parent, f.parent);
      EXPECT_EQ(k->children, f.children) << "children of " << f.id << " in round " << round;
      EXPECT_EQ(k->outer(), f.outer());
      EXPECT_EQ(k->mapped, f.mapped);
      EXPECT_EQ(k->wmClass, f.wmClass);
      EXPECT_TRUE(named.count(f.id) == 0 || f.wmClass == "some.app") << f.id;
      EXPECT_EQ(k->shape.has_value(), f.shape.has_value());
      for (xcb_window_t child : f.children) compare(*fresh.find(child));
    };
    compare(fresh.root());
    EXPECT_EQ(kept.subtree(kept.root()).size(), fresh.subtree(fresh.root()).size());
  }
}

// A changed area is read only from the windows that show there: one covered
// by an opaque window costs no round trip, and outside its shape a window
// shows what lies below it.
TEST(FrameCompositor, ReadsOnlyTheWindowsThatShow) {
  Xvfb display("320x240x24");
  ErrorValue error;
  auto x = x11::XcbConnection::open(display.name().c_str(), error);
  ASSERT_TRUE(x);
  auto compositor = x11::FrameCompositor::create(*x, x11::listMonitors(*x).at(0), error);
  ASSERT_TRUE(compositor) << error.description;
  xcb_connection_t* c = x->get();
  xcb_window_t top = 0;
  const std::tuple<std::uint32_t, int, int> windows[] = {{0xff0000, 0, 200}, {0x00ff00, 50, 200}, {0x0000ff, 100, 100}};
  for (const auto& [colour, at, size] : windows) {
    top = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, top, x->root(), at, at, size, size, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, &colour);
    xcb_map_window(c, top);
  }
  const xcb_rectangle_t upperHalf{0, 0, 100, 50};
  xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_UNSORTED, top, 0, 0, 1, &upperHalf);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  x11::WindowTree tree(*x, false);
  std::vector<std::uint8_t> canvas(320 * 240 * 4);
  compositor->compose(compositor->layers(tree, {}, x11::SeedGuard(*x, false)), x11::Region(x11::Rect{100, 100, 100, 100}),
                      x11::Surface{canvas.data(), 320 * 4, {0, 0, 320, 240}});
  auto colourAt = [&](int px, int py) {
    std::uint32_t pixel;
    std::memcpy(&pixel, &canvas[(static_cast<std::size_t>(py) * 320 + px) * 4], 4);
    return pixel & 0xFFFFFF;
  };
  EXPECT_EQ(colourAt(150, 120), 0x0000ffu);
  EXPECT_EQ(colourAt(150, 170), 0x00ff00u);
  EXPECT_EQ(compositor->imagesRead(), 2u) << "the red window lies wholly under the green one there";
}

// A scope ties helper processes to the application only when a desktop made
// it for one launch; a session, a service or a terminal tab holds many programs.
TEST(ProcessFamily, OnlyAScopeOfOneLaunchTies) {
  const std::string user = "/user.slice/user-1000.slice/user@1000.service/app.slice/";
  EXPECT_EQ(x11::applicationScope("0::" + user + "app-gnome-org.example.Notes-4242.scope\n"),
            user + "app-gnome-org.example.Notes-4242.scope");
  EXPECT_EQ(x11::applicationScope("12:pids:/x\n1:name=systemd:" + user + "app-org.kde.notes-a1b2.scope\n0::/\n"),
            user + "app-org.kde.notes-a1b2.scope");
  for (const std::string& shared : {std::string("/user.slice/user-1000.slice/session-2.scope"), user + "dbus.service",
                                   user + "app-gnome-notes@1.service", user + "app-org.gnome.Terminal.slice/vte-spawn-9.scope",
                                   std::string("/init.scope"), std::string("/"), std::string("/app-.scope")}) {
    EXPECT_FALSE(x11::applicationScope("0::" + shared + "\n")) << shared;
  }
}

// Layouts without a routine of their own are read channel by channel through
// the visual's masks; for the layouts that have one, both ways must agree,
// which checks the masks' reading and the choice of routine alike.
TEST(PixelFormats, MaskedReadingAgreesWithEachLayoutsRoutine) {
  using Kind = x11::PixelLayout::Kind;
  const x11::PixelLayout layouts[] = {
      {Kind::bgra, 32, 32, 32, true, 0xFF0000, 0xFF00, 0xFF, 0xFF000000},
      {Kind::rgba, 32, 32, 32, true, 0xFF, 0xFF00, 0xFF0000, 0xFF000000},
      {Kind::rgb10, 30, 32, 32, true, 0x3FF00000, 0xFFC00, 0x3FF, 0},
      {Kind::bgr10, 30, 32, 32, true, 0x3FF, 0xFFC00, 0x3FF00000, 0},
      {Kind::rgb565, 16, 16, 32, true, 0xF800, 0x7E0, 0x1F, 0},
      {Kind::rgb555, 15, 16, 32, true, 0x7C00, 0x3E0, 0x1F, 0},
  };
  constexpr int kWidth = 37, kHeight = 5;  // odd: rows of 16-bit pixels are padded
  std::mt19937 random(7);
  for (const x11::PixelLayout& layout : layouts) {
    x11::PixelLayout masked = layout;
    masked.kind = Kind::masked;
    const std::size_t stride = layout.rowBytes(kWidth);
    std::vector<std::uint8_t> image(stride * kHeight);
    for (auto& b : image) b = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> fast(kWidth * kHeight * 4), slow(fast.size());
    x11::convertPixels(layout, image.data(), stride, fast.data(), kWidth * 4, kWidth, kHeight);
    x11::convertPixels(masked, image.data(), stride, slow.data(), kWidth * 4, kWidth, kHeight);
    for (std::size_t i = 0; i < fast.size(); ++i) {
      if (i % 4 == 3 && !layout.translucent()) continue;  // alpha that means nothing
      // Widening 5 or 6 bits to 8 may round either way.
      ASSERT_LE(std::abs(fast[i] - slow[i]), 1) << "layout " << static_cast<int>(layout.kind) << ", byte " << i;
    }
  }
}

// Pictures brought up to date only where the screen changed, in whichever
// buffer is free, match a whole conversion of the screen (when scaled, in
// bands that never hold the whole screen, the filter's reach beyond each
// change included), and mark every block that differs from the picture
// delivered before, also after one went nowhere.
TEST(PictureConverter, UpdatedPicturesEqualAWholeConversionAndMarkEveryChangedBlock) {
  for (const auto [screenWidth, screenHeight, width, height] :
       {std::array{320, 200, 320, 200}, std::array{1000, 600, 640, 384}, std::array{1280, 720, 640, 360}}) {
    SCOPED_TRACE(std::to_string(screenWidth) + " to " + std::to_string(width));
    const x11::Rect whole{0, 0, screenWidth, screenHeight};
    std::mt19937 random(11);
    std::vector<std::uint32_t> screen(static_cast<std::size_t>(screenWidth) * screenHeight);
    for (auto& pixel : screen) pixel = static_cast<std::uint32_t>(random());
    const x11::PictureConverter::Painter paint = [&](const x11::Region& area, const x11::Surface& surface) {
      ASSERT_TRUE(area.intersected(surface.box).rects() == area.rects()) << "asked for more than the surface holds";
      for (const x11::Rect& r : area.rects())
        for (int row = r.y; row < r.bottom(); ++row)
          std::memcpy(surface.at(r.x, row), &screen[row * screenWidth + r.x], r.width * 4);
    };
    const auto wholeConversion = [&] {
      std::vector<std::uint8_t> scaled(static_cast<std::size_t>(width) * height * 4);
      libyuv::ARGBScale(reinterpret_cast<const std::uint8_t*>(screen.data()), screenWidth * 4, screenWidth,
                        screenHeight, scaled.data(), width * 4, width, height, libyuv::kFilterBilinear);
      auto image = ImageBuffer::makeNV12(width, height);
      libyuv::ARGBToNV12(scaled.data(), width * 4, image->luma.data(), image->lumaStride, image->chroma.data(),
                         image->chromaStride, width, height);
      return image;
    };
    x11::PictureConverter converter(screenWidth, screenHeight, width, height);
    converter.paint(x11::Region(whole), paint);
    converter.update(x11::Region(whole));
    std::vector<std::shared_ptr<const ImageBuffer>> held{converter.picture()};
    ImageBuffer before = *held[0];  // what the consumer saw last
    for (int step = 1; step <= 12; ++step) {
      x11::Region changed;
      for (int n = 0; n < 3; ++n) {  // small changes anywhere, edges included
        const int x = static_cast<int>(random() % screenWidth) - 10, y = static_cast<int>(random() % screenHeight) - 10;
        const x11::Rect r =
            x11::Rect{x, y, 1 + static_cast<int>(random() % 40), 1 + static_cast<int>(random() % 40)}.intersected(whole);
        changed.add(r);
        const auto colour = static_cast<std::uint32_t>(random());
        for (int row = r.y; row < r.bottom(); ++row) std::fill_n(&screen[row * screenWidth + r.x], r.width, colour);
      }
      converter.paint(changed, paint);
      converter.update(changed);
      // Up to two pictures stay with the consumer, so buffers take turns.
      if (held.size() > static_cast<std::size_t>(step % 3)) held.erase(held.begin());
      const auto picture = converter.picture();
      const auto expected = wholeConversion();
      ASSERT_TRUE(picture);
      // The scaler's vector and plain routines round apart by one, and which
      // one a pixel gets depends on where its rectangle begins.
      const auto near = [](const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](int p, int q) { return std::abs(p - q) <= 1; });
      };
      ASSERT_TRUE(near(picture->luma, expected->luma) && near(picture->chroma, expected->chroma)) << step;
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          const std::size_t luma = y * width + x, chroma = y / 2 * width + x;
          const bool differs =
              picture->luma[luma] != before.luma[luma] || picture->chroma[chroma] != before.chroma[chroma];
          ASSERT_TRUE(!differs || picture->changed.changed(x / 16, y / 16)) << step << ": " << x << "," << y;
        }
      if (step % 3 == 0) {  // never reaches the consumer
        converter.undelivered(*picture);
      } else {
        before = *picture;
        held.push_back(picture);
      }
    }
  }
}

}  // namespace
}  // namespace tavrino::share
