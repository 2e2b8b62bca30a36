#pragma once
// Frame deadlines of a timeline, counted from the start of play.
#include "Options.h"

#include <cstdint>

namespace vl::host {

// Exact for every rate the options accept (1 to 1000 frames per second) and for
// timelines of up to 10^10 frames: deadlines never drift from the rate.
std::int64_t frameOffsetUs(std::int64_t frame, Rate rate);

}  // namespace vl::host
