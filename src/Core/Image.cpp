#include "Core/Image.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

namespace vl {
namespace {

const std::uint8_t* row(const Image& image, std::int32_t y) {
  return static_cast<const std::uint8_t*>(image.data) +
         static_cast<std::ptrdiff_t>(y - image.bounds.y1) * image.rowBytes;
}

std::uint16_t sample(double v) {
  if (!std::isfinite(v)) return 0;
  return static_cast<std::uint16_t>(std::lround(std::clamp(v, 0.0, 1.0) * 65535.0));
}

double halfValue(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  const double sign = (h & 0x8000) != 0 ? -1.0 : 1.0;
  if (exponent == 0) return sign * std::ldexp(mantissa, -24);
  if (exponent == 31) return mantissa != 0 ? NAN : sign * INFINITY;
  return sign * std::ldexp(mantissa + 1024, exponent - 25);
}

// Every 8-bit and half value maps to one sample: look them up instead of converting.
struct Tables {
  std::array<std::uint16_t, 256> byte{};
  std::vector<std::uint16_t> half = std::vector<std::uint16_t>(65536);
  Tables() {
    for (int i = 0; i < 256; ++i) byte[static_cast<size_t>(i)] = sample(i / 255.0);
    for (int i = 0; i < 65536; ++i) half[static_cast<size_t>(i)] = sample(halfValue(static_cast<std::uint16_t>(i)));
  }
};
const Tables& tables() {
  static const Tables t;
  return t;
}

template <typename T, typename Convert>
void convertRows(const Image& image, Frame& frame, Convert convert) {
  const auto n = static_cast<size_t>(image.components);
  std::uint16_t* out = frame.pixels.data();
  for (std::int32_t i = 0; i < frame.height; ++i) {
    const T* in = reinterpret_cast<const T*>(row(image, image.bounds.y1 + frame.height - 1 - i));
    for (std::int32_t x = 0; x < frame.width; ++x, in += n) {
      *out++ = convert(in[0]);
      *out++ = convert(in[1]);
      *out++ = convert(in[2]);
    }
  }
}

// Two blocks cover the steady state: the render thread allocates the next picture
// while the worker frees the one before. Small blocks are not worth keeping.
constexpr std::size_t kCachedBlocks = 2;
constexpr std::size_t kSmallestCachedBytes = std::size_t{1} << 20;

struct BlockCache {
  std::mutex mutex;
  std::array<std::pair<void*, std::size_t>, kCachedBlocks> blocks{};
  ~BlockCache() {
    for (auto& slot : blocks) ::operator delete(slot.first);
  }
};
BlockCache& blockCache() {
  static BlockCache cache;
  return cache;
}

// Same result as sample(): a float times 65535 is exact in a double, so +0.5 rounds halves up.
std::uint16_t floatSample(float v) {
  if (!(v > 0.0f)) return 0;  // negatives, zero and NaN
  if (v >= 1.0f) return std::isinf(v) ? 0 : 65535;  // infinity counts as no value
  return static_cast<std::uint16_t>(static_cast<double>(v) * 65535.0 + 0.5);
}

}  // namespace

void* allocateSamples(std::size_t bytes) {
  if (bytes >= kSmallestCachedBytes) {
    BlockCache& cache = blockCache();
    std::lock_guard lock(cache.mutex);
    for (auto& slot : cache.blocks) {
      if (slot.first != nullptr && slot.second == bytes) return std::exchange(slot.first, nullptr);
    }
  }
  return ::operator new(bytes);
}

void releaseSamples(void* block, std::size_t bytes) noexcept {
  if (block == nullptr || bytes < kSmallestCachedBytes) {
    ::operator delete(block);
    return;
  }
  BlockCache& cache = blockCache();
  std::lock_guard lock(cache.mutex);
  // An empty slot if there is one; otherwise the first block gives way to the newest.
  auto* slot = &cache.blocks[0];
  for (auto& candidate : cache.blocks) {
    if (candidate.first == nullptr) {
      slot = &candidate;
      break;
    }
  }
  ::operator delete(std::exchange(slot->first, block));
  slot->second = bytes;
}

std::size_t pixelBytes(const Image& image) {
  if (image.data == nullptr || (image.components != 3 && image.components != 4) ||
      image.bounds.x2 <= image.bounds.x1 || image.bounds.y2 <= image.bounds.y1)
    throw std::runtime_error("Unsupported image geometry");
  const std::size_t component = image.depth == 0 ? 1 : image.depth == 3 ? 4 : 2;
  const std::size_t size = static_cast<std::size_t>(image.components) * component;
  const auto width = static_cast<std::int64_t>(image.bounds.x2) - image.bounds.x1;
  if (width * static_cast<std::int64_t>(size) > std::abs(static_cast<std::int64_t>(image.rowBytes)))
    throw std::runtime_error("Invalid image row stride");
  return size;
}

void copyImage(const Image& source, const Image& output, Rect window) {
  const std::size_t size = pixelBytes(source);
  if (size != pixelBytes(output) || source.depth != output.depth || source.components != output.components)
    throw std::runtime_error("Source and output formats differ");
  const std::int32_t left = std::max(window.x1, output.bounds.x1), right = std::min(window.x2, output.bounds.x2);
  const std::int32_t bottom = std::max(window.y1, output.bounds.y1), top = std::min(window.y2, output.bounds.y2);
  if (right <= left || top <= bottom) return;
  if (source.data == output.data && source.rowBytes == output.rowBytes && source.bounds.x1 == output.bounds.x1 &&
      source.bounds.y1 == output.bounds.y1)
    return;
  const std::int32_t sl = std::max(left, source.bounds.x1), sr = std::min(right, source.bounds.x2);
  for (std::int32_t y = bottom; y < top; ++y) {
    auto* out = const_cast<std::uint8_t*>(row(output, y)) + static_cast<std::size_t>(left - output.bounds.x1) * size;
    if (y >= source.bounds.y1 && y < source.bounds.y2 && sr > sl) {
      // Clear only around the copied span: one pass over each byte.
      const std::size_t before = static_cast<std::size_t>(sl - left) * size;
      const std::size_t span = static_cast<std::size_t>(sr - sl) * size;
      std::memset(out, 0, before);
      std::memcpy(out + before, row(source, y) + static_cast<std::size_t>(sl - source.bounds.x1) * size, span);
      std::memset(out + before + span, 0, static_cast<std::size_t>(right - sr) * size);
    } else {
      std::memset(out, 0, static_cast<std::size_t>(right - left) * size);
    }
  }
}

Frame capture(const Image& image, double time) {
  pixelBytes(image);
  Frame frame;
  frame.width = image.bounds.x2 - image.bounds.x1;
  frame.height = image.bounds.y2 - image.bounds.y1;
  frame.time = time;
  if (frame.width > 8192 || frame.height > 8192 ||
      static_cast<std::int64_t>(frame.width) * frame.height > 33554432)
    throw std::runtime_error("Sender image exceeds 32 megapixels");
  frame.pixels.resize(static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height) * 3);
  switch (image.depth) {
    case 0: {
      const auto& lut = tables().byte;
      convertRows<std::uint8_t>(image, frame, [&](std::uint8_t v) { return lut[v]; });
      break;
    }
    case 1:
      convertRows<std::uint16_t>(image, frame, [](std::uint16_t v) { return v; });
      break;
    case 3:
      convertRows<float>(image, frame, floatSample);
      break;
    default: {
      const auto& lut = tables().half;
      convertRows<std::uint16_t>(image, frame, [&](std::uint16_t v) { return lut[v]; });
      break;
    }
  }
  return frame;
}

}  // namespace vl
