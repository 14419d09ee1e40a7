// The helper's --authorize mode: on a real display one alert, answered by
// pressing Return, and nothing written to standard output; without a module
// it can load, why, and a failure.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/child_process.h"

namespace tavrino::share {
namespace {

using testing::Child;
using testing::Xvfb;

TEST(AuthorizeAlert, ShowsTheReadyAlertAndEndsWhenTheUserPressesOk) {
  Xvfb display;
  setenv("DISPLAY", display.name().c_str(), 1);
  // Qt's X11 build loads system libraries whose own leaks are not ours.
  setenv("LSAN_OPTIONS", "suppressions=" TAVRINO_LSAN_SUPPRESSIONS, 1);
  Child helper({TAVRINO_SHARE_HOST, "--authorize", "--test-application"}, true);

  // Up to 10 s for the alert to appear, then a moment for it to take the
  // keyboard focus.
  ASSERT_EQ(std::system("timeout 10 xdotool search --sync --onlyvisible --name '^Tavrino sharing is ready$' "
                        "sleep 0.3 windowfocus --sync %1 && xdotool key Return"),
            0)
      << "no alert appeared, or it took no key";

  const int status = helper.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  char byte;
  EXPECT_EQ(::read(helper.output(), &byte, 1), 0) << "the alert mode writes nothing to standard output";
}

// Without its module, or with one this computer cannot load: a sentence,
// then the loader's own reason, and a failure.
TEST(AuthorizeAlert, WithoutALoadableModuleSaysWhyAndFails) {
  const std::string folder = ::testing::TempDir() + "helper-without-alert";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(TAVRINO_SHARE_HOST, folder + "/TavrinoShareHost",
                             std::filesystem::copy_options::overwrite_existing);
  const auto run = [&] {
    Child helper({folder + "/TavrinoShareHost", "--authorize"}, true);
    EXPECT_EQ(helper.readAll(), "");
    const int status = helper.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    return helper.errors();
  };
  const std::string module = folder + "/TavrinoAuthorizeAlert.so";
  EXPECT_EQ(run(), "The permission alert is not part of this build.\n" + module +
                       ": cannot open shared object file: No such file or directory\n");
  std::ofstream(module) << "not a library";
  const std::string broken = run();
  std::filesystem::remove_all(folder);
  EXPECT_TRUE(broken.starts_with("The permission alert cannot be loaded on this computer.\n" + module + ": "))
      << broken;
}

}  // namespace
}  // namespace tavrino::share
