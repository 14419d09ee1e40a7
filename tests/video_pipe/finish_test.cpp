#include <gtest/gtest.h>

#include "pipe_harness.h"

namespace tavrino::share {
namespace {

using testing::makeEncodedSample;
using testing::PipeHarness;

TEST(VideoPipeFinish, TearsDownTheSessionAndDiscardsLateResults) {
  PipeHarness h;
  h.offerFrameAt(0);
  h.offerFrameAt(0.1);
  // This result reaches the queue before finish's work item does: it is sent.
  h.session().deliver(0, 0, makeEncodedSample());
  EXPECT_TRUE(h.finish());  // resumes on the caller's own executor
  EXPECT_TRUE(h.session().invalidated);
  EXPECT_FALSE(h.session().sessionAlive);

  // The invalidated encoder still reports frame 2, and a sample and an ack arrive late.
  h.deliverGood(1);
  h.deliver(1, -1, nullptr);
  h.offerFrameAt(0.2);
  h.acknowledge(1);
  EXPECT_EQ(h.log->types(), (std::vector<std::string>{"configuration", "frame", "stats"}));
  EXPECT_EQ(h.log->ofType("stats")[0].at("sent"), 1);
  EXPECT_EQ(h.snapshot().sent, 1);
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
    auto types = h.log->types();
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.back(), "stats") << round;
    EXPECT_EQ(h.log->ofType("stats")[0].at("sent"), h.log->ofType("frame").size());
  }
}

TEST(VideoPipeFinish, PendingResultKeepsThePipeAliveUntilHandled) {
  std::weak_ptr<VideoPipe> weak;
  std::shared_ptr<testing::FakeSessionLog> session;
  std::shared_ptr<testing::MessageLog> log;
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
  EXPECT_EQ(log->types(), (std::vector<std::string>{"configuration", "frame", "stats"}));
}

}  // namespace
}  // namespace tavrino::share
