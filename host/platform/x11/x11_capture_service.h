#pragma once

#include "platform/capture_service.h"

namespace tavrino::share {

// Capture service of the shipped helper. Desktop capture through X11 is not
// part of this build yet: every shareable-content query fails with a clear
// error, and no stream ever starts.
class X11CaptureService final : public CaptureService {
 public:
  static ErrorValue unavailableError();

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<StreamDelegate> delegate) override;
  // X11 has no capture permission to ask for.
  bool preflightScreenCaptureAccess() override { return true; }
  bool requestScreenCaptureAccess() override { return true; }
  std::int64_t displayPixelsWide(std::uint32_t displayID) override;
};

}  // namespace tavrino::share
