#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/capture_service.h"

namespace tavrino::share {

// Desktop capture on an X11 display: RandR monitors are the displays, the
// WM_CLASS class of a window names its application and X-Resource tells the
// owning process. Capture paints each window from its own off-screen pixmap
// (Composite), so excluded windows are truly absent and what lies behind
// them is shown.
class X11CaptureService final : public CaptureService {
 public:
  // An empty display name means the DISPLAY environment variable.
  explicit X11CaptureService(std::string displayName = {});

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<StreamDelegate> delegate) override;
  // X11 has no capture permission to ask for.
  bool preflightScreenCaptureAccess() override { return true; }
  bool requestScreenCaptureAccess() override { return true; }
  // As the latest content query found it: asking the server again would block
  // the caller behind a slow server. 0 for a display no query has listed.
  std::int64_t displayPixelsWide(std::uint32_t displayID) override;

  // The query itself, synchronous; exposed for tests.
  ContentResult queryShareableContent(bool onScreenWindowsOnly) const;

  // Releases, unrun, the completions of queries the X server has not answered
  // yet, and of any query asked later. For the end of the program: a server
  // that has stopped answering then holds up nothing, and when it answers
  // after all, the answer reaches nothing that has been freed.
  void abandonQueries();

 private:
  // Shared with the threads that run the queries.
  struct Queries;

  std::string displayName_;
  std::shared_ptr<Queries> queries_;
};

}  // namespace tavrino::share
