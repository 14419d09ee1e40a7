#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "app/authorize_alert.h"

namespace tavrino::share {

namespace {

struct ModuleCloser {
  void operator()(void* handle) const { ::dlclose(handle); }
};
using ModuleHandle = std::unique_ptr<void, ModuleCloser>;

// The module beside the running executable; the helper runs from wherever the
// browser's manifest points, so the search path would find no module or the
// wrong one.
ModuleHandle openAlertModule() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return nullptr;
  const std::filesystem::path module = self.parent_path() / TAVRINO_AUTHORIZE_ALERT_MODULE;
  // Qt cannot be unloaded safely (its threads and exit handlers outlive the
  // alert), so the module stays mapped once loaded; closing only drops the
  // reference.
  return ModuleHandle(::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
}

}  // namespace

int runAuthorizeAlert(int argc, char** argv, bool allowed) {
  const ModuleHandle module = openAlertModule();
  void* entry = module ? ::dlsym(module.get(), "tavrino_authorize_alert") : nullptr;
  if (!entry) {
    std::fputs("The permission alert is not part of this build.\n", stderr);
    return 1;
  }
  return reinterpret_cast<decltype(&tavrino_authorize_alert)>(entry)(argc, argv, allowed);
}

}  // namespace tavrino::share
