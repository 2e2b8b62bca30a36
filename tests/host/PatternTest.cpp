#include "Pattern.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace vl::host {
namespace {

// Reads sample c of pixel (x, y), top row first, as a value from 0 to 1.
struct Picture {
  int width, height;
  Depth depth;
  std::vector<std::uint8_t> bytes;

  Picture(int w, int h, Depth d, std::int64_t frame) : width(w), height(h), depth(d), bytes(frameBytes(w, h, d)) {
    Pattern(w, h, d).draw(frame, bytes.data());
  }
  float at(int x, int y, int c) const {
    const size_t i = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 4 +
                     static_cast<size_t>(c);
    switch (depth) {
      case Depth::Byte: return bytes[i] / 255.0f;
      case Depth::Short: {
        std::uint16_t v;
        std::memcpy(&v, bytes.data() + 2 * i, 2);
        return v / 65535.0f;
      }
      case Depth::Half: {
        std::uint16_t v;
        std::memcpy(&v, bytes.data() + 2 * i, 2);
        return floatFromHalf(v);
      }
      case Depth::Float: break;
    }
    float v;
    std::memcpy(&v, bytes.data() + 4 * i, 4);
    return v;
  }
  bool white(int x, int y) const { return at(x, y, 0) == 1.0f && at(x, y, 1) == 1.0f && at(x, y, 2) == 1.0f; }
};

struct Found {
  int x1 = 1 << 30, y1 = 1 << 30, x2 = -1, y2 = -1;
};

// The white box is the only full white in the bars.
Found box(const Picture& p) {
  Found f;
  for (int y = 0; y < p.height * 2 / 3; ++y)
    for (int x = 0; x < p.width; ++x)
      if (p.white(x, y)) {
        f.x1 = std::min(f.x1, x);
        f.y1 = std::min(f.y1, y);
        f.x2 = std::max(f.x2, x + 1);
        f.y2 = std::max(f.y2, y + 1);
      }
  return f;
}

// Reads the counter strip back: one cell per bit, highest first, in the bottom row.
std::int64_t counter(const Picture& p) {
  const int cell = std::max(1, p.width / 32);
  std::int64_t n = 0;
  for (int bit = 0; bit < kCounterBits; ++bit) n = n * 2 + (p.white(bit * cell + cell / 2, p.height - 1) ? 1 : 0);
  return n;
}

TEST(RunnerPattern, TheBoxMovesSteadilyAndTheCounterSpellsTheFrame) {
  // A 22 px box in 120 rows of bars, stepping 5 px across and 2 px down: both
  // ranges are whole numbers of steps, so every frame moves by a full step.
  const int w = 622, h = 180;
  Found previous = box(Picture(w, h, Depth::Float, 0));
  EXPECT_EQ(previous.x1, 0);
  EXPECT_EQ(previous.y1, 0);
  EXPECT_EQ(previous.x2 - previous.x1, 22);
  EXPECT_EQ(previous.y2 - previous.y1, 22);
  for (std::int64_t frame : {1, 2, 3, 7, 40, 1000, 123226}) {
    const Picture p(w, h, Depth::Float, frame);
    EXPECT_EQ(counter(p), frame);
    const Found b = box(p);
    EXPECT_EQ(b.x2 - b.x1, 22) << frame;
    EXPECT_EQ(b.y2 - b.y1, 22) << frame;
    EXPECT_GE(b.x1, 0);
    EXPECT_LE(b.x2, w);
    EXPECT_LE(b.y2, h * 2 / 3) << "the box stays in the bars";
  }
  // Frame by frame, the box moves one step until it meets the right edge, then comes back.
  for (std::int64_t frame = 1; frame < 260; ++frame) {
    const Found b = box(Picture(w, h, Depth::Byte, frame));
    EXPECT_EQ(std::abs(b.x1 - previous.x1), 5) << frame;
    EXPECT_EQ(std::abs(b.y1 - previous.y1), 2) << frame;
    previous = b;
  }
  EXPECT_EQ(box(Picture(w, h, Depth::Byte, (w - 22) / 5)).x2, w) << "it reaches the edge";
  EXPECT_NE(Picture(w, h, Depth::Byte, 5).bytes, Picture(w, h, Depth::Byte, 6).bytes);
}

TEST(RunnerPattern, BarsRampAndOpaqueAlpha) {
  const Picture p(700, 300, Depth::Float, 0);
  EXPECT_EQ(p.at(650, 100, 0), 0.0f) << "the last bar is blue";
  EXPECT_EQ(p.at(650, 100, 2), 0.75f);
  EXPECT_EQ(p.at(150, 100, 0), 0.75f) << "the second is yellow";
  EXPECT_EQ(p.at(150, 100, 2), 0.0f);
  EXPECT_EQ(p.at(0, 220, 0), 0.0f) << "the ramp starts black";
  EXPECT_EQ(p.at(699, 220, 1), 1.0f) << "and ends white";
  EXPECT_NEAR(p.at(350, 220, 2), 350.0f / 699.0f, 1e-6);
  for (int y = 0; y < 300; y += 7)
    for (int x = 0; x < 700; x += 13) EXPECT_EQ(p.at(x, y, 3), 1.0f);
}

TEST(RunnerPattern, EveryDepthHoldsTheSamePictureRounded) {
  const int w = 321, h = 97;  // odd sizes: no row padding may creep in
  for (std::int64_t frame : {0, 17}) {
    const Picture f(w, h, Depth::Float, frame);
    const Picture b(w, h, Depth::Byte, frame);
    const Picture s(w, h, Depth::Short, frame);
    const Picture hf(w, h, Depth::Half, frame);
    ASSERT_EQ(b.bytes.size(), size_t(w) * h * 4);
    ASSERT_EQ(s.bytes.size(), size_t(w) * h * 8);
    ASSERT_EQ(hf.bytes.size(), size_t(w) * h * 8);
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
  EXPECT_EQ(halfFromFloat(0.0f), 0x0000);
  EXPECT_EQ(halfFromFloat(-0.0f), 0x8000);
  EXPECT_EQ(halfFromFloat(1.0f), 0x3C00);
  EXPECT_EQ(halfFromFloat(0.75f), 0x3A00);
  EXPECT_EQ(halfFromFloat(-2.0f), 0xC000);
  EXPECT_EQ(halfFromFloat(65504.0f), 0x7BFF);
  EXPECT_EQ(halfFromFloat(65519.0f), 0x7BFF);
  EXPECT_EQ(halfFromFloat(65520.0f), 0x7C00) << "rounds up to infinity";
  EXPECT_EQ(halfFromFloat(std::numeric_limits<float>::infinity()), 0x7C00);
  EXPECT_EQ(halfFromFloat(std::nanf("")) & 0x7C00, 0x7C00);
  EXPECT_NE(halfFromFloat(std::nanf("")) & 0x03FF, 0) << "NaN stays NaN";
  EXPECT_EQ(halfFromFloat(std::ldexp(1.0f, -24)), 0x0001) << "smallest subnormal";
  EXPECT_EQ(halfFromFloat(std::ldexp(1.0f, -25)), 0x0000) << "a tie rounds to the even zero";
  EXPECT_EQ(halfFromFloat(std::ldexp(3.0f, -25)), 0x0002) << "a tie rounds to the even two";
  EXPECT_EQ(halfFromFloat(std::ldexp(1.0f, -14)), 0x0400) << "smallest normal";
  EXPECT_EQ(halfFromFloat(1.0f + std::ldexp(1.0f, -11)), 0x3C00) << "halfway between 1 and the next: even";
  EXPECT_EQ(halfFromFloat(1.0f + 3 * std::ldexp(1.0f, -11)), 0x3C02);
  EXPECT_EQ(halfFromFloat(2047.0f / 1024.0f + std::ldexp(1.0f, -11)), 0x4000) << "the carry reaches the exponent";
  // Every finite half survives the trip through float and back.
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    if ((h & 0x7C00) == 0x7C00) continue;
    ASSERT_EQ(halfFromFloat(floatFromHalf(static_cast<std::uint16_t>(h))), h) << std::hex << h;
  }
}

}  // namespace
}  // namespace vl::host
