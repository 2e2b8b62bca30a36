#include "Core/Settings.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vl {

bool Settings::operator==(const Settings& o) const {
  // Fixed field order: the sender compares on every render and stops at the first difference.
  return apiBase == o.apiBase && viewerId == o.viewerId && bitrateKbps == o.bitrateKbps &&
         latencyMs == o.latencyMs && keyframeSeconds == o.keyframeSeconds && fps == o.fps && color == o.color &&
         hevc == o.hevc && maxCLL == o.maxCLL && maxFALL == o.maxFALL && masteringMin == o.masteringMin &&
         masteringMax == o.masteringMax && metadata == o.metadata;
}

namespace {

struct Preset {
  double defaultMbit;
  double limitFraction;
};
constexpr Preset kPresets[] = {{4.0, 0.25}, {8.0, 0.5}, {16.0, 0.9}};

bool validLimit(double limitMbit) { return std::isfinite(limitMbit) && limitMbit >= 0.0; }

}  // namespace

int selectedBitrateKbps(int preset, bool custom, double customMbit, double limitMbit) {
  if (preset < 0 || preset > 2) throw std::runtime_error("Invalid video bitrate");
  double mbit = 0.0;
  if (custom) {
    if (!std::isfinite(customMbit) || customMbit < 0.25 || customMbit > 200.0)
      throw std::runtime_error("Invalid video bitrate");
    if (!validLimit(limitMbit)) throw std::runtime_error("Invalid account bitrate limit");
    mbit = customMbit;  // the stream's own limit is checked before sending
  } else {
    if (!validLimit(limitMbit)) throw std::runtime_error("Invalid account bitrate limit");
    const Preset& p = kPresets[preset];
    mbit = limitMbit > 0.0 ? std::min(limitMbit * p.limitFraction, p.defaultMbit) : p.defaultMbit;
  }
  return static_cast<int>(std::lround(std::max(mbit, 0.25) * 1000.0));
}

}  // namespace vl
