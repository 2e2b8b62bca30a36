#include "Core/Image.h"

#include "Core/Convert.h"

#include <algorithm>
#include <array>
#include <cstdlib>
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

// The k-th row by address: the prefetcher follows rising addresses far better, and
// going down a bottom-up picture would halve the conversion's speed.
std::int32_t rowInMemoryOrder(const Image& image, std::int32_t k) {
  return image.rowBytes >= 0 ? image.bounds.y1 + k : image.bounds.y2 - 1 - k;
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

namespace {

// Where copyImage writes: the window clipped to the output, and the source's span in it.
struct CopyPlan {
  const Image* source;
  const Image* output;
  std::size_t size = 0;
  std::int32_t left = 0, right = 0, bottom = 0, top = 0, sl = 0, sr = 0;
  bool copies = false;
};

CopyPlan copyPlan(const Image& source, const Image& output, Rect window) {
  CopyPlan plan{&source, &output};
  plan.size = pixelBytes(source);
  if (plan.size != pixelBytes(output) || source.depth != output.depth || source.components != output.components)
    throw std::runtime_error("Source and output formats differ");
  plan.left = std::max(window.x1, output.bounds.x1), plan.right = std::min(window.x2, output.bounds.x2);
  plan.bottom = std::max(window.y1, output.bounds.y1), plan.top = std::min(window.y2, output.bounds.y2);
  plan.sl = std::max(plan.left, source.bounds.x1), plan.sr = std::min(plan.right, source.bounds.x2);
  const bool inPlace = source.data == output.data && source.rowBytes == output.rowBytes &&
                       source.bounds.x1 == output.bounds.x1 && source.bounds.y1 == output.bounds.y1;
  plan.copies = plan.right > plan.left && plan.top > plan.bottom && !inPlace;
  return plan;
}

void copyRow(const CopyPlan& p, std::int32_t y) {
  const std::size_t size = p.size;
  auto* out = const_cast<std::uint8_t*>(row(*p.output, y)) +
              static_cast<std::size_t>(p.left - p.output->bounds.x1) * size;
  if (y >= p.source->bounds.y1 && y < p.source->bounds.y2 && p.sr > p.sl) {
    // Clear only around the copied span: one pass over each byte.
    const std::size_t before = static_cast<std::size_t>(p.sl - p.left) * size;
    const std::size_t span = static_cast<std::size_t>(p.sr - p.sl) * size;
    std::memset(out, 0, before);
    std::memcpy(out + before, row(*p.source, y) + static_cast<std::size_t>(p.sl - p.source->bounds.x1) * size, span);
    std::memset(out + before + span, 0, static_cast<std::size_t>(p.right - p.sr) * size);
  } else {
    std::memset(out, 0, static_cast<std::size_t>(p.right - p.left) * size);
  }
}

}  // namespace

void copyImage(const Image& source, const Image& output, Rect window) {
  const CopyPlan plan = copyPlan(source, output, window);
  if (!plan.copies) return;
  for (std::int32_t y = plan.bottom; y < plan.top; ++y) copyRow(plan, y);
}

Frame frameFor(const Image& image, double time) {
  pixelBytes(image);
  Frame frame;
  frame.width = image.bounds.x2 - image.bounds.x1;
  frame.height = image.bounds.y2 - image.bounds.y1;
  frame.time = time;
  if (frame.width > 8192 || frame.height > 8192 ||
      static_cast<std::int64_t>(frame.width) * frame.height > 33554432)
    throw std::runtime_error("Sender image exceeds 32 megapixels");
  frame.pixels.resize(static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height) * 3);
  return frame;
}

void copyAndCapture(const Image& source, const Image& output, Rect window, Frame& frame) {
  const CopyPlan plan = copyPlan(source, output, window);
  if (frame.width != source.bounds.x2 - source.bounds.x1 || frame.height != source.bounds.y2 - source.bounds.y1 ||
      frame.pixels.size() != static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height) * 3)
    throw std::runtime_error("The frame does not fit the source image.");
  const RowConverter convert = rowConverter(source.depth, source.components);
  const std::size_t samplesPerRow = static_cast<std::size_t>(frame.width) * 3;
  // Output rows the source does not reach are only cleared.
  if (plan.copies)
    for (std::int32_t y = plan.bottom; y < plan.top; ++y)
      if (y < source.bounds.y1 || y >= source.bounds.y2) copyRow(plan, y);
  // Where the window takes whole source rows, the converter copies them as it reads them.
  const bool wholeRows = plan.left == source.bounds.x1 && plan.right == source.bounds.x2;
  for (std::int32_t k = 0; k < frame.height; ++k) {
    const std::int32_t y = rowInMemoryOrder(source, k), i = source.bounds.y2 - 1 - y;
    void* copy = nullptr;
    if (plan.copies && y >= plan.bottom && y < plan.top) {
      if (wholeRows)
        copy = const_cast<std::uint8_t*>(row(output, y)) +
               static_cast<std::size_t>(plan.left - output.bounds.x1) * plan.size;
      else
        copyRow(plan, y);
    }
    convert(row(source, y), frame.pixels.data() + static_cast<std::size_t>(i) * samplesPerRow, frame.width, copy);
  }
}

Frame capture(const Image& image, double time) {
  Frame frame = frameFor(image, time);
  const RowConverter convert = rowConverter(image.depth, image.components);
  const std::size_t samplesPerRow = static_cast<std::size_t>(frame.width) * 3;
  for (std::int32_t k = 0; k < frame.height; ++k) {
    const std::int32_t y = rowInMemoryOrder(image, k), i = image.bounds.y2 - 1 - y;
    convert(row(image, y), frame.pixels.data() + static_cast<std::size_t>(i) * samplesPerRow, frame.width, nullptr);
  }
  return frame;
}

}  // namespace vl
