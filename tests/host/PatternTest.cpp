#include "Pattern.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace vl::host {
namespace {

// One drawn frame; at() reads sample c of pixel (x, y), top row first, as 0 to 1.
struct Picture {
  int width, height;
  Depth depth;
  std::vector<std::uint8_t> bytes;

  Picture(int w, int h, Depth d, std::int64_t frame) : width(w), height(h), depth(d), bytes(frameBytes(w, h, d)) {
    Pattern(w, h, d).draw(frame, bytes.data());
  }
  float at(int x, int y, int c) const {
    const size_t i = (size_t(y) * size_t(width) + size_t(x)) * 4 + size_t(c);
    std::uint16_t h;
    float f;
    switch (depth) {
      case Depth::Byte: return bytes[i] / 255.0f;
      case Depth::Short: std::memcpy(&h, &bytes[2 * i], 2); return h / 65535.0f;
      case Depth::Half: std::memcpy(&h, &bytes[2 * i], 2); return floatFromHalf(h);
      case Depth::Float: break;
    }
    std::memcpy(&f, &bytes[4 * i], 4);
    return f;
  }
  bool white(int x, int y) const { return at(x, y, 0) == 1.0f && at(x, y, 1) == 1.0f && at(x, y, 2) == 1.0f; }

  // The white box is the only full white in the bars: {x1, y1, x2, y2}.
  std::array<int, 4> box() const {
    std::array<int, 4> b{1 << 30, 1 << 30, -1, -1};
    for (int y = 0; y < height * 2 / 3; ++y)
      for (int x = 0; x < width; ++x)
        if (white(x, y)) b = {std::min(b[0], x), std::min(b[1], y), std::max(b[2], x + 1), std::max(b[3], y + 1)};
    return b;
  }
  // The counter strip in the bottom row: one cell per bit, highest first.
  std::int64_t counter() const {
    const int cell = std::max(1, width / 32);
    std::int64_t n = 0;
    for (int bit = 0; bit < kCounterBits; ++bit) n = n * 2 + (white(bit * cell + cell / 2, height - 1) ? 1 : 0);
    return n;
  }
};

TEST(RunnerPattern, TheBoxMovesSteadilyAndTheCounterSpellsTheFrame) {
  // A 22 px box in 120 rows of bars, stepping 5 px across and 2 px down: both
  // ranges are whole numbers of steps, so every frame moves by a full step.
  const int w = 622, h = 180;
  auto previous = Picture(w, h, Depth::Byte, 0).box();
  EXPECT_EQ(previous, (std::array<int, 4>{0, 0, 22, 22}));
  // Frame by frame it moves one step until it meets the right edge, then comes back.
  for (std::int64_t frame = 1; frame < 260; ++frame) {
    const Picture p(w, h, Depth::Byte, frame);
    const auto b = p.box();
    EXPECT_EQ(p.counter(), frame);
    EXPECT_EQ(std::pair(b[2] - b[0], b[3] - b[1]), std::pair(22, 22)) << frame;
    EXPECT_TRUE(b[0] >= 0 && b[2] <= w && b[3] <= h * 2 / 3) << "the box stays in the bars, frame " << frame;
    EXPECT_EQ(std::pair(std::abs(b[0] - previous[0]), std::abs(b[1] - previous[1])), std::pair(5, 2)) << frame;
    previous = b;
  }
  EXPECT_EQ(Picture(w, h, Depth::Byte, (w - 22) / 5).box()[2], w) << "it reaches the edge";
  for (std::int64_t frame : {1000, 123226}) EXPECT_EQ(Picture(w, h, Depth::Float, frame).counter(), frame);
}

TEST(RunnerPattern, BarsRampAndOpaqueAlpha) {
  const Picture p(700, 300, Depth::Float, 0);
  EXPECT_EQ(std::pair(p.at(650, 100, 0), p.at(650, 100, 2)), std::pair(0.0f, 0.75f)) << "the last bar is blue";
  EXPECT_EQ(std::pair(p.at(150, 100, 0), p.at(150, 100, 2)), std::pair(0.75f, 0.0f)) << "the second is yellow";
  EXPECT_EQ(std::pair(p.at(0, 220, 0), p.at(699, 220, 1)), std::pair(0.0f, 1.0f)) << "the ramp runs black to white";
  EXPECT_NEAR(p.at(350, 220, 2), 350.0f / 699.0f, 1e-6);
  for (int y = 0; y < 300; y += 7)
    for (int x = 0; x < 700; x += 13) EXPECT_EQ(p.at(x, y, 3), 1.0f);
}

TEST(RunnerPattern, EveryDepthHoldsTheSamePictureRounded) {
  const int w = 321, h = 97;  // odd sizes: no row padding may creep in
  for (std::int64_t frame : {0, 17}) {
    const Picture f(w, h, Depth::Float, frame), b(w, h, Depth::Byte, frame), s(w, h, Depth::Short, frame),
        hf(w, h, Depth::Half, frame);
    ASSERT_EQ(b.bytes.size() * 2, s.bytes.size());
    ASSERT_EQ(b.bytes.size(), size_t(w) * h * 4);
    ASSERT_EQ(hf.bytes.size(), s.bytes.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 4; ++c) {
          const float v = f.at(x, y, c);
          ASSERT_EQ(b.at(x, y, c), std::round(v * 255.0f) / 255.0f) << x << "," << y;
          ASSERT_EQ(s.at(x, y, c), std::round(v * 65535.0f) / 65535.0f) << x << "," << y;
          ASSERT_LE(std::fabs(hf.at(x, y, c) - v), v * 0.0005f + 1e-7f) << x << "," << y;
        }
  }
}

TEST(RunnerPattern, HalfConversionRoundsToNearestEven) {
  const float tiny = std::ldexp(1.0f, -25), ulp = std::ldexp(1.0f, -11);  // half of the least subnormal; of 1's ulp
  const std::pair<float, std::uint16_t> cases[] = {
      {0.0f, 0x0000}, {-0.0f, 0x8000}, {1.0f, 0x3C00}, {0.75f, 0x3A00}, {-2.0f, 0xC000}, {65504.0f, 0x7BFF},
      {65519.0f, 0x7BFF},                                  // the last value that rounds down to the largest
      {65520.0f, 0x7C00},                                  // rounds up to infinity
      {std::numeric_limits<float>::infinity(), 0x7C00},   //
      {2 * tiny, 0x0001},                                  // smallest subnormal
      {tiny, 0x0000}, {3 * tiny, 0x0002},                  // ties go to the even neighbour
      {std::ldexp(1.0f, -14), 0x0400},                     // smallest normal
      {1.0f + ulp, 0x3C00}, {1.0f + 3 * ulp, 0x3C02},      // ties between normals
      {2047.0f / 1024.0f + ulp, 0x4000},                   // the carry reaches the exponent
  };
  for (const auto& [f, h] : cases) EXPECT_EQ(halfFromFloat(f), h) << f;
  const std::uint16_t nan = halfFromFloat(std::nanf(""));
  EXPECT_TRUE((nan & 0x7C00) == 0x7C00 && (nan & 0x03FF) != 0) << "NaN stays NaN";
  // Every finite half survives the trip through float and back.
  for (std::uint32_t h = 0; h < 0x10000; ++h)
    if ((h & 0x7C00) != 0x7C00) ASSERT_EQ(halfFromFloat(floatFromHalf(std::uint16_t(h))), h) << std::hex << h;
}

}  // namespace
}  // namespace vl::host
