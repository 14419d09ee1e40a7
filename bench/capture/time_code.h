#pragma once

// Where the changer window paints its time code, shared by the program that
// paints it and the one that reads it back out of a decoded stream. The code
// is a sequence number: row 0 holds its bits, most significant first, as
// white (1) or black (0) cells; row 1 holds their complement. A picture taken
// while the code was being redrawn (all cells black for a moment), or one the
// encoder blurred, fails the complement check instead of reading as a wrong
// number.
namespace tavrino::bench {

constexpr int kCodeBits = 24;
constexpr int kCodeCell = 32;  // screen pixels; survives the 3/4 downscale of 1440p and 6 Mbit/s

// The changer window on the screen, and what it repaints inside it.
constexpr int kWindowX = 128;
constexpr int kWindowY = 128;
constexpr int kWindowWidth = 1024;
constexpr int kWindowHeight = 640;
constexpr int kCodeX = kWindowX + 32;  // screen coordinates of the code's top-left cell
constexpr int kCodeY = kWindowY + 32;
constexpr int kTilesX = kWindowX + 32;  // the moving pattern below the code
constexpr int kTilesY = kCodeY + 2 * kCodeCell + 32;
constexpr int kTileSize = 32;
constexpr int kTileColumns = 30;
constexpr int kTileRows = 14;

}  // namespace tavrino::bench
