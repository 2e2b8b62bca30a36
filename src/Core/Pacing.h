#pragma once
// Frame-rate arithmetic of the sending loop. Everything counts from the session
// start, so rounding never accumulates into drift.
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vl {

// Presentation time of picture n in 90 kHz ticks, nearest (halves away from zero).
inline std::int64_t timestamp90k(std::uint64_t n, double fps) {
  return static_cast<std::int64_t>(std::llround(static_cast<double>(n) * 90000.0 / fps));
}

// When picture n is due, in microseconds after the session start.
inline std::int64_t deadlineMicros(std::uint64_t n, double fps) {
  return static_cast<std::int64_t>(std::trunc(static_cast<double>(n) * 1000000.0 / fps));
}

// After falling behind: the picture number that belongs to the present, so late
// pictures are skipped rather than sent in a burst.
inline std::uint64_t catchUp(std::uint64_t n, double elapsedSeconds, double fps) {
  const double m = std::trunc(std::max(0.0, elapsedSeconds) * fps);
  return std::max(n, static_cast<std::uint64_t>(m));
}

// The last picture whose time stamp is not after pts90k (0 for times before the start):
// skipping stops there so that picture can still carry a keyframe in time.
inline std::uint64_t lastPictureBy(std::int64_t pts90k, double fps) {
  if (pts90k <= 0) return 0;
  if (pts90k >= std::int64_t{1} << 53) return UINT64_MAX;  // no limit
  auto n = static_cast<std::uint64_t>(std::floor(static_cast<double>(pts90k) * fps / 90000.0));
  while (n > 0 && timestamp90k(n, fps) > pts90k) --n;
  while (timestamp90k(n + 1, fps) <= pts90k) ++n;
  return n;
}

}  // namespace vl
