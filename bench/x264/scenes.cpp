#include "scenes.h"

#include <algorithm>
#include <cmath>

#include "screen_content.h"

namespace tavrino::share::bench {

namespace {

constexpr std::string_view kNames[] = {"desktop", "typing", "scrolling", "photo", "video", "noise"};
constexpr int kVideoWidth = 1280, kVideoHeight = 720;
constexpr int kEditorWidth = 1600, kEditorHeight = 900;

std::uint8_t clampSample(double value) { return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0)); }

// Smooth shapes and gradients with a fine grain, as a photograph has.
std::vector<std::uint8_t> photoTexture(int width, int height) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height * 3 / 2);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double shade = 120 + 70 * std::sin(x / 173.0 + y / 311.0) * std::cos(y / 97.0 - x / 401.0) +
                           25 * std::sin((x + 2 * y) / 53.0) + static_cast<int>(hash(x, y) % 13) - 6;
      bytes[static_cast<std::size_t>(y) * width + x] = clampSample(shade);
    }
  std::uint8_t* chroma = bytes.data() + static_cast<std::size_t>(width) * height;
  for (int y = 0; y < height / 2; ++y)
    for (int x = 0; x < width / 2; ++x) {
      chroma[static_cast<std::size_t>(y) * width + 2 * x] = clampSample(128 + 40 * std::sin(x / 120.0 + y / 200.0));
      chroma[static_cast<std::size_t>(y) * width + 2 * x + 1] = clampSample(128 + 40 * std::cos(y / 90.0 - x / 300.0));
    }
  return bytes;
}

}  // namespace

const char* sceneName(Scene scene) { return kNames[static_cast<int>(scene)].data(); }

std::optional<Scene> sceneNamed(std::string_view name) {
  for (const Scene scene : kScenes)
    if (name == kNames[static_cast<int>(scene)]) return scene;
  return std::nullopt;
}

SceneFrames::SceneFrames(Scene scene, int width, int height)
    : scene_(scene), width_(width), height_(height), picture_(static_cast<std::size_t>(width) * height * 3 / 2) {
  Canvas canvas{width, height, picture_};
  if (scene == Scene::photo || scene == Scene::video) {
    textureWidth_ = 2 * width;
    textureHeight_ = 2 * height;
    texture_ = photoTexture(textureWidth_, textureHeight_);
  }
  switch (scene) {
    case Scene::typing:
    case Scene::video:
      drawText(canvas, 0, 0, width, height, 0, 210, 25, 3);  // a terminal
      break;
    case Scene::scrolling:
      canvas.fill(0, 0, width, height, 70, 150, 110);
      canvas.fill((width - kEditorWidth) / 2, (height - kEditorHeight) / 2 - 30, kEditorWidth, 30, 90, 160, 120);
      break;
    case Scene::photo:
      drawPhoto(0, 0, width, height, 0, 0, 0);
      break;
    case Scene::desktop:
    case Scene::noise:
      break;
  }
}

void SceneFrames::drawPhoto(int x0, int y0, int w, int h, int panX, int panY, int grain) {
  std::uniform_int_distribution<int> noise(-grain, grain);
  const std::size_t chromaAt = static_cast<std::size_t>(width_) * height_;
  const std::size_t textureChromaAt = static_cast<std::size_t>(textureWidth_) * textureHeight_;
  for (int y = y0; y < y0 + h; ++y) {
    const int ty = (y - y0 + panY) % textureHeight_;
    for (int x = x0; x < x0 + w; ++x) {
      const int tx = (x - x0 + panX) % textureWidth_;
      const int sample = texture_[static_cast<std::size_t>(ty) * textureWidth_ + tx] + (grain ? noise(random_) : 0);
      picture_[static_cast<std::size_t>(y) * width_ + x] = static_cast<std::uint8_t>(std::clamp(sample, 0, 255));
    }
    if (y % 2 != 0) continue;
    for (int x = x0 & ~1; x < x0 + w; x += 2) {
      const int tx = (x - x0 + panX) % textureWidth_ & ~1;
      const std::uint8_t* from = &texture_[textureChromaAt + static_cast<std::size_t>(ty / 2) * textureWidth_ + tx];
      std::uint8_t* to = &picture_[chromaAt + static_cast<std::size_t>(y / 2) * width_ + x];
      to[0] = from[0];
      to[1] = from[1];
    }
  }
}

const std::vector<std::uint8_t>& SceneFrames::next() {
  const int frame = frame_++;
  Canvas canvas{width_, height_, picture_};
  switch (scene_) {
    case Scene::desktop:
      picture_ = screenFrame(width_, height_, frame);
      break;
    case Scene::typing: {
      // 10 keystrokes a second at 12 frames a second; the cursor runs along
      // the last lines of the terminal.
      if (frame * 10 / 12 == (frame + 1) * 10 / 12) break;
      const int key = frame * 10 / 12, perLine = width_ / 10 - 2;
      const int x = 10 + key % perLine * 10, y = height_ - 100 + key / perLine % 4 * 20;
      canvas.fill(x, y, 10, 20, 25, 128, 128);
      for (int gy = 0; gy < 12; ++gy)
        for (int gx = 0; gx < 6; ++gx)
          if (hash(key, gy * 6 + gx) % 3 != 0) *canvas.luma(x + 2 + gx, y + 4 + gy) = 210;
      break;
    }
    case Scene::scrolling:
      drawText(canvas, (width_ - kEditorWidth) / 2, (height_ - kEditorHeight) / 2, kEditorWidth, kEditorHeight,
               frame * 10, 20, 235, 1);
      break;
    case Scene::photo: {
      // The pointer: the photo is drawn back where it was, then the pointer
      // at its new place.
      const int at = frame % 150 * 10, last = (frame + 149) % 150 * 10;
      drawPhoto(120 + last, 300 + last / 3, 12, 18, 120 + last, 300 + last / 3, 0);
      canvas.fill(120 + at, 300 + at / 3, 12, 18, 255, 128, 128);
      break;
    }
    case Scene::video:
      drawPhoto((width_ - kVideoWidth) / 2, (height_ - kVideoHeight) / 2, kVideoWidth, kVideoHeight, frame * 3,
                frame * 2, 4);
      break;
    case Scene::noise:
      for (std::size_t i = 0; i + 4 <= picture_.size(); i += 4) {
        const std::uint32_t value = random_();
        for (int b = 0; b < 4; ++b) picture_[i + b] = static_cast<std::uint8_t>(value >> (8 * b));
      }
      break;
  }
  return picture_;
}

}  // namespace tavrino::share::bench
