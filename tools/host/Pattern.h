#pragma once
// The moving test pattern: colour bars, a grey ramp, a box that moves every
// frame and a strip of cells that spell the frame number, so every frame differs.
#include "Options.h"

#include <cstdint>
#include <vector>

namespace vl::host {

// Cells in the counter strip, the highest bit on the left, white for 1.
constexpr int kCounterBits = 24;

// The still parts are drawn once; each frame copies them and adds the moving ones.
class Pattern {
 public:
  Pattern(int width, int height, Depth depth);
  // Writes frameBytes(width, height, depth) bytes: RGBA, top row first, no padding.
  void draw(std::int64_t frame, std::uint8_t* out) const;

 private:
  void paintWhite(std::uint8_t* out, std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2) const;

  int width_;
  int height_;
  Depth depth_;
  std::vector<std::uint8_t> still_;
  std::vector<std::uint8_t> white_;  // one pixel
};

// IEEE half precision, rounding to the nearest even value.
std::uint16_t halfFromFloat(float value);
float floatFromHalf(std::uint16_t half);

}  // namespace vl::host
