#pragma once

#include <QColor>
#include <QFont>

// Sizes are logical pixels: one point of the original layout is one pixel here.
namespace tavrino::setup::style {

inline constexpr int kContentWidth = 352;
inline constexpr int kPadding = 24;
inline constexpr int kSpacing = 14;
inline constexpr int kColumnWidth = kContentWidth - 2 * kPadding;

inline QColor gradientStart() { return QColor::fromRgbF(0.94f, 0.98f, 1.0f); }
inline QColor gradientEnd() { return QColor::fromRgb(232, 243, 252); }
inline QColor checkmark() { return QColor::fromRgbF(0.13f, 0.57f, 0.36f); }
inline QColor badgeShadow() { return QColor::fromRgbF(0.18f, 0.40f, 0.56f, 0.08f); }
inline QColor congratulations() { return QColor::fromRgbF(0.10f, 0.24f, 0.39f); }
inline QColor successSentence() { return QColor::fromRgbF(0.28f, 0.39f, 0.49f); }
inline QColor link() { return QColor::fromRgbF(0.14f, 0.37f, 0.61f); }
// The named colours of the original toolkit.
inline QColor green() { return QColor(52, 199, 89); }
inline QColor red() { return QColor(255, 59, 48); }
inline QColor primaryText() { return QColor(0, 0, 0, 217); }
inline QColor secondaryText() { return QColor(0, 0, 0, 128); }

inline QFont font(int pixelSize, QFont::Weight weight = QFont::Normal) {
  QFont f;
  f.setPixelSize(pixelSize);
  f.setWeight(weight);
  return f;
}
// Text styles: headline, body, callout, caption.
inline QFont headline() { return font(13, QFont::DemiBold); }
inline QFont body() { return font(13); }
inline QFont callout() { return font(12); }
inline QFont caption() { return font(10); }

}  // namespace tavrino::setup::style
