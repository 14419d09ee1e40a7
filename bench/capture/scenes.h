#pragma once

// The workloads the capture benchmark puts on its desktop, each made of real
// X windows drawn with core requests. A scene's windows sit above the
// wallpaper and below the protected window.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "desktop.h"

namespace tavrino::bench {

class Scene {
 public:
  virtual ~Scene() = default;
  // Step seq of the scene; with all, also everything the windows' owner
  // draws itself (the first time, and after an Expose).
  virtual void paint(std::uint32_t seq, bool all) = 0;
};

struct SceneSetup {
  std::unique_ptr<Scene> scene;
  long periodMs = 0;   // 0: nothing changes after the first paint
  bool timed = false;  // paints the time code of time_code.h
};

// Creates the named scene's windows; nothing for a name it does not know.
std::optional<SceneSetup> makeScene(const std::string& name, Desktop& desktop);

// The families, in their own files.
std::unique_ptr<Scene> patternScene(Desktop& desktop);  // tiles and the time code in an application window
std::unique_ptr<Scene> typingScene(Desktop& desktop);   // one 10x20 cell of an editor
std::unique_ptr<Scene> scrollScene(Desktop& desktop);   // a 1600x900 page scrolling by a few pixels
std::unique_ptr<Scene> videoScene(Desktop& desktop);    // a 1280x720 photo-like region, all of it new each step
std::unique_ptr<Scene> dragScene(Desktop& desktop);     // an 800x600 window moving across the desktop
// count windows across the screen, and above them a 160x120 window that
// repaints itself unless still.
std::unique_ptr<Scene> windowsScene(Desktop& desktop, int count, bool still);

}  // namespace tavrino::bench
