#pragma once

#include <memory>

#include "flow/sharing_setup_flow.h"
#include "installer/setup_error.h"

namespace tavrino::setup {

// Whether the environment names a display a window can open on (an X
// display or a Wayland compositor). Without one there is no window to show a
// refusal in, and the toolkit would only abort.
bool displayNamed();

// A flow whose every attempt, "Try Again" included, fails with `refusal`
// before anything is read or written.
std::shared_ptr<SharingSetupFlow> refusingFlow(SetupError refusal);

}  // namespace tavrino::setup
