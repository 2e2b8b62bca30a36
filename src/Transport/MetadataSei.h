#pragma once
// The SEI NAL unit (Annex B, with start code) that goes in front of every keyframe.
#include "Core/Settings.h"

#include <cstdint>
#include <vector>

namespace vl {

std::vector<std::uint8_t> metadataSEI(const Settings& settings, bool hevc);

// Appends a 32-bit value, high byte first.
void be32(std::vector<std::uint8_t>& out, std::uint32_t value);

}  // namespace vl
