#pragma once
// Host pixels as OpenFX lays them out, and the owned 16-bit picture the sender takes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace vl {

struct Rect {
  std::int32_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // lower bounds inclusive, upper exclusive
};

struct Image {
  const void* data = nullptr;  // the bottom-left pixel; not owned
  Rect bounds;
  std::int32_t rowBytes = 0;   // to the next row up; may be negative
  std::int32_t components = 4;  // 4 RGBA or 3 RGB
  std::int32_t depth = 3;       // 0 uint8, 1 uint16, 2 half, 3 float
};

// Picture-sized blocks come back from a small cache of recently freed ones, so a
// streamed frame lands on pages that are already mapped (fresh pages fault one by one).
void* allocateSamples(std::size_t bytes);
void releaseSamples(void* block, std::size_t bytes) noexcept;

// Leaves samples uninitialised on resize: capture writes every one of them,
// and zero-filling a 4K frame first would double the render thread's work.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  using std::allocator<T>::allocator;
  T* allocate(std::size_t n) { return static_cast<T*>(allocateSamples(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { releaseSamples(p, n * sizeof(T)); }
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using Samples = std::vector<std::uint16_t, UninitializedAllocator<std::uint16_t>>;

struct Frame {
  std::int32_t width = 0;
  std::int32_t height = 0;
  double time = 0.0;
  Samples pixels;  // RGB, top row first, no padding
};

std::size_t pixelBytes(const Image& image);
// Copies source into output over the window clipped to the output; what the
// source does not cover inside it becomes transparent black.
void copyImage(const Image& source, const Image& output, Rect window);
Frame capture(const Image& image, double time);
// capture's checks and its frame, with the samples not yet written.
Frame frameFor(const Image& image, double time);
// copyImage and then capture into a frame from frameFor(source), with one pass over
// the source; copyImage's errors are thrown before anything is written.
void copyAndCapture(const Image& source, const Image& output, Rect window, Frame& frame);

}  // namespace vl
