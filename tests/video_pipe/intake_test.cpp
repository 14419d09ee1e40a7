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

// Two frames may be in flight (encoding or waiting for their ack); the rest
// are dropped, counted, and given no id.
TEST(VideoPipeIntake, BackpressureDropsAreCountedAndIdsStayGapless) {
  PipeHarness h;
  for (int i = 0; i < 4; ++i) h.offerFrameAt(i / 12.0);
  EXPECT_EQ(h.session().callCount(), 2u);  // drops happen before encoding
  h.deliverGood(0);
  h.deliverGood(1);
  h.acknowledge(1);
  h.acknowledge(99);  // never given out: no effect
  h.acknowledge(1);   // twice: no effect
  h.offerFrameAt(0.5);  // id 3
  h.offerFrameAt(0.6);  // dropped
  h.deliverGood(2);
  h.acknowledge(2);
  h.acknowledge(3);
  h.offerFrameAt(0.7);  // id 4
  h.deliverGood(3);
  EXPECT_EQ(frameIDs(*h.log), (std::vector<std::int64_t>{1, 2, 3, 4}));

  h.finish();
  EXPECT_EQ(h.log->ofType("stats"), (std::vector<nlohmann::json>{{{"type", "stats"},
                                                                  {"request", PipeHarness::kRequest},
                                                                  {"received", 7},
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
  const auto calls = h.session().calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_DOUBLE_EQ(calls[0].presentationTime.seconds(), 0.0);
  EXPECT_DOUBLE_EQ(calls[1].presentationTime.seconds(), 0.5);
  EXPECT_NEAR(calls[2].presentationTime.seconds(), 0.5 + 1.0 / 12, 1e-9);
  EXPECT_TRUE(calls[0].options && calls[0].options->forceKeyFrame);
  EXPECT_TRUE(calls[1].options && calls[1].options->forceKeyFrame);
  EXPECT_FALSE(calls[2].options);
}

TEST(VideoPipeIntake, UnusableSamplesAreNeitherCountedNorEncoded) {
  PipeHarness h;
  h.offer(makeCapturedSample(seconds(0), 0), StreamOutputType::audio);
  h.offer(makeCapturedSample(seconds(0), 1));  // idle frame
  h.offer(makeCapturedSample(seconds(0), 0, nullptr));

  const auto withAttachments = [](std::optional<std::vector<Dictionary>> attachments) {
    auto sample = makeCapturedSample(seconds(0));
    sample->attachments = std::move(attachments);
    return sample;
  };
  h.offer(withAttachments(std::nullopt));
  h.offer(withAttachments(std::vector<Dictionary>{}));

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

// The owner is probed on every screen sample, also one that would be dropped;
// once it is gone, frames still in the encoder are discarded.
TEST(VideoPipeIntake, OwnerGoneSendsOneErrorThenOnlyStats) {
  const pid_t owner = fork();
  if (owner == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(owner, 0);
  PipeHarness h(owner);
  h.offerFrameAt(0);
  EXPECT_EQ(h.session().callCount(), 1u);
  kill(owner, SIGKILL);
  ASSERT_EQ(waitpid(owner, nullptr, 0), owner);  // a zombie would still answer the probe

  h.offerFrameAt(0.1, 1);
  EXPECT_EQ(h.log->types(), std::vector<std::string>{"error"});
  h.offerFrameAt(0.2);
  h.deliverGood(0);
  h.finish();
  EXPECT_EQ(h.session().callCount(), 1u);
  EXPECT_EQ(h.log->types(), (std::vector<std::string>{"error", "stats"}));
  EXPECT_EQ(h.log->all()[0],
            (nlohmann::json{{"type", "error"},
                            {"request", PipeHarness::kRequest},
                            {"message", "Tavrino closed. Start sharing again after reopening it."}}));
  EXPECT_EQ(h.log->all()[1].at("received"), 1);
}

}  // namespace
}  // namespace tavrino::share
