// The helper's --authorize mode: on a real display one alert, answered by
// pressing Return, and nothing written to standard output; without its alert
// module one line and a failure.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "x11_test_support.h"

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

TEST(AuthorizeAlert, WithoutItsModuleSaysSoInOneLineAndFails) {
  const std::string folder = ::testing::TempDir() + "helper-without-alert";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(TAVRINO_SHARE_HOST, folder + "/TavrinoShareHost",
                             std::filesystem::copy_options::overwrite_existing);
  FILE* out = popen(("'" + folder + "/TavrinoShareHost' --authorize 2>&1").c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string text(256, '\0');
  text.resize(fread(text.data(), 1, text.size(), out));
  const int status = pclose(out);
  std::filesystem::remove_all(folder);
  EXPECT_EQ(text, "The permission alert is not part of this build.\n");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
}  // namespace tavrino::share
