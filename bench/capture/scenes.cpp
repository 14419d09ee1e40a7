#include "scenes.h"

#include <cstdlib>

namespace tavrino::bench {

std::optional<SceneSetup> makeScene(const std::string& name, Desktop& desktop) {
  if (name == "static") return SceneSetup{patternScene(desktop), 0, false};
  if (name == "changing") return SceneSetup{patternScene(desktop), 40, true};
  if (name == "rapid") return SceneSetup{patternScene(desktop), 5, true};
  if (name == "typing") return SceneSetup{typingScene(desktop), 100, false};
  if (name == "drag") return SceneSetup{dragScene(desktop), 20, false};
  if (name == "scroll") return SceneSetup{scrollScene(desktop), 33, true};
  if (name == "video") return SceneSetup{videoScene(desktop), 33, true};
  // windows-N: N windows and one small one changing; windows-N-static: nothing changes.
  if (name.starts_with("windows-")) {
    char* end = nullptr;
    const long count = std::strtol(name.c_str() + 8, &end, 10);
    const std::string rest = end;
    if (end == name.c_str() + 8 || count < 0 || count > 5000 || (!rest.empty() && rest != "-static")) {
      return std::nullopt;
    }
    const bool still = rest == "-static";
    return SceneSetup{windowsScene(desktop, static_cast<int>(count), still), still ? 0 : 40, false};
  }
  return std::nullopt;
}

}  // namespace tavrino::bench
