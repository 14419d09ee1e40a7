#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "app/authorize_alert.h"

namespace tavrino::share {

namespace {

struct ModuleCloser {
  void operator()(void* handle) const { ::dlclose(handle); }
};
using ModuleHandle = std::unique_ptr<void, ModuleCloser>;

// The loader's own account of its last failure.
std::string loaderError() {
  const char* error = ::dlerror();
  return error ? error : "";
}

}  // namespace

int runAuthorizeAlert(int argc, char** argv, bool allowed) {
  // The module beside the running executable; the helper runs from wherever
  // the browser's manifest points, so the search path would find no module
  // or the wrong one.
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path module = self.parent_path() / TAVRINO_AUTHORIZE_ALERT_MODULE;
  const bool present = !ec && std::filesystem::exists(module, ec);
  std::string reason = ec ? "Cannot find the helper's own executable: " + ec.message() : "";
  void* entry = nullptr;
  // Qt cannot be unloaded safely (its threads and exit handlers outlive the
  // alert), so the module stays mapped once loaded; closing only drops the
  // reference.
  const ModuleHandle handle(reason.empty() ? ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)
                                           : nullptr);
  if (handle) entry = ::dlsym(handle.get(), "tavrino_authorize_alert");
  if (reason.empty() && !entry) reason = loaderError();
  if (!entry) {
    // A module that is there but does not load is no build question: the
    // second line, the loader's own words, names what this computer lacks.
    std::fputs(present ? "The permission alert cannot be loaded on this computer.\n"
                       : "The permission alert is not part of this build.\n",
               stderr);
    if (!reason.empty()) std::fprintf(stderr, "%s\n", reason.c_str());
    return 1;
  }
  return reinterpret_cast<decltype(&tavrino_authorize_alert)>(entry)(argc, argv, allowed);
}

}  // namespace tavrino::share
