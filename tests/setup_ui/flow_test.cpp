#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "flow/background_install.h"
#include "flow/sharing_setup_flow.h"
#include "controlled_install.h"

namespace tavrino::setup {
namespace {

// Starts a fresh flow with `operation` and returns the phase it ends in.
Phase outcomeOf(SharingSetupFlow::InstallOperation operation) {
  auto flow = SharingSetupFlow::make(std::move(operation));
  auto handle = flow->start();
  EXPECT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  return flow->phase();
}

// A SetupError reaching the failure screen, the retry and success: the window
// test. Whatever else an operation throws is told in plain words too, never
// with a library's text.
TEST(SharingSetupFlow, EveryOtherWayOfFailingEndsFailedInPlainWords) {
  std::filesystem::filesystem_error platform("cannot copy", std::filesystem::path("/home/u/x"),
                                             std::make_error_code(std::errc::no_space_on_device));
  EXPECT_EQ(outcomeOf([&] { return runDetached([&]() -> QString { throw platform; }); }),
            Phase::failed("There is not enough free space to install Tavrino Share Helper. Free some space, then try "
                          "again.",
                          "The system says “No space left on device” about /home/u/x."));
  EXPECT_EQ(outcomeOf([]() -> QFuture<QString> { throw std::out_of_range("[json.exception.out_of_range.403] key"); }),
            Phase::failed("The installation stopped for an unexpected reason. Please try again."));

  ControlledInstall install;
  auto abandoned = SharingSetupFlow::make(install.operation());
  auto handle = abandoned->start();
  settle();
  install.runs.clear();  // the promise goes away without an outcome
  ASSERT_TRUE(spinUntil([&] { return handle->isFinished(); }));
  EXPECT_TRUE(abandoned->phase().is(Phase::Case::failed));
  EXPECT_FALSE(abandoned->phase().message().isEmpty());
}

// The production operation, with the bundle and the installer stood in for.
Phase productionOutcome(std::optional<std::filesystem::path> resources, decltype(InstallEnvironment::install) install) {
  return outcomeOf(productionInstallOperation({.resourceFolder = [=] { return resources; },
                                               .homeFolder = [] { return std::filesystem::path("/home/someone"); },
                                               .install = std::move(install)}));
}

// Installing from the bundle runs end to end under Xvfb; here, what it cannot
// show: the thread, the note the installation leaves for the success screen.
TEST(ProductionInstall, RunsOffTheMainThreadAndNeedsItsPayload) {
  QThread* seenThread = nullptr;
  EXPECT_EQ(productionOutcome("/r",
                              [&](const auto&, const auto&) {
                                seenThread = QThread::currentThread();
                                return QString("A note.");
                              }),
            Phase::installed("A note."));
  EXPECT_NE(seenThread, QCoreApplication::instance()->thread());
  int installs = 0;
  EXPECT_EQ(productionOutcome(std::nullopt, [&](const auto&, const auto&) { return QString::number(++installs); }),
            Phase::failed("The installer is incomplete."));
  EXPECT_EQ(installs, 0);
}

TEST(ProductionInstall, TheHomeFolderIsHomeByteForByte) {
  // A home that is not valid UTF-8 is the same folder, not a re-encoded twin.
  for (const char* home : {"/tmp/run-\xff\xfe/home", "/home/\xc3\xa9t\xc3\xa9"}) {
    ::setenv("HOME", home, 1);
    EXPECT_EQ(productionEnvironment().homeFolder().native(), home);
  }
  ::unsetenv("HOME");
  EXPECT_EQ(productionEnvironment().homeFolder(), std::filesystem::path(::getpwuid(::getuid())->pw_dir));
}

}  // namespace
}  // namespace tavrino::setup

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
