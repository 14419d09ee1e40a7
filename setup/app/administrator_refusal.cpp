#include "administrator_refusal.h"

#include <cstdlib>
#include <utility>

namespace tavrino::setup {

bool displayNamed() {
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return true;
  }
  return false;
}

std::shared_ptr<SharingSetupFlow> refusingFlow(SetupError refusal) {
  return SharingSetupFlow::make([refusal = std::move(refusal)]() -> QFuture<QString> { throw refusal; });
}

}  // namespace tavrino::setup
