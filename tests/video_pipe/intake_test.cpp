#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pipe_harness.h"

namespace tavrino::share {
namespace {

using testing::makeCapturedSample;
using testing::makeEncodedSample;
using testing::PipeHarness;
using testing::seconds;

std::vector<std::int64_t> frameIDs(const testing::MessageLog& log) {
  std::vector<std::int64_t> ids;
  for (const auto& m : log.ofType("frame")) ids.push_back(m.at("id").get<std::int64_t>());
  return ids;
}

TEST(VideoPipeIntake, TwoFramesInFlightDropTheRestAndCountThem) {
  PipeHarness h;
  for (int i = 0; i < 5; ++i) h.offerFrameAt(i / 12.0);
  EXPECT_EQ(h.session().callCount(), 2u);  // drops happen before encoding
  h.deliverGood(0);
  h.deliverGood(1);

  auto s = h.snapshot();
  EXPECT_EQ(s.received, 5);
  EXPECT_EQ(s.skipped, 3);
  EXPECT_EQ(s.sent, 2);
  EXPECT_EQ(s.pending, (std::set<std::int64_t>{1, 2}));  // sent frames wait for their ack

  h.finish();
  auto stats = h.log->ofType("stats");
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0], (nlohmann::json{{"type", "stats"},
                                      {"request", PipeHarness::kRequest},
                                      {"received", 5},
                                      {"sent", 2},
                                      {"backpressureDrops", 3}}));
}

TEST(VideoPipeIntake, IdsStayGaplessAcrossDropsAndAcknowledgements) {
  PipeHarness h;
  h.offerFrameAt(0.0);
  h.offerFrameAt(0.1);
  h.offerFrameAt(0.2);  // dropped: no id
  h.deliverGood(0);
  h.deliverGood(1);
  h.acknowledge(1);
  h.acknowledge(99);  // never given out: no effect
  h.acknowledge(1);   // twice: no effect
  EXPECT_EQ(h.snapshot().pending, (std::set<std::int64_t>{2}));
  h.offerFrameAt(0.3);  // id 3
  h.offerFrameAt(0.4);  // dropped
  h.deliverGood(2);
  h.acknowledge(2);
  h.acknowledge(3);
  h.offerFrameAt(0.5);  // id 4
  h.deliverGood(3);

  EXPECT_EQ(frameIDs(*h.log), (std::vector<std::int64_t>{1, 2, 3, 4}));
  auto s = h.snapshot();
  EXPECT_EQ(s.nextID, s.received - s.skipped);
  EXPECT_EQ(s.skipped, 2);
}

TEST(VideoPipeIntake, OnlyTheFirstTwoFramesForceKeyFrames) {
  PipeHarness h;
  for (int i = 0; i < 4; ++i) {
    h.offerFrameAt(i / 12.0);
    h.acknowledge(i + 1);  // the frame never left the encoder, the slot is freed all the same
  }
  auto calls = h.session().calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_TRUE(calls[0].options && calls[0].options->forceKeyFrame);
  EXPECT_TRUE(calls[1].options && calls[1].options->forceKeyFrame);
  EXPECT_FALSE(calls[2].options);
  EXPECT_FALSE(calls[3].options);
}

TEST(VideoPipeIntake, TimesAreRelativeToTheFirstEncodedFrame) {
  PipeHarness h;
  h.offer(makeCapturedSample(MediaTime::make(987'654'321, 1000)));
  h.offer(makeCapturedSample(MediaTime::make(987'654'821, 1000)));  // 0.5 s later
  h.acknowledge(1);
  h.acknowledge(2);
  // Another clock rate: 0.5 s + 1/12 s after the first frame.
  h.offer(makeCapturedSample(MediaTime::make(296'296'296'300 + 150'000 + 25'000, 300'000)));
  auto calls = h.session().calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_DOUBLE_EQ(calls[0].presentationTime.seconds(), 0.0);
  EXPECT_DOUBLE_EQ(calls[1].presentationTime.seconds(), 0.5);
  EXPECT_NEAR(calls[2].presentationTime.seconds(), 0.5 + 1.0 / 12, 1e-9);
  for (const auto& call : calls) EXPECT_EQ(call.duration, MediaTime::make(1, 12));
  EXPECT_EQ(h.snapshot().firstTimestamp, MediaTime::make(987'654'321, 1000));
}

TEST(VideoPipeIntake, UnusableSamplesAreNeitherCountedNorEncoded) {
  PipeHarness h;
  h.offer(makeCapturedSample(seconds(0), 0), StreamOutputType::audio);
  h.offer(makeCapturedSample(seconds(0), 1));  // idle frame
  h.offer(makeCapturedSample(seconds(0), 0, nullptr));

  auto noList = makeCapturedSample(seconds(0));
  noList->attachments.reset();
  h.offer(noList);
  auto emptyList = makeCapturedSample(seconds(0));
  emptyList->attachments->clear();
  h.offer(emptyList);
  auto emptyDictionary = makeCapturedSample(seconds(0));
  emptyDictionary->attachments->front() = Dictionary::object();
  h.offer(emptyDictionary);
  auto textStatus = makeCapturedSample(seconds(0));
  textStatus->attachments->front()[keys::kStreamFrameInfoStatus] = "0";
  h.offer(textStatus);
  auto realStatus = makeCapturedSample(seconds(0));
  realStatus->attachments->front()[keys::kStreamFrameInfoStatus] = 0.0;
  h.offer(realStatus);

  auto s = h.snapshot();
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
  auto s = h.snapshot();
  EXPECT_TRUE(s.stopped);
  EXPECT_TRUE(s.pending.empty());
  EXPECT_EQ(s.received, 1);
  EXPECT_EQ(h.session().callCount(), 1u);
  h.finish();
  EXPECT_EQ(h.log->types(), (std::vector<std::string>{"error", "stats"}));
  EXPECT_EQ(h.log->all()[0], (nlohmann::json{{"type", "error"},
                                             {"request", PipeHarness::kRequest},
                                             {"message", "Video input failed (-12902)."}}));
}

// A process id that belonged to a process which has ended and been reaped.
std::int32_t endedProcessID() {
  pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  EXPECT_GT(child, 0);
  kill(child, SIGKILL);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  return child;
}

TEST(VideoPipeIntake, OwnerGoneSendsOneErrorThenOnlyStats) {
  PipeHarness live(static_cast<std::int32_t>(getpid()));
  live.offerFrameAt(0);
  EXPECT_EQ(live.session().callCount(), 1u);
  EXPECT_TRUE(live.log->all().empty());

  PipeHarness h(endedProcessID());
  h.offerFrameAt(0, 1);  // the probe also runs for a frame that would be dropped
  h.offerFrameAt(0.1);
  h.offerFrameAt(0.2);
  EXPECT_EQ(h.session().callCount(), 0u);
  EXPECT_EQ(h.snapshot().received, 0);
  h.finish();
  EXPECT_EQ(h.log->types(), (std::vector<std::string>{"error", "stats"}));
  EXPECT_EQ(h.log->all()[0],
            (nlohmann::json{{"type", "error"},
                            {"request", PipeHarness::kRequest},
                            {"message", "Tavrino closed. Start sharing again after reopening it."}}));
}

TEST(VideoPipeIntake, OwnerEndingMidCaptureDiscardsFramesStillInTheEncoder) {
  pid_t owner = fork();
  if (owner == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(owner, 0);
  PipeHarness h(owner);
  h.offerFrameAt(0);
  kill(owner, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(owner, &status, 0), owner);  // a zombie would still answer the probe

  h.offerFrameAt(0.1);
  h.offerFrameAt(0.2);
  h.deliverGood(0);
  h.finish();
  EXPECT_EQ(h.log->types(), (std::vector<std::string>{"error", "stats"}));
  EXPECT_EQ(h.log->ofType("stats")[0].at("received"), 1);
}

}  // namespace
}  // namespace tavrino::share
