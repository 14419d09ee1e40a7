// One VideoPipe driven the way the capture service, the encoder and the
// dispatcher drive it, each from its own thread.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "doubles/fake_capture_service.h"
#include "doubles/fake_compression_session.h"
#include "doubles/message_log.h"
#include "support/child_process.h"
#include "video_pipe/video_pipe.h"
#include "video_pipe_inspector.h"

namespace tavrino::share::testing {
namespace {

using nlohmann::json;
using Types = std::vector<std::string>;

constexpr const char* kRequest = "req-7";

MediaTime seconds(double value) {
  return MediaTime::make(static_cast<std::int64_t>(value * 1'000'000'000), 1'000'000'000);
}

json errorMessage(const std::string& text, const std::string& request = kRequest) {
  return {{"type", "error"}, {"request", request}, {"message", text}};
}

class PipeHarness {
 public:
  // Frames take the pipe's ready-body way, as in the helper.
  explicit PipeHarness(std::optional<std::int32_t> ownerPID = std::nullopt, std::string request = kRequest) {
    pipe = std::get<std::shared_ptr<VideoPipe>>(VideoPipe::create(
        1280, 720, std::move(request), ownerPID, encoders, [log = log](const json& m) { log->add(m); },
        [log = log, bodies = bodies](const std::string& body) {
          bodies->add(body);
          log->add(json::parse(body));
        }));
  }
  ~PipeHarness() {
    // A pipe left running would be kept alive by the handlers the double holds.
    if (!finished_) finish();
    session().releaseHandlers();
  }

  FakeSessionLog& session() { return *encoders.log; }

  // Hands one sample to the pipe on its queue, as the capture service does.
  void offer(std::shared_ptr<const SampleBuffer> sample, StreamOutputType type = StreamOutputType::screen) {
    std::promise<void> done;
    asio::post(pipe->queue(), [&] {
      pipe->streamDidOutputSampleBuffer(stream, std::move(sample), type);
      done.set_value();
    });
    done.get_future().get();
  }
  void offerFrameAt(double at, std::int64_t status = 0) { offer(makeCapturedSample(seconds(at), status)); }

  // Reports the encoder's result for the index-th encode call from an encoder
  // thread and waits until the pipe has handled it.
  void deliver(std::size_t index, std::int32_t status, std::shared_ptr<const SampleBuffer> sample) {
    session().deliverOnThread(index, status, std::move(sample));
    snapshot();
  }
  void deliverGood(std::size_t index, EncodedSampleSpec spec = {}) {
    spec.presentationTime = session().call(index).presentationTime;
    deliver(index, 0, makeEncodedSample(std::move(spec)));
  }
  void acknowledge(std::int64_t id) {
    std::thread([&] { pipe->acknowledge(id); }).join();
    snapshot();
  }

  VideoPipeInspector::Snapshot snapshot() { return VideoPipeInspector::snapshot(*pipe); }

  // Runs finish() as the capture stop does: a coroutine on its own executor.
  // Returns whether it resumed on that executor's thread.
  bool finish() {
    finished_ = true;
    asio::io_context context;
    bool resumedHere = false;
    const auto thread = std::this_thread::get_id();
    asio::co_spawn(
        context,
        [&]() -> asio::awaitable<void> {
          co_await pipe->finish();
          resumedHere = std::this_thread::get_id() == thread;
        },
        asio::detached);
    context.run();
    // The pool thread that resumed us may still be inside the context's wake-up
    // call; passing the pipe's queue once more orders that before the context
    // is destroyed.
    snapshot();
    return resumedHere;
  }

  FakeCompressionSessionFactory encoders;
  std::shared_ptr<MessageLog> log = std::make_shared<MessageLog>();
  std::shared_ptr<MessageLog> bodies = std::make_shared<MessageLog>();  // raw frame texts
  FakeCaptureStream stream{{}, {}, std::nullopt};  // only named as the samples' source
  std::shared_ptr<VideoPipe> pipe;

 private:
  bool finished_ = false;
};

// A 64x16 picture whose one changed block is the given column.
std::shared_ptr<SampleBuffer> pictureChangedAt(double at, int column) {
  auto image = ImageBuffer::makeNV12(64, 16);
  image->changed.clear(64, 16);
  image->changed.mark(column * 16, 0, 1, 1);
  return makeCapturedSample(seconds(at), 0, std::move(image));
}

// Two frames may be in flight (encoding or waiting for their ack); the rest
// are dropped, counted, and given no id, and what they changed goes with the
// next frame encoded, which the encoder measures against the last it saw.
// The latest dropped picture goes out at the first idle tick with room, unless
// a newer picture got there first: a still desktop must not leave it unsent.
TEST(VideoPipeIntake, BackpressureDropsAreCountedAndTheLatestGoesOutWhenTheDesktopIsStill) {
  PipeHarness h;
  std::vector<std::shared_ptr<SampleBuffer>> pictures;
  for (int i = 0; i < 4; ++i) h.offer(pictures.emplace_back(pictureChangedAt(i / 12.0, i)));
  h.offerFrameAt(0.4, 1);  // idle, but no room
  EXPECT_EQ(h.session().callCount(), 2u);  // drops happen before encoding
  h.deliverGood(0);
  h.deliverGood(1);
  h.acknowledge(1);
  h.acknowledge(99);  // never given out: no effect
  h.acknowledge(1);   // twice: no effect
  h.offerFrameAt(0.5, 1);  // the last dropped picture as id 3
  h.offer(pictureChangedAt(0.6, 1));  // dropped
  h.deliverGood(2);
  h.acknowledge(2);
  h.acknowledge(3);
  h.offer(pictureChangedAt(0.7, 0));  // id 4, newer than the one held
  h.deliverGood(3);
  h.acknowledge(4);
  h.offerFrameAt(0.8, 1);  // nothing held any more
  h.offerFrameAt(0.9);  // id 5
  ASSERT_EQ(h.session().callCount(), 5u);
  EXPECT_EQ(h.session().call(2).image, pictures[3]->image);
  EXPECT_NEAR(h.session().call(2).presentationTime.seconds(), 0.5, 1e-9);
  const auto missed = [&](std::size_t call) {
    const auto options = h.session().call(call).options;
    return options && options->missed ? options->missed->marks : std::vector<std::uint8_t>{};
  };
  EXPECT_EQ(missed(2), (std::vector<std::uint8_t>{0, 0, 1, 1}));
  EXPECT_EQ(missed(3), (std::vector<std::uint8_t>{0, 1, 0, 0}));
  EXPECT_EQ(missed(4), std::vector<std::uint8_t>{});
  const auto frames = h.log->ofType("frame");
  ASSERT_EQ(frames.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(frames[i].at("id"), i + 1);

  h.finish();
  // The picture sent late counts once more as received, so ids stay received minus drops.
  EXPECT_EQ(h.log->ofType("stats"), (std::vector<json>{{{"type", "stats"},
                                                        {"request", kRequest},
                                                        {"received", 8},
                                                        {"sent", 4},
                                                        {"backpressureDrops", 3}}}));
}

TEST(VideoPipeIntake, FirstTwoFramesAreKeyFramesAndTimesStartAtTheFirst) {
  PipeHarness h;
  h.offer(makeCapturedSample(MediaTime::make(987'654'321, 1000)));
  h.offer(makeCapturedSample(MediaTime::make(987'654'821, 1000)));  // 0.5 s later
  // The frames never left the encoder; their slots are freed all the same.
  h.acknowledge(1);
  h.acknowledge(2);
  // Another clock rate: 0.5 s + 1/12 s after the first frame.
  h.offer(makeCapturedSample(MediaTime::make(296'296'296'300 + 150'000 + 25'000, 300'000)));
  ASSERT_EQ(h.session().callCount(), 3u);
  const double times[] = {0.0, 0.5, 0.5 + 1.0 / 12};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto call = h.session().call(i);
    EXPECT_NEAR(call.presentationTime.seconds(), times[i], 1e-9) << i;
    EXPECT_EQ(call.options.has_value(), i < 2) << i;
    EXPECT_TRUE(!call.options || call.options->forceKeyFrame) << i;
  }
}

TEST(VideoPipeIntake, UnusableSamplesAreNeitherCountedNorEncoded) {
  PipeHarness h;
  h.offer(makeCapturedSample(seconds(0), 0), StreamOutputType::audio);
  h.offer(makeCapturedSample(seconds(0), 1));  // idle frame
  h.offer(makeCapturedSample(seconds(0), 0, nullptr));
  for (auto attachments : {std::optional<std::vector<Dictionary>>{}, std::optional(std::vector<Dictionary>{})}) {
    auto sample = makeCapturedSample(seconds(0));
    sample->attachments = std::move(attachments);
    h.offer(sample);
  }
  const auto s = h.snapshot();
  EXPECT_EQ(s.received, 0);
  EXPECT_EQ(h.session().callCount(), 0u);
  EXPECT_FALSE(s.firstTimestamp);
  EXPECT_TRUE(h.log->all().empty());
}

TEST(VideoPipeIntake, RefusedFrameStopsThePipeWithOneError) {
  PipeHarness h;
  h.session().refuseFramesWith(-12902);
  h.offerFrameAt(0);
  h.offerFrameAt(0.1);
  const auto s = h.snapshot();
  EXPECT_TRUE(s.stopped);
  EXPECT_TRUE(s.pending.empty());
  EXPECT_EQ(s.received, 1);
  EXPECT_EQ(h.session().callCount(), 1u);
  h.finish();
  EXPECT_EQ(h.log->types(), (Types{"error", "stats"}));
  EXPECT_EQ(h.log->all()[0], errorMessage("Video input failed (-12902)."));
}

// The owner is probed on every screen sample, also one that would be dropped;
// once it is gone, frames still in the encoder are discarded.
TEST(VideoPipeIntake, OwnerGoneSendsOneErrorThenOnlyStats) {
  Child owner({"/bin/sleep", "60"}, false);
  PipeHarness h(owner.pid());
  h.offerFrameAt(0);
  EXPECT_EQ(h.session().callCount(), 1u);
  owner.kill();  // and reaped: a zombie would still answer the probe

  h.offerFrameAt(0.1, 1);
  EXPECT_EQ(h.log->types(), Types{"error"});
  h.offerFrameAt(0.2);
  h.deliverGood(0);
  h.finish();
  EXPECT_EQ(h.session().callCount(), 1u);
  EXPECT_EQ(h.log->types(), (Types{"error", "stats"}));
  EXPECT_EQ(h.log->all()[0], errorMessage("Tavrino closed. Start sharing again after reopening it."));
  EXPECT_EQ(h.log->all()[1].at("received"), 1);
}

// Frames written as ready bodies must say what the message would, keep the
// Base64 slashes unescaped, and stay within the limits.
TEST(VideoPipeEmit, FrameBodiesMatchTheMessageUpToSevenHundredThousandBytes) {
  const std::string request = "a\"b\\c/\u00e9\U0001F600\n";
  PipeHarness h(std::nullopt, request);
  h.offerFrameAt(0);
  h.offerFrameAt(0.5);
  EncodedSampleSpec largest;
  largest.data.assign(700'000, 0xFF);  // all "/" in Base64: the worst case for escaping
  largest.avcC = std::vector<std::uint8_t>{1, 0x64, 0x00, 0x28, 0xFF};  // five bytes are enough
  h.deliverGood(0, largest);
  EncodedSampleSpec small;
  small.data = {0, 0, 0, 3, 0x65, 0xFB, 0xFF};
  small.notSync = true;
  h.deliverGood(1, small);
  h.acknowledge(1);
  h.acknowledge(2);
  h.offerFrameAt(1);
  EncodedSampleSpec tooLarge;
  tooLarge.data.assign(700'001, 0);
  h.deliverGood(2, tooLarge);
  h.offerFrameAt(1.5);

  const auto messages = h.log->all();
  ASSERT_EQ(h.log->types(), (Types{"configuration", "frame", "frame", "error"}));
  EXPECT_EQ(messages[0], (json{{"type", "configuration"}, {"request", request}, {"codec", "avc1.640028"},
                               {"description", "AWQAKP8="}, {"width", 1280}, {"height", 720}}));
  EXPECT_EQ(messages[1].at("data").get<std::string>().size(), 933'336u);
  EXPECT_EQ(messages[2], (json{{"type", "frame"}, {"request", request}, {"id", 2}, {"key", false},
                               {"timestamp", 500000}, {"data", "AAAAA2X7/w=="}}));
  EXPECT_EQ(messages[3],
            errorMessage("Video frame exceeded the sharing limit. Share at a lower resolution.", request));
  const std::string big = h.bodies->all().at(0).get<std::string>();
  EXPECT_NE(big.find(std::string(933'333, '/')), std::string::npos);
  EXPECT_LT(big.size(), 1'048'576u);  // still fits the framing cap
  EXPECT_EQ(h.snapshot().sent, 2);
  EXPECT_EQ(h.session().callCount(), 3u);  // stopped: the last frame never reached the encoder
}

TEST(VideoPipeEmit, KeyFlagAndTimestampFollowTheEncodedSample) {
  const auto notSync = [](Dictionary value) {
    return std::vector<Dictionary>{{{keys::kSampleAttachmentNotSync, std::move(value)}}};
  };
  const struct {
    std::optional<std::vector<Dictionary>> attachments;
    MediaTime time;
    bool key;
    std::int64_t microseconds;  // rounded half away from zero
  } cases[] = {
      {std::nullopt, MediaTime::make(1, 12), true, 83333},
      {std::vector<Dictionary>{}, MediaTime::make(5, 12), true, 416667},
      {std::vector<Dictionary>{Dictionary::object()}, MediaTime::make(1, 2'000'000), true, 1},
      {notSync(1), MediaTime::make(-1, 2'000'000), true, -1},
      {notSync(false), MediaTime::make(3, 2'000'000), true, 2},
      {notSync(true), MediaTime::make(-5, 12), false, -416667},
      {std::nullopt, MediaTime::make(7'200, 1), true, 7'200'000'000},
  };
  PipeHarness h;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    h.offerFrameAt(static_cast<double>(i));
    auto sample = makeEncodedSample();
    sample->attachments = cases[i].attachments;
    sample->presentationTime = cases[i].time;
    h.deliver(i, 0, sample);
    h.acknowledge(static_cast<std::int64_t>(i + 1));
  }
  const auto frames = h.log->ofType("frame");
  ASSERT_EQ(frames.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(frames[i].at("key"), cases[i].key) << i;
    EXPECT_EQ(frames[i].at("timestamp"), cases[i].microseconds) << i;
  }
}

class FailingBlockBuffer final : public BlockBuffer {
 public:
  std::size_t dataLength() const override { return 10; }
  std::int32_t copyDataBytes(std::size_t, std::size_t, std::uint8_t*) const override { return -12700; }
};

TEST(VideoPipeEmit, EachFailureSendsItsTextOnceAndStopsThePipe) {
  const auto withExtensions = [](Dictionary extensions) {
    auto sample = makeEncodedSample();
    auto format = std::make_shared<FormatDescription>(*sample->formatDescription);
    format->extensions = std::move(extensions);
    sample->formatDescription = format;
    return sample;
  };
  const auto atoms = [&](Dictionary atoms) {
    return withExtensions({{keys::kSampleDescriptionExtensionAtoms, std::move(atoms)}});
  };
  const auto without = [](std::shared_ptr<SampleBuffer> sample, auto member) {
    (*sample).*member = nullptr;
    return sample;
  };
  auto unreadable = makeEncodedSample();
  unreadable->dataBuffer = std::make_shared<FailingBlockBuffer>();
  const char* const kNoConfiguration = "Video decoder configuration unavailable.";
  const struct {
    std::int32_t status;
    std::shared_ptr<SampleBuffer> sample;
    std::string message;
    bool configurationSent = false;
  } rows[] = {
      {-12902, makeEncodedSample(), "Video encoding failed (-12902)."},
      {0, nullptr, "Video encoding failed (0)."},
      {0, without(makeEncodedSample(), &SampleBuffer::formatDescription), "Encoded video is incomplete."},
      {0, without(makeEncodedSample(), &SampleBuffer::dataBuffer), "Encoded video is incomplete."},
      {0, withExtensions(nullptr), kNoConfiguration},
      {0, withExtensions({{keys::kSampleDescriptionExtensionAtoms, "avcC"}}), kNoConfiguration},
      {0, atoms({{keys::kAvcC, "0142c01f01"}}), kNoConfiguration},
      {0, atoms({{keys::kAvcC, Dictionary::binary({1, 0x42, 0xC0, 0x1F})}}), kNoConfiguration},
      {0, unreadable, "Encoded video could not be read.", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    PipeHarness h;
    h.offerFrameAt(0);
    h.offerFrameAt(0.1);
    h.deliver(0, row.status, row.sample);
    h.deliverGood(1);  // arrives after the error: discarded
    h.offerFrameAt(0.2);

    EXPECT_EQ(h.log->types(), (row.configurationSent ? Types{"configuration", "error"} : Types{"error"}));
    EXPECT_EQ(h.log->ofType("error").at(0), errorMessage(row.message));
    const auto s = h.snapshot();
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(s.sent, 0);
    EXPECT_EQ(h.session().callCount(), 2u);
  }
}

TEST(VideoPipeFinish, TearsDownTheSessionAndDiscardsLateResults) {
  PipeHarness h;
  h.offerFrameAt(0);
  h.offerFrameAt(0.1);
  const auto dropped = pictureChangedAt(0.15, 0);
  h.offer(dropped);
  // This result reaches the queue before finish's work item does: it is sent.
  h.session().deliver(0, 0, makeEncodedSample());
  EXPECT_TRUE(h.finish());  // resumes on the caller's own executor
  EXPECT_TRUE(h.session().invalidated);
  EXPECT_FALSE(h.session().sessionAlive);
  EXPECT_EQ(dropped->image.use_count(), 1);  // the pipe lets go of the picture it held

  // The invalidated encoder still reports frame 2, and a sample and an ack arrive late.
  h.deliverGood(1);
  h.deliver(1, -1, nullptr);
  h.offerFrameAt(0.2);
  h.acknowledge(1);
  EXPECT_EQ(h.log->types(), (Types{"configuration", "frame", "stats"}));
  EXPECT_EQ(h.log->ofType("stats")[0].at("sent"), 1);
}

TEST(VideoPipeFinish, ResultsRacingFinishNeverFollowStats) {
  for (int round = 0; round < 20; ++round) {
    PipeHarness h;
    h.offerFrameAt(0);
    h.offerFrameAt(0.1);
    std::thread encoder([&] {
      h.session().deliver(0, 0, makeEncodedSample());
      h.session().deliver(1, 0, makeEncodedSample());
    });
    h.finish();
    encoder.join();
    h.snapshot();
    const auto types = h.log->types();
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.back(), "stats") << round;
    EXPECT_EQ(h.log->ofType("stats")[0].at("sent"), h.log->ofType("frame").size());
  }
}

TEST(VideoPipeFinish, PendingResultKeepsThePipeAliveUntilHandled) {
  std::weak_ptr<VideoPipe> weak;
  std::shared_ptr<FakeSessionLog> session;
  std::shared_ptr<MessageLog> log;
  std::optional<SerialQueue> queue;
  {
    PipeHarness h;
    h.offerFrameAt(0);
    weak = h.pipe;
    session = h.encoders.log;
    log = h.log;
    queue = h.pipe->queue();
    h.pipe.reset();
    ASSERT_FALSE(weak.expired());  // only the encoder's handler holds it now
    session->deliverOnThread(0, 0, makeEncodedSample());
    h.pipe = weak.lock();
    ASSERT_TRUE(h.pipe);
  }
  session->releaseHandlers();
  // Work items that held the pipe are gone once the queue has moved past them.
  std::promise<void> drained;
  asio::post(*queue, [&] { drained.set_value(); });
  drained.get_future().get();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(log->types(), (Types{"configuration", "frame", "stats"}));
}

}  // namespace
}  // namespace tavrino::share::testing
