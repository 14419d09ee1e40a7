#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <asio/io_context.hpp>

#include "app/authorize_alert.h"
#include "app/build_line.h"
#include "core/host.h"
#include "core/serving.h"
#include "core/wire.h"
#include "platform/serial_queue.h"
#include "platform/x11/x11_capture_service.h"
#include "platform/x264/x264_compression_session.h"

int main(int argc, char** argv) {
  using namespace tavrino::share;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const auto has = [&](const char* option) {
    return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
  };

  if (has("--check-build")) {
    std::printf("Tavrino Share Helper %s\n", kBuildArchitecture);
    return 0;
  }
  std::signal(SIGPIPE, SIG_IGN);
  // Every share allocates pictures and encoder frames of megabytes and frees
  // them when it ends. glibc raises its mmap threshold past the largest block
  // freed, so later shares would take them from the heaps, which keep what
  // they once held: resident memory then climbed with each start and stop.
  // A fixed threshold gives every such block back when it is freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // x264 asks for transparent huge pages for every buffer of about 2 MiB or
  // more. At 1080p three of them hold a few tens of kilobytes yet were
  // resident as whole 2 MiB pages: 6 MiB of the helper's peak of 65. x264
  // then spends about 2 % more CPU time (bench/x264's x264_session_bench,
  // interleaved runs with and without).
  ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
  // Without XAUTHORITY, libXau builds the authority file's name in one static
  // buffer on every X connection, so connections opened on two threads at
  // once race on it. Naming its own default here, before any thread starts,
  // keeps every connection on the environment.
  if (const char* home = std::getenv("HOME"); home && !std::getenv("XAUTHORITY"))
    ::setenv("XAUTHORITY", (std::string(home) + "/.Xauthority").c_str(), 0);

  // Pipes and capture streams post to the background pool until they are
  // destroyed, so it is made first and, as a static, ends after everything
  // below.
  backgroundPool();
  X11CaptureService captureService;
  X264CompressionSessionFactory encoders;

  if (has("--authorize")) {
    const bool allowed =
        captureService.preflightScreenCaptureAccess() || captureService.requestScreenCaptureAccess();
    return runAuthorizeAlert(argc, argv, allowed);
  }

  {
    asio::io_context mainLoop;
    auto host = std::make_shared<Host>(mainLoop.get_executor(), captureService, encoders,
                                       [](const nlohmann::json& message) { Wire::send(message); },
                                       arguments, [](const std::string& body) { Wire::sendBody(body); });
    // A frame message is up to about a megabyte; with the default 64 KiB pipe
    // every frame costs a dozen wake-ups of the browser. Where the kernel allows
    // it, one frame fits the pipe whole. Output that is no pipe keeps its size.
    ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
    serve(mainLoop, host, fileDescriptorReader(STDIN_FILENO));
    // Every capture has ended. Tasks still waiting for the desktop's content
    // are released here, and the pool's threads end, while the loop that
    // their completions post to still exists: a thread may still be inside
    // such a post. The loop then destroys whatever tasks remain with it.
    captureService.abandonQueries();
    shutdownBackgroundPool();
  }
  return 0;
}
