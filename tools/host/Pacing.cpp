#include "Pacing.h"

namespace vl::host {

std::int64_t frameOffsetUs(std::int64_t frame, Rate rate) {
  // floor(frame * den * 10^6 / num) in steps that stay inside 64 bits.
  const std::int64_t wholeCycles = frame / rate.num;  // rate.num frames take rate.den seconds
  const std::int64_t rest = (frame % rate.num) * rate.den;
  return wholeCycles * rate.den * 1'000'000 + (rest / rate.num) * 1'000'000 + (rest % rate.num) * 1'000'000 / rate.num;
}

}  // namespace vl::host
