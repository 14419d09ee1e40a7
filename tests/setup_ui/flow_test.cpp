#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "flow/background_install.h"
#include "flow/sharing_setup_flow.h"
#include "controlled_install.h"
#include "installer/setup_error.h"

namespace tavrino::setup {
namespace {

struct PhaseLog {
  std::vector<Phase> seen;
  explicit PhaseLog(SharingSetupFlow& flow) {
    QObject::connect(&flow, &SharingSetupFlow::phaseChanged, [this](const Phase& p) { seen.push_back(p); });
  }
};

TEST(SharingSetupFlow, FollowsTheTransitionTableToInstalled) {
  ControlledInstall install;
  auto flow = SharingSetupFlow::make(install.operation());
  PhaseLog log(*flow);
  EXPECT_EQ(flow->phase(), Phase::ready());
  EXPECT_FALSE(flow->retry());
  EXPECT_TRUE(log.seen.empty());

  auto handle = flow->start();
  ASSERT_TRUE(handle);
  EXPECT_EQ(flow->phase(), Phase::installing());
  EXPECT_FALSE(flow->start());
  EXPECT_FALSE(flow->retry());
  settle();
  ASSERT_EQ(install.runs.size(), 1u);
  EXPECT_FALSE(handle->isFinished());

  install.succeed();
  ASSERT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  EXPECT_EQ(flow->phase(), Phase::installed());
  EXPECT_FALSE(flow->start());
  EXPECT_FALSE(flow->retry());
  settle();
  EXPECT_EQ(install.runs.size(), 1u);
  EXPECT_EQ(log.seen, (std::vector<Phase>{Phase::installing(), Phase::installed()}));
}

TEST(SharingSetupFlow, ShowsTheFailureTextVerbatimAndRetries) {
  ControlledInstall install;
  auto flow = SharingSetupFlow::make(install.operation());
  flow->start();
  settle();
  install.fail(std::make_exception_ptr(SetupError("Another Tavrino installer is running. Please finish it first.")));
  ASSERT_TRUE(spinUntil([&] { return !flow->phase().is(Phase::Case::installing); }));
  EXPECT_EQ(flow->phase(), Phase::failed("Another Tavrino installer is running. Please finish it first."));
  EXPECT_FALSE(flow->start());
  EXPECT_EQ(flow->phase().message(), "Another Tavrino installer is running. Please finish it first.");

  PhaseLog log(*flow);
  auto handle = flow->retry();
  ASSERT_TRUE(handle);
  // Both assignments happen before retry() returns.
  EXPECT_EQ(log.seen, (std::vector<Phase>{Phase::ready(), Phase::installing()}));
  settle();
  ASSERT_EQ(install.runs.size(), 2u);
  install.succeed();
  ASSERT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  EXPECT_EQ(flow->phase(), Phase::installed());
}

TEST(SharingSetupFlow, PlatformErrorsKeepTheirOwnText) {
  std::filesystem::filesystem_error platform("cannot copy", std::filesystem::path("/payload/x"),
                                             std::make_error_code(std::errc::no_such_file_or_directory));
  ControlledInstall install;
  auto flow = SharingSetupFlow::make(install.operation());
  auto handle = flow->start();
  settle();
  install.fail(std::make_exception_ptr(platform));
  ASSERT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  EXPECT_EQ(flow->phase(), Phase::failed(QString::fromUtf8(platform.what())));
}

TEST(SharingSetupFlow, AnOperationThatThrowsAtOnceOrIsAbandonedEndsFailed) {
  auto throwing = SharingSetupFlow::make([]() -> QFuture<void> { throw SetupError("Cannot open the installer lock."); });
  auto handle = throwing->start();
  ASSERT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  EXPECT_EQ(throwing->phase(), Phase::failed("Cannot open the installer lock."));

  ControlledInstall install;
  auto abandoned = SharingSetupFlow::make(install.operation());
  handle = abandoned->start();
  settle();
  install.runs.clear();  // the promise goes away without an outcome
  ASSERT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  EXPECT_TRUE(abandoned->phase().is(Phase::Case::failed));
  EXPECT_FALSE(abandoned->phase().message().isEmpty());
}

TEST(SharingSetupFlow, ARunningJobKeepsTheFlowAlive) {
  ControlledInstall install;
  auto flow = SharingSetupFlow::make(install.operation());
  PhaseLog log(*flow);
  bool destroyed = false;
  QObject::connect(flow.get(), &QObject::destroyed, [&] { destroyed = true; });
  auto handle = flow->start();
  settle();
  flow.reset();
  EXPECT_FALSE(destroyed);
  install.succeed();
  ASSERT_TRUE(spinUntil([&] { return destroyed; }));
  EXPECT_EQ(log.seen.back(), Phase::installed());
}

TEST(Phase, ComparesCaseAndText) {
  EXPECT_EQ(Phase::failed("a"), Phase::failed("a"));
  EXPECT_NE(Phase::failed("a"), Phase::failed("b"));
  EXPECT_NE(Phase::failed(""), Phase::ready());
  EXPECT_NE(Phase::installing(), Phase::installed());
}

// The production operation, with the bundle and the installer stood in for.
TEST(ProductionInstall, FormsThePayloadAndRunsOffTheMainThread) {
  std::filesystem::path seenPayload, seenHome;
  QThread* seenThread = nullptr;
  auto flow = SharingSetupFlow::make(productionInstallOperation({
      .resourceFolder = [] { return std::filesystem::path("/b/Setup.app/Contents/Resources"); },
      .homeFolder = [] { return std::filesystem::path("/home/someone"); },
      .install =
          [&](const std::filesystem::path& payload, const std::filesystem::path& home) {
            seenPayload = payload;
            seenHome = home;
            seenThread = QThread::currentThread();
          },
  }));
  auto handle = flow->start();
  ASSERT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  EXPECT_EQ(flow->phase(), Phase::installed());
  EXPECT_EQ(seenPayload, "/b/Setup.app/Contents/Resources/Payload");
  EXPECT_EQ(seenHome, "/home/someone");
  EXPECT_NE(seenThread, QCoreApplication::instance()->thread());
}

TEST(ProductionInstall, ReportsAMissingBundleAndPassesInstallerErrorsThrough) {
  int installs = 0;
  auto incomplete = SharingSetupFlow::make(productionInstallOperation({
      .resourceFolder = [] { return std::optional<std::filesystem::path>(); },
      .homeFolder = [] { return std::filesystem::path("/home/someone"); },
      .install = [&](const auto&, const auto&) { ++installs; },
  }));
  auto handle = incomplete->start();
  ASSERT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  EXPECT_EQ(incomplete->phase(), Phase::failed("The installer is incomplete."));
  EXPECT_EQ(installs, 0);

  auto refusing = SharingSetupFlow::make(productionInstallOperation({
      .resourceFolder = [] { return std::filesystem::path("/r"); },
      .homeFolder = [] { return std::filesystem::path("/h"); },
      .install = [](const auto&, const auto&) { throw SetupError("Invalid installer signing identity."); },
  }));
  handle = refusing->start();
  ASSERT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  EXPECT_EQ(refusing->phase(), Phase::failed("Invalid installer signing identity."));
}

}  // namespace
}  // namespace tavrino::setup

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
