#include "Core/YCbCr.h"

#include "Failure.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace vl {
namespace {

// Destination planes with padded rows, read back as stored words.
struct Destination {
  PlaneLayout layout;
  std::vector<std::uint8_t> bytes[3];
  Planes planes;

  Destination(PlaneLayout l, int w, int h) : layout(l) {
    const int sample = isTenBit(l) ? 2 : 1;
    const std::ptrdiff_t strides[3] = {w * sample + 6, (interleaved() ? w : w / 2) * sample + 10,
                                       interleaved() ? 0 : w / 2 * sample + 4};
    const int rows[3] = {h, h / 2, interleaved() ? 0 : h / 2};
    for (int p = 0; p < 3; ++p) {
      bytes[p].assign(strides[p] * rows[p], 0xA5);
      planes.data[p] = rows[p] ? bytes[p].data() : nullptr;
      planes.bytesPerRow[p] = strides[p];
    }
  }
  bool interleaved() const { return layout == PlaneLayout::nv12 || layout == PlaneLayout::p010; }

  int word(int plane, int x, int y) const {
    const std::uint8_t* row = bytes[plane].data() + y * planes.bytesPerRow[plane];
    if (!isTenBit(layout)) return row[x];
    std::uint16_t v;
    std::memcpy(&v, row + 2 * x, 2);
    return v;
  }
};

Frame makeFrame(int width, int height, const std::vector<std::uint16_t>& rgb) {
  return Frame{width, height, 0, Samples(rgb.begin(), rgb.end())};
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
  // Luma exactly on a half (52.5) rounds away from zero.
  const std::vector<std::uint16_t> tie{47198, 191, 10410, 47198, 191, 10410, 47198, 191, 10410, 47198, 191, 10410};
  const std::vector<std::uint16_t> near709{31336, 51245, 59045, 39166, 35259, 26822,
                                           19510, 2434,  31901, 22421, 43441, 12390},
      near2020{60034, 23427, 11141, 21231, 21574, 31405, 51969, 32423, 21594, 49494, 58260, 5981};
  const Case cases[] = {
      {white, Matrix::rec2020, PlaneLayout::p010, {{0, 1, 0, 60160}, {1, 0, 0, 32768}, {1, 1, 0, 32768}}},
      {black, Matrix::rec2020, PlaneLayout::yuv420p10, {{0, 0, 1, 64}, {1, 0, 0, 512}, {2, 0, 0, 512}}},
      {red, Matrix::rec709, PlaneLayout::nv12, {{0, 0, 0, 63}, {0, 1, 1, 63}, {1, 0, 0, 102}, {1, 1, 0, 240}}},
      {tie, Matrix::rec709, PlaneLayout::nv12, {{0, 0, 0, 53}, {0, 1, 1, 53}}},
      // The blue block's Cb is (1 - Kb) / (2 (1 - Kb)) = 0.5 of full scale; its Y' is 0.0722 * 219 + 16.
      {blocks, Matrix::rec709, PlaneLayout::yuv420p,
       {{0, 0, 0, 235}, {0, 1, 0, 16}, {1, 0, 0, 128}, {2, 0, 0, 128}, {1, 1, 0, 240}, {0, 2, 1, 32}}},
      // Within 1e-4 of a rounding half, where the fixed-point estimate rounds the wrong way:
      // Y' at (0, 1), then Cb (the rule in double precision gives every code).
      {near709, Matrix::rec709, PlaneLayout::yuv420p10,
       {{0, 0, 0, 700}, {0, 0, 1, 174}, {1, 0, 0, 516}, {2, 0, 0, 478}}},
      {near2020, Matrix::rec2020, PlaneLayout::yuv420p10, {{0, 1, 1, 771}, {1, 0, 0, 378}, {2, 0, 0, 601}}},
  };
  for (const Case& c : cases) {
    const int width = static_cast<int>(c.rgb.size()) / 6;
    Destination d(c.layout, width, 2);
    convertToYCbCr(makeFrame(width, 2, c.rgb), c.matrix, c.layout, d.planes);
    EXPECT_TRUE(d.bytes[0].back() == 0xA5 && d.bytes[1].back() == 0xA5) << "row padding is left alone";
    for (const auto& [plane, x, y, word] : c.words)
      EXPECT_EQ(d.word(plane, x, y), word) << "layout " << static_cast<int>(c.layout) << ", plane " << plane
                                           << " at " << x << "," << y;
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
