#include "Core/Image.h"

#include "Failure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace vl {
namespace {

using test::failure;

Image view(const void* data, Rect bounds, int rowBytes, int components, int depth) {
  return Image{data, bounds, rowBytes, components, depth};
}

TEST(PixelBytes, GeometryAndStride) {
  std::vector<float> buffer(100 * 4 * 2);
  EXPECT_EQ(pixelBytes(view(buffer.data(), {0, 0, 100, 1}, 1600, 4, 3)), 16u);
  EXPECT_EQ(pixelBytes(view(buffer.data(), {0, 0, 100, 1}, -1600, 4, 3)), 16u);
  EXPECT_EQ(pixelBytes(view(buffer.data(), {0, 0, 100, 1}, 1601, 3, 0)), 3u);
  EXPECT_EQ(failure([&] { pixelBytes(view(buffer.data(), {0, 0, 100, 1}, 1599, 4, 3)); }), "Invalid image row stride");
  for (int components : {2, 5})
    EXPECT_EQ(failure([&] { pixelBytes(view(buffer.data(), {0, 0, 1, 1}, 64, components, 3)); }),
              "Unsupported image geometry");
  EXPECT_EQ(failure([&] { pixelBytes(view(nullptr, {0, 0, 1, 1}, 64, 4, 3)); }), "Unsupported image geometry");
  EXPECT_EQ(failure([&] { pixelBytes(view(buffer.data(), {3, 0, 3, 1}, 64, 4, 3)); }), "Unsupported image geometry");
  EXPECT_EQ(failure([&] { pixelBytes(view(buffer.data(), {0, 2, 1, 1}, 64, 4, 3)); }), "Unsupported image geometry");
}

TEST(CopyImage, FormatsMustMatch) {
  std::vector<std::uint16_t> a(64), b(64);
  EXPECT_EQ(failure([&] { copyImage(view(a.data(), {0, 0, 2, 2}, 8, 4, 0), view(b.data(), {0, 0, 2, 2}, 16, 4, 1), {0, 0, 2, 2}); }),
            "Source and output formats differ");
  EXPECT_EQ(failure([&] { copyImage(view(a.data(), {0, 0, 2, 2}, 12, 3, 1), view(b.data(), {0, 0, 2, 2}, 16, 4, 1), {0, 0, 2, 2}); }),
            "Source and output formats differ");
  // Half and 16-bit have the same size but are not the same format.
  EXPECT_EQ(failure([&] { copyImage(view(a.data(), {0, 0, 2, 2}, 16, 4, 2), view(b.data(), {0, 0, 2, 2}, 16, 4, 1), {0, 0, 2, 2}); }),
            "Source and output formats differ");
}

TEST(CopyImage, WindowClippingClearingAndStrides) {
  // 8-bit RGBA, output 6x4 at origin; source 2x2 at (1,1) stored bottom-up (negative stride).
  std::vector<std::uint8_t> out(6 * 4 * 4, 0xEE);
  std::vector<std::uint8_t> src(2 * 2 * 4 + 8);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i + 1);
  const int srcStride = -(2 * 4 + 4);  // padded and negative
  const Image source = view(src.data() + 12, {1, 1, 3, 3}, srcStride, 4, 0);
  const Image output = view(out.data(), {0, 0, 6, 4}, 24, 4, 0);
  copyImage(source, output, {0, 1, 4, 99});
  auto px = [&](int x, int y) { return out.data() + y * 24 + x * 4; };
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 6; ++x) {
      const bool inWindow = x < 4 && y >= 1;
      const bool inSource = x >= 1 && x < 3 && y >= 1 && y < 3;
      SCOPED_TRACE(testing::Message() << x << "," << y);
      if (!inWindow) {
        EXPECT_EQ(px(x, y)[0], 0xEE);
      } else if (inSource) {
        EXPECT_EQ(std::memcmp(px(x, y), src.data() + 12 + (y - 1) * srcStride + (x - 1) * 4, 4), 0);
      } else {
        EXPECT_EQ(px(x, y)[3], 0) << "alpha is cleared too";
        EXPECT_EQ(px(x, y)[0], 0);
      }
    }
  }
  std::vector<std::uint8_t> before = out;
  copyImage(source, output, {10, 10, 20, 20});
  EXPECT_EQ(out, before) << "a window off the output touches nothing";
  copyImage(output, output, {0, 0, 6, 4});
  EXPECT_EQ(out, before) << "an image copied onto itself is left alone";
}

TEST(Capture, SizeLimits) {
  static const std::uint16_t pixel[4] = {};
  auto wide = [&](int w, int h) { return view(pixel, {0, 0, w, h}, w * 8, 4, 1); };
  EXPECT_EQ(failure([&] { capture(wide(8193, 2), 0); }), "Sender image exceeds 32 megapixels");
  EXPECT_EQ(failure([&] { capture(wide(6000, 6000), 0); }), "Sender image exceeds 32 megapixels");
  EXPECT_EQ(failure([&] { capture(wide(8192, 8192), 0); }), "Sender image exceeds 32 megapixels");
  std::vector<std::uint16_t> big(static_cast<size_t>(8192) * 4096 * 3);
  const Frame f = capture(view(big.data(), {0, 0, 8192, 4096}, 8192 * 6, 3, 1), 7.0);
  EXPECT_EQ(f.pixels.size(), big.size());
  EXPECT_TRUE(std::equal(big.begin(), big.end(), f.pixels.begin()));
  EXPECT_EQ(f.time, 7.0);
}

// Picture-sized blocks are reused: a later frame must never show an earlier picture,
// and frames alive together must never share memory.
TEST(Capture, ReusedBlocksCarryOnlyTheirOwnPicture) {
  const int w = 640, h = 360;  // over a mebibyte of samples
  auto picture = [&](std::uint16_t value) { return std::vector<std::uint16_t>(size_t(w) * h * 3, value); };
  auto grab = [&](const std::vector<std::uint16_t>& p) { return capture(view(p.data(), {0, 0, w, h}, w * 6, 3, 1), 0); };
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
    const Frame small = capture(view(b.data(), {0, 0, w / 2, h}, w * 6, 3, 1), 0);
    EXPECT_EQ(small.pixels.size(), size_t(w / 2) * h * 3);
    EXPECT_TRUE(all(small, 2));
  }
}

TEST(Capture, TopRowFirstAndValueConversion) {
  // 2x2 float RGBA: bottom row blue, top row red, rows stored bottom first.
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const float px[16] = {0, 0, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1, 1.5f, 0.5f, -0.5f, 1};
  Frame f = capture(view(px, {5, 5, 7, 7}, 32, 4, 3), 1.0);
  ASSERT_EQ(f.width, 2);
  EXPECT_EQ(f.pixels, (Samples{65535, 0, 0, 65535, 32768, 0, 0, 0, 65535, 0, 0, 65535}));
  const float odd[3] = {nan, inf, -inf};
  EXPECT_EQ(capture(view(odd, {0, 0, 1, 1}, 12, 3, 3), 0).pixels, (Samples{0, 0, 0}));

  // Negative stride: the data pointer is the bottom row, which sits last in memory.
  const std::uint8_t bytes[6] = {255, 128, 0, 1, 2, 3};
  f = capture(view(bytes + 3, {0, 0, 1, 2}, -3, 3, 0), 0);
  EXPECT_EQ(f.pixels, (Samples{65535, 32896, 0, 257, 514, 771}));
  const std::uint16_t shorts[4] = {0, 1, 65535, 9};
  EXPECT_EQ(capture(view(shorts, {0, 0, 1, 1}, 8, 4, 1), 0).pixels, (Samples{0, 1, 65535}));
  // Half: 1.0, smallest subnormal, largest subnormal.
  const std::uint16_t halves[3] = {0x3C00, 0x0001, 0x03FF};
  EXPECT_EQ(capture(view(halves, {0, 0, 1, 1}, 6, 3, 2), 0).pixels, (Samples{65535, 0, 4}));
  const std::uint16_t specials[3] = {0x7C00, 0x7E00, 0xBC00};  // +inf, NaN, -1
  EXPECT_EQ(capture(view(specials, {0, 0, 1, 1}, 6, 3, 2), 0).pixels, (Samples{0, 0, 0}));
}

}  // namespace
}  // namespace vl
