#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

namespace tavrino::share::bench {

// Desktops that ask different things of a rate control: text that hardly
// changes, text that moves, photo-like pictures, and noise, the worst case.
enum class Scene {
  desktop,    // the synthetic desktop: scrolling editor, moving window
  typing,     // a full-screen terminal, one 10x20 cell typed 10 times a second
  scrolling,  // a 1600x900 editor scrolling 10 pixels a frame
  photo,      // a full-screen photo, still but for the pointer
  video,      // a 1280x720 video (panning picture with grain) over a terminal
  noise,      // fresh noise in every sample of every frame
};
inline constexpr Scene kScenes[] = {Scene::desktop, Scene::typing, Scene::scrolling,
                                    Scene::photo,   Scene::video,  Scene::noise};
const char* sceneName(Scene scene);
std::optional<Scene> sceneNamed(std::string_view name);

// The frames of one scene in order, each changed in place from the last as a
// screen changes. Deterministic, so every encoder sees the same frames.
class SceneFrames {
 public:
  SceneFrames(Scene scene, int width, int height);
  // The next frame in tight NV12; valid until the next call.
  const std::vector<std::uint8_t>& next();

 private:
  void drawPhoto(int x0, int y0, int w, int h, int panX, int panY, int grain);

  Scene scene_;
  int width_, height_;
  int frame_ = 0;
  std::vector<std::uint8_t> picture_;
  // A photo-like picture twice the screen's size in each direction, NV12.
  int textureWidth_ = 0, textureHeight_ = 0;
  std::vector<std::uint8_t> texture_;
  std::mt19937 random_{20};
};

}  // namespace tavrino::share::bench
