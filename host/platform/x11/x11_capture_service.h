#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/capture_service.h"
#include "platform/x11/content_queries.h"

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

  // Releases, unrun, the completions of queries the X server has not answered
  // yet, and of any query asked later (the end of the program).
  void abandonQueries() { queries_.abandon(); }

 private:
  std::string displayName_;
  x11::ContentQueries queries_;
};

}  // namespace tavrino::share
