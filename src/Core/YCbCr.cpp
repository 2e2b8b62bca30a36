#include "Core/YCbCr.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vl {
namespace {

// Codes are computed in 24.40 fixed point from the exact coefficients. The fixed-point
// error stays below 2^-21 of a code step and the double-precision rule's own error far
// below that, so the two can only round differently when the value lies within a
// margin of a half: those rare samples are recomputed with the rule itself.
constexpr int kFractionBits = 40;
constexpr std::int64_t kOne = std::int64_t{1} << kFractionBits;
constexpr std::int64_t kFractionMask = kOne - 1;
constexpr std::int64_t kTieMargin = kOne >> 16;

struct Linear {
  std::int64_t r = 0, g = 0, b = 0, offset = 0;
  std::int64_t at(std::int64_t red, std::int64_t green, std::int64_t blue) const {
    return r * red + g * green + b * blue + offset;
  }
};

struct Rule {
  double kr = 0, kb = 0, kg = 0;
  int scale = 1;
  int lumaMin = 16, lumaMax = 235, chromaMin = 16, chromaMax = 240;
  Linear luma, cb, cr;  // cb and cr act on sums over a 2x2 block
};

std::int64_t fixed(long double value) { return std::llround(std::ldexp(value, kFractionBits)); }

Rule makeRule(Matrix matrix, bool tenBit) {
  Rule rule;
  rule.kr = matrix == Matrix::rec709 ? 0.2126 : 0.2627;
  rule.kb = matrix == Matrix::rec709 ? 0.0722 : 0.0593;
  rule.kg = 1 - rule.kr - rule.kb;
  rule.scale = tenBit ? 4 : 1;
  rule.lumaMin = 16 * rule.scale;
  rule.lumaMax = 235 * rule.scale;
  rule.chromaMin = 16 * rule.scale;
  rule.chromaMax = 240 * rule.scale;

  const long double s = rule.scale, kr = rule.kr, kb = rule.kb, kg = rule.kg, full = 65535;
  rule.luma = {fixed(s * 219 * kr / full), fixed(s * 219 * kg / full), fixed(s * 219 * kb / full),
               fixed(s * 16 + 0.5L)};
  // 224 x 0.25 over the block sum, and (B - Y) / (2 (1 - Kb)) with Y's B term folded in.
  const long double chroma = s * 56 / full;
  rule.cb = {fixed(-chroma * kr / (2 * (1 - kb))), fixed(-chroma * kg / (2 * (1 - kb))), fixed(chroma / 2),
             fixed(s * 128 + 0.5L)};
  rule.cr = {fixed(chroma / 2), fixed(-chroma * kg / (2 * (1 - kr))), fixed(-chroma * kb / (2 * (1 - kr))),
             fixed(s * 128 + 0.5L)};
  return rule;
}

bool nearTie(std::int64_t value) { return ((value + kTieMargin) & kFractionMask) < 2 * kTieMargin; }

int clampCode(std::int64_t code, int low, int high) {
  return static_cast<int>(std::clamp<std::int64_t>(code, low, high));
}

int roundClamp(double value, int low, int high) {
  return static_cast<int>(std::clamp<long long>(std::llround(value), low, high));
}

// The rule in double precision, for samples near a rounding tie.
double unroundedY(const Rule& rule, const std::uint16_t* rgb) {
  const double r = rgb[0] / 65535.0, g = rgb[1] / 65535.0, b = rgb[2] / 65535.0;
  return rule.kg * g + rule.kr * r + rule.kb * b;
}

int exactLuma(const Rule& rule, const std::uint16_t* rgb) {
  return roundClamp((unroundedY(rule, rgb) * 219 + 16) * rule.scale, rule.lumaMin, rule.lumaMax);
}

void exactChroma(const Rule& rule, const std::uint16_t* const block[4], int& cb, int& cr) {
  double sumCb = 0, sumCr = 0;
  for (int i = 0; i < 4; ++i) {
    const double y = unroundedY(rule, block[i]);
    sumCb += (block[i][2] / 65535.0 - y) / (2 * (1 - rule.kb));
    sumCr += (block[i][0] / 65535.0 - y) / (2 * (1 - rule.kr));
  }
  cb = roundClamp((sumCb * 224 * 0.25 + 128) * rule.scale, rule.chromaMin, rule.chromaMax);
  cr = roundClamp((sumCr * 224 * 0.25 + 128) * rule.scale, rule.chromaMin, rule.chromaMax);
}

int luma(const Rule& rule, const std::uint16_t* rgb) {
  const std::int64_t v = rule.luma.at(rgb[0], rgb[1], rgb[2]);
  if (nearTie(v)) [[unlikely]]
    return exactLuma(rule, rgb);
  return clampCode(v >> kFractionBits, rule.lumaMin, rule.lumaMax);
}

template <PlaneLayout layout>
void store(std::uint8_t* row, std::ptrdiff_t index, int code) {
  if constexpr (layout == PlaneLayout::nv12 || layout == PlaneLayout::yuv420p)
    row[index] = static_cast<std::uint8_t>(code);
  else if constexpr (layout == PlaneLayout::p010)
    reinterpret_cast<std::uint16_t*>(row)[index] = static_cast<std::uint16_t>(code << 6);
  else
    reinterpret_cast<std::uint16_t*>(row)[index] = static_cast<std::uint16_t>(code);
}

template <PlaneLayout layout>
void convert(const Frame& frame, const Rule& rule, const Planes& planes) {
  constexpr bool interleaved = layout == PlaneLayout::nv12 || layout == PlaneLayout::p010;
  const std::ptrdiff_t width = frame.width, rowSamples = width * 3;
  for (std::ptrdiff_t y = 0; y < frame.height; y += 2) {
    const std::uint16_t* top = frame.pixels.data() + y * rowSamples;
    const std::uint16_t* bottom = top + rowSamples;
    std::uint8_t* lumaTop = planes.data[0] + y * planes.bytesPerRow[0];
    std::uint8_t* lumaBottom = lumaTop + planes.bytesPerRow[0];
    std::uint8_t* cbRow = planes.data[1] + y / 2 * planes.bytesPerRow[1];
    std::uint8_t* crRow = interleaved ? cbRow : planes.data[2] + y / 2 * planes.bytesPerRow[2];
    for (std::ptrdiff_t x = 0; x < width; x += 2) {
      const std::uint16_t* const block[4] = {top + 3 * x, top + 3 * x + 3, bottom + 3 * x, bottom + 3 * x + 3};
      store<layout>(lumaTop, x, luma(rule, block[0]));
      store<layout>(lumaTop, x + 1, luma(rule, block[1]));
      store<layout>(lumaBottom, x, luma(rule, block[2]));
      store<layout>(lumaBottom, x + 1, luma(rule, block[3]));

      const std::int64_t r = block[0][0] + block[1][0] + block[2][0] + block[3][0];
      const std::int64_t g = block[0][1] + block[1][1] + block[2][1] + block[3][1];
      const std::int64_t b = block[0][2] + block[1][2] + block[2][2] + block[3][2];
      const std::int64_t vCb = rule.cb.at(r, g, b), vCr = rule.cr.at(r, g, b);
      int cb = 0, cr = 0;
      if (nearTie(vCb) || nearTie(vCr)) [[unlikely]] {
        exactChroma(rule, block, cb, cr);
      } else {
        cb = clampCode(vCb >> kFractionBits, rule.chromaMin, rule.chromaMax);
        cr = clampCode(vCr >> kFractionBits, rule.chromaMin, rule.chromaMax);
      }
      if constexpr (interleaved) {
        store<layout>(cbRow, x, cb);
        store<layout>(cbRow, x + 1, cr);
      } else {
        store<layout>(cbRow, x / 2, cb);
        store<layout>(crRow, x / 2, cr);
      }
    }
  }
}

}  // namespace

Matrix matrixFor(int color) { return color == 0 ? Matrix::rec709 : Matrix::rec2020; }

bool isTenBit(PlaneLayout layout) { return layout == PlaneLayout::p010 || layout == PlaneLayout::yuv420p10; }

void convertToYCbCr(const Frame& frame, Matrix matrix, PlaneLayout layout, const Planes& planes) {
  if (frame.width <= 0 || frame.height <= 0 || frame.width % 2 != 0 || frame.height % 2 != 0)
    throw std::runtime_error("The picture size must be even.");
  if (frame.pixels.size() < static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height) * 3)
    throw std::runtime_error("The frame holds fewer samples than its size.");
  const Rule rule = makeRule(matrix, isTenBit(layout));
  switch (layout) {
    case PlaneLayout::nv12: return convert<PlaneLayout::nv12>(frame, rule, planes);
    case PlaneLayout::p010: return convert<PlaneLayout::p010>(frame, rule, planes);
    case PlaneLayout::yuv420p: return convert<PlaneLayout::yuv420p>(frame, rule, planes);
    case PlaneLayout::yuv420p10: return convert<PlaneLayout::yuv420p10>(frame, rule, planes);
  }
}

}  // namespace vl
