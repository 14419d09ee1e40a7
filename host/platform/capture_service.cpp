#include "capture_service.h"

namespace tavrino::share {

ContentFilter ContentFilter::excludingApplications(Display display,
                                                   std::vector<RunningApplication> applications,
                                                   std::vector<Window> exceptingWindows) {
  ContentFilter filter;
  filter.kind = Kind::excludingApplications;
  filter.display = display;
  filter.excludedApplications = std::move(applications);
  filter.exceptingWindows = std::move(exceptingWindows);
  return filter;
}

ContentFilter ContentFilter::excludingWindows(Display display, std::vector<Window> windows) {
  ContentFilter filter;
  filter.kind = Kind::excludingWindows;
  filter.display = display;
  filter.excludedWindows = std::move(windows);
  return filter;
}

}  // namespace tavrino::share
