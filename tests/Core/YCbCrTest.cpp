#include "Core/YCbCr.h"

#include "Failure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace vl {
namespace {

// The conversion rule written out plainly, one pixel and one block at a time.
struct Codes {
  int width = 0, height = 0;
  std::vector<int> y, cb, cr;
};

int roundHalfAway(double v) { return static_cast<int>(v < 0 ? -std::floor(-v + 0.5) : std::floor(v + 0.5)); }

Codes reference(const Frame& frame, bool rec2020, bool tenBit) {
  const double kr = rec2020 ? 0.2627 : 0.2126, kb = rec2020 ? 0.0593 : 0.0722, kg = 1 - kr - kb;
  const double s = tenBit ? 4 : 1;
  Codes codes{frame.width, frame.height, std::vector<int>(frame.width * frame.height),
              std::vector<int>(frame.width * frame.height / 4), std::vector<int>(frame.width * frame.height / 4)};
  for (int y = 0; y < frame.height; y += 2) {
    for (int x = 0; x < frame.width; x += 2) {
      double sumCb = 0, sumCr = 0;
      const int px[4][2] = {{x, y}, {x + 1, y}, {x, y + 1}, {x + 1, y + 1}};
      for (const auto& p : px) {
        const std::size_t i = (static_cast<std::size_t>(p[1]) * frame.width + p[0]) * 3;
        const double r = frame.pixels[i] / 65535.0, g = frame.pixels[i + 1] / 65535.0,
                     b = frame.pixels[i + 2] / 65535.0;
        const double luma = kg * g + kr * r + kb * b;
        int code = roundHalfAway((luma * 219 + 16) * s);
        code = std::max(code, static_cast<int>(16 * s));
        code = std::min(code, static_cast<int>(235 * s));
        codes.y[p[1] * frame.width + p[0]] = code;
        sumCb += (b - luma) / (2 * (1 - kb));
        sumCr += (r - luma) / (2 * (1 - kr));
      }
      const auto chroma = [&](double sum) {
        const int code = roundHalfAway((sum * 224 * 0.25 + 128) * s);
        return std::min(std::max(code, static_cast<int>(16 * s)), static_cast<int>(240 * s));
      };
      codes.cb[y / 2 * (frame.width / 2) + x / 2] = chroma(sumCb);
      codes.cr[y / 2 * (frame.width / 2) + x / 2] = chroma(sumCr);
    }
  }
  return codes;
}

// Destination planes with padded rows, read back as codes.
struct Destination {
  PlaneLayout layout;
  int width, height;
  std::vector<std::uint8_t> bytes[3];
  Planes planes;

  Destination(PlaneLayout l, int w, int h) : layout(l), width(w), height(h) {
    const int sample = isTenBit(l) ? 2 : 1;
    const bool interleaved = l == PlaneLayout::nv12 || l == PlaneLayout::p010;
    const std::ptrdiff_t strides[3] = {w * sample + 6, (interleaved ? w : w / 2) * sample + 10,
                                       interleaved ? 0 : w / 2 * sample + 4};
    const int rows[3] = {h, h / 2, interleaved ? 0 : h / 2};
    for (int p = 0; p < 3; ++p) {
      bytes[p].assign(strides[p] * rows[p], 0xA5);
      planes.data[p] = rows[p] ? bytes[p].data() : nullptr;
      planes.bytesPerRow[p] = strides[p];
    }
  }

  int word(int plane, int x, int y) const {
    const std::uint8_t* row = bytes[plane].data() + y * planes.bytesPerRow[plane];
    if (!isTenBit(layout)) return row[x];
    std::uint16_t v;
    std::memcpy(&v, row + 2 * x, 2);
    return v;
  }
  int code(int plane, int x, int y) const {
    const int v = word(plane, x, y);
    return layout == PlaneLayout::p010 ? v >> 6 : v;
  }
  int y(int x, int row) const { return code(0, x, row); }
  // which: 0 for Cb, 1 for Cr.
  int chroma(int which, int x, int row) const {
    return layout == PlaneLayout::nv12 || layout == PlaneLayout::p010 ? code(1, 2 * x + which, row)
                                                                      : code(1 + which, x, row);
  }
};

constexpr PlaneLayout kLayouts[] = {PlaneLayout::nv12, PlaneLayout::p010, PlaneLayout::yuv420p,
                                    PlaneLayout::yuv420p10};

Frame makeFrame(int width, int height, const std::vector<std::uint16_t>& rgb) {
  Frame frame;
  frame.width = width;
  frame.height = height;
  frame.pixels.assign(rgb.begin(), rgb.end());
  return frame;
}

// Compares every sample and reports the first few differences.
void expectMatchesRule(const Frame& frame, Matrix matrix, PlaneLayout layout) {
  const Codes want = reference(frame, matrix == Matrix::rec2020, isTenBit(layout));
  Destination got(layout, frame.width, frame.height);
  convertToYCbCr(frame, matrix, layout, got.planes);
  // Row padding is left alone.
  const int sample = isTenBit(layout) ? 2 : 1;
  EXPECT_EQ(got.bytes[0][frame.width * sample], 0xA5);
  EXPECT_EQ(got.bytes[0].back(), 0xA5);
  EXPECT_EQ(got.bytes[1].back(), 0xA5);
  int reported = 0;
  for (int y = 0; y < frame.height && reported < 5; ++y)
    for (int x = 0; x < frame.width && reported < 5; ++x)
      if (got.y(x, y) != want.y[y * frame.width + x]) {
        ADD_FAILURE() << "Y' at " << x << "," << y << ": " << got.y(x, y) << " vs " << want.y[y * frame.width + x];
        ++reported;
      }
  for (int y = 0; y < frame.height / 2 && reported < 5; ++y)
    for (int x = 0; x < frame.width / 2 && reported < 5; ++x) {
      const int i = y * frame.width / 2 + x;
      if (got.chroma(0, x, y) != want.cb[i] || got.chroma(1, x, y) != want.cr[i]) {
        ADD_FAILURE() << "chroma at " << x << "," << y << ": " << got.chroma(0, x, y) << "," << got.chroma(1, x, y)
                      << " vs " << want.cb[i] << "," << want.cr[i];
        ++reported;
      }
    }
}

// Samples read back as stored words: (plane, x, y) -> word.
TEST(YCbCr, WorkedValues) {
  const std::vector<std::uint16_t> white(12, 65535), black(12, 0),
      red{65535, 0, 0, 65535, 0, 0, 65535, 0, 0, 65535, 0, 0},
      // Left block white and black in a checker, right block pure blue: no bleeding across.
      blocks{65535, 65535, 65535, 0, 0, 0, 0, 0, 65535, 0, 0, 65535,
             0, 0, 0, 65535, 65535, 65535, 0, 0, 65535, 0, 0, 65535};
  struct Case {
    const std::vector<std::uint16_t>& rgb;
    Matrix matrix;
    PlaneLayout layout;
    std::vector<std::array<int, 4>> words;
  };
  std::vector<Case> cases;
  for (Matrix m : {Matrix::rec709, Matrix::rec2020}) {
    cases.push_back({white, m, PlaneLayout::nv12, {{0, 1, 1, 235}, {1, 0, 0, 128}, {1, 1, 0, 128}}});
    cases.push_back({white, m, PlaneLayout::p010, {{0, 1, 0, 60160}, {1, 0, 0, 32768}, {1, 1, 0, 32768}}});
    cases.push_back({black, m, PlaneLayout::nv12, {{0, 0, 0, 16}, {1, 0, 0, 128}}});
  }
  cases.push_back({black, Matrix::rec2020, PlaneLayout::yuv420p10, {{0, 0, 1, 64}, {1, 0, 0, 512}, {2, 0, 0, 512}}});
  cases.push_back(
      {red, Matrix::rec709, PlaneLayout::nv12, {{0, 0, 0, 63}, {0, 1, 1, 63}, {1, 0, 0, 102}, {1, 1, 0, 240}}});
  // Luma exactly on a half (52.5) rounds away from zero.
  const std::vector<std::uint16_t> tie{47198, 191, 10410, 47198, 191, 10410, 47198, 191, 10410, 47198, 191, 10410};
  cases.push_back({tie, Matrix::rec709, PlaneLayout::nv12, {{0, 0, 0, 53}, {0, 1, 1, 53}}});
  // The blue block's Cb is (1 - Kb) / (2 (1 - Kb)) = 0.5 of full scale.
  cases.push_back({blocks, Matrix::rec709, PlaneLayout::yuv420p,
                   {{0, 0, 0, 235}, {0, 1, 0, 16}, {1, 0, 0, 128}, {2, 0, 0, 128}, {1, 1, 0, 240},
                    {0, 2, 1, roundHalfAway(0.0722 * 219 + 16)}}});
  for (const Case& c : cases) {
    const int width = static_cast<int>(c.rgb.size()) / 6;
    Destination d(c.layout, width, 2);
    convertToYCbCr(makeFrame(width, 2, c.rgb), c.matrix, c.layout, d.planes);
    for (const auto& [plane, x, y, word] : c.words)
      EXPECT_EQ(d.word(plane, x, y), word) << "layout " << static_cast<int>(c.layout) << ", matrix "
                                           << static_cast<int>(c.matrix) << ", plane " << plane << " at " << x << ","
                                           << y;
  }
}

TEST(YCbCr, PicturesMatchTheRuleExactly) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> any(0, 65535), jitter(-3, 3);
  // Odd rounds: blocks of four nearly equal greys, which put the chroma sums right next to 128.
  for (int round = 0; round < 10; ++round) {
    std::vector<std::uint16_t> rgb(256 * 128 * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
      const int grey = any(random);
      for (int k = 0; k < 3; ++k)
        rgb[i + k] = static_cast<std::uint16_t>(round % 2 ? std::clamp(grey + jitter(random), 0, 65535) : any(random));
    }
    for (PlaneLayout layout : kLayouts)
      for (Matrix m : {Matrix::rec709, Matrix::rec2020}) expectMatchesRule(makeFrame(256, 128, rgb), m, layout);
  }
  // Every value of each channel, the other two held at several levels.
  for (int channel = 0; channel < 3; ++channel)
    for (std::uint16_t other : {0, 1, 32767, 32768, 65534, 65535}) {
      std::vector<std::uint16_t> rgb(65536 * 3, other);
      for (int v = 0; v < 65536; ++v) rgb[v * 3 + channel] = static_cast<std::uint16_t>(v);
      for (PlaneLayout layout : {PlaneLayout::nv12, PlaneLayout::yuv420p10})
        for (Matrix m : {Matrix::rec709, Matrix::rec2020}) expectMatchesRule(makeFrame(512, 128, rgb), m, layout);
    }
  // Pixels whose luma lies within 1e-4 of a rounding half, where single precision would
  // round the other way.
  for (bool rec2020 : {false, true})
    for (int scale : {1, 4}) {
      const double kr = rec2020 ? 0.2627 : 0.2126, kb = rec2020 ? 0.0593 : 0.0722, kg = 1 - kr - kb;
      std::vector<std::uint16_t> ties;
      while (ties.size() < 3u * 1024) {
        const std::uint16_t r = any(random), g = any(random), b = any(random);
        const double v = ((kg * (g / 65535.0) + kr * (r / 65535.0) + kb * (b / 65535.0)) * 219 + 16) * scale;
        if (std::abs(v - std::floor(v) - 0.5) < 1e-4) ties.insert(ties.end(), {r, g, b});
      }
      for (PlaneLayout layout : kLayouts)
        if (isTenBit(layout) == (scale == 4))
          expectMatchesRule(makeFrame(32, 32, ties), rec2020 ? Matrix::rec2020 : Matrix::rec709, layout);
    }
}

TEST(YCbCr, RejectsFramesItCannotCover) {
  Destination d(PlaneLayout::nv12, 4, 4);
  const auto failure = [&](const Frame& f) {
    return test::failure([&] { convertToYCbCr(f, Matrix::rec709, PlaneLayout::nv12, d.planes); });
  };
  for (auto [w, h] : {std::pair{3, 2}, {2, 3}, {0, 0}})
    EXPECT_EQ(failure(makeFrame(w, h, std::vector<std::uint16_t>(w * h * 3))), "The picture size must be even.");
  EXPECT_EQ(failure(makeFrame(4, 4, std::vector<std::uint16_t>(47))), "The frame holds fewer samples than its size.");
}

}  // namespace
}  // namespace vl
