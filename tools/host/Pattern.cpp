#include "Pattern.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace vl::host {
namespace {

using Rgb = std::array<float, 3>;

// The seventy-five percent bars, left to right.
constexpr std::array<Rgb, 7> kBars{{{0.75f, 0.75f, 0.75f},
                                    {0.75f, 0.75f, 0.0f},
                                    {0.0f, 0.75f, 0.75f},
                                    {0.0f, 0.75f, 0.0f},
                                    {0.75f, 0.0f, 0.75f},
                                    {0.75f, 0.0f, 0.0f},
                                    {0.0f, 0.0f, 0.75f}}};

// Back and forth over [0, range], one unit per step: motion without jumps.
std::int64_t bounce(std::int64_t position, std::int64_t range) {
  if (range <= 0) return 0;
  const std::int64_t m = position % (2 * range);
  return m <= range ? m : 2 * range - m;
}

// Bars on the upper two thirds, a ramp below them, the counter strip at the bottom.
struct Layout {
  int barsEnd, rampEnd, box, cell;
  std::int64_t stepX, stepY;
  Layout(int width, int height)
      : barsEnd(std::max(1, height * 2 / 3)),
        rampEnd(std::max(barsEnd, height * 5 / 6)),
        box(std::max(1, height / 8)),
        cell(std::max(1, width / 32)),
        stepX(std::max(1, width / 120)),
        stepY(std::max(1, height / 90)) {}
};

void convert(const float* in, size_t n, Depth depth, std::uint8_t* out) {
  for (size_t i = 0; i < n; ++i) {
    const float v = in[i];
    switch (depth) {
      case Depth::Byte:
        out[i] = static_cast<std::uint8_t>(std::lround(v * 255.0f));
        break;
      case Depth::Short: {
        const auto s = static_cast<std::uint16_t>(std::lround(v * 65535.0f));
        std::memcpy(out + 2 * i, &s, 2);
        break;
      }
      case Depth::Half: {
        const std::uint16_t h = halfFromFloat(v);
        std::memcpy(out + 2 * i, &h, 2);
        break;
      }
      case Depth::Float:
        std::memcpy(out + 4 * i, &v, 4);
        break;
    }
  }
}

}  // namespace

Pattern::Pattern(int width, int height, Depth depth) : width_(width), height_(height), depth_(depth) {
  const Layout l(width, height);
  still_.resize(frameBytes(width, height, depth));
  const size_t rowBytes = still_.size() / static_cast<size_t>(height);
  std::vector<float> row(static_cast<size_t>(width) * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      Rgb c{0.0f, 0.0f, 0.0f};
      if (y < l.barsEnd) {
        c = kBars[static_cast<size_t>(x) * kBars.size() / static_cast<size_t>(width)];
      } else if (y < l.rampEnd) {
        const float g = width > 1 ? static_cast<float>(x) / static_cast<float>(width - 1) : 0.0f;
        c = {g, g, g};
      }
      std::copy(c.begin(), c.end(), row.begin() + 4 * x);
      row[static_cast<size_t>(x) * 4 + 3] = 1.0f;
    }
    convert(row.data(), row.size(), depth, still_.data() + static_cast<size_t>(y) * rowBytes);
  }
  const float white[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  white_.resize(4 * static_cast<size_t>(bytesPerSample(depth)));
  convert(white, 4, depth, white_.data());
}

void Pattern::paintWhite(std::uint8_t* out, std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2) const {
  x2 = std::min<std::int64_t>(x2, width_);
  y2 = std::min<std::int64_t>(y2, height_);
  const size_t pixel = white_.size();
  const size_t rowBytes = pixel * static_cast<size_t>(width_);
  for (std::int64_t y = y1; y < y2; ++y)
    for (std::int64_t x = x1; x < x2; ++x)
      std::memcpy(out + static_cast<size_t>(y) * rowBytes + static_cast<size_t>(x) * pixel, white_.data(), pixel);
}

void Pattern::draw(std::int64_t frame, std::uint8_t* out) const {
  const Layout l(width_, height_);
  std::memcpy(out, still_.data(), still_.size());
  const std::int64_t boxX = bounce(frame * l.stepX, width_ - l.box);
  const std::int64_t boxY = bounce(frame * l.stepY, l.barsEnd - l.box);
  paintWhite(out, boxX, boxY, boxX + l.box, std::min<std::int64_t>(boxY + l.box, l.barsEnd));
  for (int bit = 0; bit < kCounterBits; ++bit)
    if (((frame >> (kCounterBits - 1 - bit)) & 1) != 0)
      paintWhite(out, static_cast<std::int64_t>(bit) * l.cell, l.rampEnd, static_cast<std::int64_t>(bit + 1) * l.cell,
                 height_);
}

std::uint16_t halfFromFloat(float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
  const std::uint32_t magnitude = bits & 0x7FFFFFFFu;
  if (magnitude >= 0x7F800000u) return sign | (magnitude > 0x7F800000u ? 0x7E00u : 0x7C00u);
  if (magnitude >= 0x477FF000u) return sign | 0x7C00u;  // 65520 and up round to infinity
  if (magnitude < 0x38800000u) {
    // Below the smallest normal half: count units of 2^-24, exactly, then round to even.
    float a = 0;
    std::memcpy(&a, &magnitude, sizeof a);
    return sign | static_cast<std::uint16_t>(std::lrint(a * 16777216.0f));
  }
  std::uint32_t half = (((magnitude >> 23) - 112u) << 10) | ((magnitude >> 13) & 0x3FFu);
  const std::uint32_t rest = magnitude & 0x1FFFu;
  if (rest > 0x1000u || (rest == 0x1000u && (half & 1u) != 0)) ++half;  // a carry moves into the exponent, as it should
  return sign | static_cast<std::uint16_t>(half);
}

float floatFromHalf(std::uint16_t half) {
  const int exponent = (half >> 10) & 0x1F;
  const int mantissa = half & 0x3FF;
  const float sign = (half & 0x8000) != 0 ? -1.0f : 1.0f;
  if (exponent == 0) return sign * std::ldexp(static_cast<float>(mantissa), -24);
  if (exponent == 31) return mantissa != 0 ? NAN : sign * INFINITY;
  return sign * std::ldexp(static_cast<float>(mantissa + 1024), exponent - 25);
}

}  // namespace vl::host
