#include "Core/Image.h"

#include "Core/Convert.h"

#include "Failure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace vl {
namespace {

using test::failure;

TEST(PixelBytes, GeometryStrideAndMatchingFormats) {
  std::vector<float> buffer(100 * 4 * 2);
  const float* d = buffer.data();
  EXPECT_EQ(pixelBytes(Image{d, {0, 0, 100, 1}, 1600, 4, 3}), 16u);
  EXPECT_EQ(pixelBytes(Image{d, {0, 0, 100, 1}, 1601, 3, 0}), 3u);
  const char* geometry = "Unsupported image geometry";
  for (auto [image, message] : {std::pair{Image{d, {0, 0, 100, 1}, 1599, 4, 3}, "Invalid image row stride"},
                                {Image{d, {0, 0, 1, 1}, 64, 5, 3}, geometry},
                                {Image{nullptr, {0, 0, 1, 1}, 64, 4, 3}, geometry},
                                {Image{d, {3, 0, 3, 1}, 64, 4, 3}, geometry}})
    EXPECT_EQ(failure([&] { pixelBytes(image); }), message);
  // Half and 16-bit have the same size but are not the same format.
  const Image out = Image{d, {0, 0, 2, 2}, 16, 4, 1};
  for (const Image& in :
       {Image{d, {0, 0, 2, 2}, 8, 4, 0}, Image{d, {0, 0, 2, 2}, 12, 3, 1}, Image{d, {0, 0, 2, 2}, 16, 4, 2}})
    EXPECT_EQ(failure([&] { copyImage(in, out, {0, 0, 2, 2}); }), "Source and output formats differ");
}

TEST(Capture, SizeLimits) {
  static const std::uint16_t pixel[4] = {};
  auto wide = [&](int w, int h) { return Image{pixel, {0, 0, w, h}, w * 8, 4, 1}; };
  for (auto [w, h] : {std::pair{8193, 2}, {6000, 6000}, {8192, 8192}})
    EXPECT_EQ(failure([&] { capture(wide(w, h), 0); }), "Sender image exceeds 32 megapixels");
  std::vector<std::uint16_t> big(static_cast<size_t>(8192) * 4096 * 3, 9);
  EXPECT_TRUE(std::ranges::equal(capture(Image{big.data(), {0, 0, 8192, 4096}, 8192 * 6, 3, 1}, 0).pixels, big));
}

// Picture-sized blocks are reused: a later frame must never show an earlier picture,
// and frames alive together must never share memory.
TEST(Capture, ReusedBlocksCarryOnlyTheirOwnPicture) {
  const int w = 640, h = 360;  // over a mebibyte of samples
  auto picture = [&](std::uint16_t value) { return std::vector<std::uint16_t>(size_t(w) * h * 3, value); };
  auto grab = [&](const std::vector<std::uint16_t>& p) {
    return capture(Image{p.data(), {0, 0, w, h}, w * 6, 3, 1}, 0);
  };
  auto all = [](const Frame& f, std::uint16_t v) {
    return std::all_of(f.pixels.begin(), f.pixels.end(), [&](std::uint16_t s) { return s == v; });
  };
  const auto a = picture(1), b = picture(2), c = picture(3);
  for (int round = 0; round < 4; ++round) {
    Frame first = grab(a), second = grab(b);
    EXPECT_NE(first.pixels.data(), second.pixels.data());
    first = Frame{};
    Frame third = grab(c);
    Frame fourth = grab(a);
    EXPECT_TRUE(all(second, 2) && all(third, 3) && all(fourth, 1));
    EXPECT_NE(third.pixels.data(), fourth.pixels.data());
    // Another size in between must not be handed a block of the wrong length.
    const Frame small = capture(Image{b.data(), {0, 0, w / 2, h}, w * 6, 3, 1}, 0);
    EXPECT_EQ(small.pixels.size(), size_t(w / 2) * h * 3);
    EXPECT_TRUE(all(small, 2));
  }
}

// Values are checked against the rule below; here the row order.
TEST(Capture, TopRowFirst) {
  // 2x2 float RGBA: bottom row blue, top row red, rows stored bottom first.
  const float px[16] = {0, 0, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1, 1.5f, 0.5f, -0.5f, 1};
  Frame f = capture(Image{px, {5, 5, 7, 7}, 32, 4, 3}, 1.0);
  ASSERT_EQ(f.width, 2);
  EXPECT_EQ(f.pixels, (Samples{65535, 0, 0, 65535, 32768, 0, 0, 0, 65535, 0, 0, 65535}));

  // Negative stride: the data pointer is the bottom row, which sits last in memory.
  const std::uint8_t bytes[6] = {255, 128, 0, 1, 2, 3};
  f = capture(Image{bytes + 3, {0, 0, 1, 2}, -3, 3, 0}, 0);
  EXPECT_EQ(f.pixels, (Samples{65535, 32896, 0, 257, 514, 771}));
}

// The documented rule, in double: non-finite is 0, clamp, scale, round halves up.
std::uint16_t rule(double v) {
  if (!std::isfinite(v)) return 0;
  return static_cast<std::uint16_t>(std::lround(std::clamp(v, 0.0, 1.0) * 65535.0));
}

// Runs values through both converters as RGB and as RGBA rows (the width leaves a
// tail for the scalar code) and counts the samples that differ from the rule.
template <typename T>
std::size_t mismatches(const std::vector<T>& values, int depth, double (*value)(T)) {
  std::size_t wrong = 0;
  for (int components : {3, 4}) {
    std::vector<T> row;
    for (std::size_t i = 0; i < values.size(); ++i) {
      row.push_back(values[i]);
      if (components == 4 && i % 3 == 2) row.push_back(values[i]);
    }
    const auto width = static_cast<std::int32_t>(values.size() / 3);
    for (RowConverter convert : {rowConverter(depth, components), portableRowConverter(depth, components)}) {
      std::vector<std::uint16_t> out(values.size());
      convert(row.data(), out.data(), width, nullptr);
      for (std::size_t i = 0; i < static_cast<std::size_t>(width) * 3; ++i) wrong += out[i] != rule(value(values[i]));
    }
  }
  return wrong;
}

double fromByte(std::uint8_t v) { return v / 255.0; }
float floatOf(std::uint32_t bits) { return std::bit_cast<float>(bits); }
double fromHalf(std::uint16_t v) { return static_cast<double>(std::bit_cast<_Float16>(v)); }
double fromFloat(float v) { return v; }

TEST(Capture, EveryByteAndHalfAndFloatsNearEveryStepFollowTheRule) {
  std::vector<std::uint8_t> bytes;
  for (int v = 0; v < 256 * 3 + 7; ++v) bytes.push_back(static_cast<std::uint8_t>(v * 7));
  EXPECT_EQ(mismatches(bytes, 0, fromByte), 0u);
  std::vector<std::uint16_t> halves;
  for (int v = 0; v < 65536 + 7; ++v) halves.push_back(static_cast<std::uint16_t>(v));
  EXPECT_EQ(mismatches(halves, 2, fromHalf), 0u);
  // Floats where a float-only conversion could go wrong: just around every half step and
  // every sample value, the ends, special values and random bit patterns.
  std::vector<float> floats;
  for (int k = 0; k <= 65535; ++k)
    for (double at : {k + 0.5, double(k)}) {
      const float centre = static_cast<float>(at / 65535.0);
      float below = centre, above = centre;
      for (int step = 0; step < 4; ++step) {
        floats.push_back(below = std::nextafter(below, 0.0f));
        floats.push_back(above = std::nextafter(above, 2.0f));
      }
      floats.push_back(centre);
    }
  const float inf = std::numeric_limits<float>::infinity();
  for (float v : {0.0f, -0.0f, 1.0f, 1.5f, 2.0f, 3.0e9f, 1e38f, -1e38f, -0.5f, inf, -inf, floatOf(0x7FC00000),
                  floatOf(0xFFC00001), floatOf(0x7F800001), floatOf(1), floatOf(0x80000001), floatOf(0x00800000)})
    floats.push_back(v);
  std::mt19937 random(18);
  for (int i = 0; i < 300000; ++i) floats.push_back(floatOf(static_cast<std::uint32_t>(random())));
  EXPECT_EQ(mismatches(floats, 3, fromFloat), 0u);
}

// copyImage and the one pass for a streamed picture both leave the output untouched outside
// the window, the source inside it and cleared pixels past the source; the pass also captures
// what capture gives. Whatever the window, the depth, the row order, row padding and alignment.
TEST(CopyAndCapture, BothCopiesFollowTheWindowAndThePassCapturesAlike) {
  constexpr int kW = 37, kH = 5, kBytes[] = {1, 2, 2, 4};
  std::mt19937 random(3);
  for (int depth = 0; depth < 4; ++depth)
    for (int components : {3, 4})
      for (Rect window : {Rect{0, 0, kW, kH}, Rect{-3, -2, kW + 4, kH + 3}, Rect{2, 1, kW - 3, kH - 1},
                          Rect{50, 50, 60, 60}})
        for (int offset : {0, 4, 32}) {
          SCOPED_TRACE(testing::Message() << "depth " << depth << ", " << components << " components, window from "
                                          << window.x1 << ", output offset " << offset);
          const int px = components * kBytes[depth], rowBytes = kW * px;
          std::vector<std::uint8_t> source(static_cast<size_t>(rowBytes) * kH);
          for (auto& b : source) b = static_cast<std::uint8_t>(random());
          // The output is a pixel wider on each side, a row taller, padded, and stored top row first.
          const int outRow = rowBytes + 2 * px + 8;
          std::vector<std::uint8_t> expected(static_cast<size_t>(outRow) * (kH + 2) + 64, 0xAB);
          std::vector<std::uint8_t> copied = expected, actual = expected;
          auto at = [&](std::vector<std::uint8_t>& o) {
            return o.data() + (32 - reinterpret_cast<std::uintptr_t>(o.data()) % 32) % 32 + offset;
          };
          auto output = [&](std::vector<std::uint8_t>& o) {
            return Image{at(o) + static_cast<size_t>(outRow) * (kH + 1), {-1, -1, kW + 1, kH + 1}, -outRow,
                        components, depth};
          };
          const Image in = Image{source.data() + static_cast<size_t>(rowBytes) * (kH - 1), {0, 0, kW, kH}, -rowBytes,
                                components, depth};
          for (int y = std::max(window.y1, -1); y < std::min(window.y2, kH + 1); ++y)
            for (int x = std::max(window.x1, -1); x < std::min(window.x2, kW + 1); ++x) {
              std::uint8_t* to = at(expected) + static_cast<size_t>(outRow) * (kH - y) + (x + 1) * px;
              if (x >= 0 && x < kW && y >= 0 && y < kH)
                std::memcpy(to, source.data() + static_cast<size_t>(rowBytes) * (kH - 1 - y) + x * px, px);
              else
                std::memset(to, 0, px);
            }
          copyImage(in, output(copied), window);
          Frame frame = frameFor(in, 2.0);
          copyAndCapture(in, output(actual), window, frame);
          const auto bytes = [&](std::vector<std::uint8_t>& o) {
            return std::vector(at(o), at(o) + static_cast<size_t>(outRow) * (kH + 2));
          };
          EXPECT_EQ(bytes(copied), bytes(expected));
          EXPECT_EQ(bytes(actual), bytes(expected));
          EXPECT_EQ(frame.pixels, capture(in, 2.0).pixels);
          copyImage(output(copied), output(copied), window);
          EXPECT_EQ(bytes(copied), bytes(expected)) << "an image copied onto itself is left alone";
        }
}

}  // namespace
}  // namespace vl
