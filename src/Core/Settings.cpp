#include "Core/Settings.h"

#include "Api/Api.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vl {

bool Settings::operator==(const Settings& o) const {
  // Fixed field order: the sender compares on every render and stops at the first difference.
  return apiBase == o.apiBase && viewerId == o.viewerId && bitrateKbps == o.bitrateKbps &&
         latencyMs == o.latencyMs && keyframeSeconds == o.keyframeSeconds && fps == o.fps && color == o.color &&
         hevc == o.hevc && maxCLL == o.maxCLL && maxFALL == o.maxFALL && masteringMin == o.masteringMin &&
         masteringMax == o.masteringMax && metadata == o.metadata &&
         streamLabel == o.streamLabel;
}

namespace {

struct Preset {
  double defaultMbit;
  double limitFraction;
};
constexpr Preset kPresets[] = {{4.0, 0.25}, {8.0, 0.5}, {16.0, 0.9}};

bool validLimit(double limitMbit) { return std::isfinite(limitMbit) && limitMbit >= 0.0; }

bool within(double value, double low, double high) {
  return std::isfinite(value) && value >= low && value <= high;
}

bool validHdr(const Settings& s) {
  return s.maxCLL >= 0 && s.maxCLL <= 65535 && s.maxFALL >= 0 && s.maxFALL <= s.maxCLL &&
         std::isfinite(s.masteringMin) && std::isfinite(s.masteringMax) && s.masteringMin >= 0.0 &&
         s.masteringMin < s.masteringMax && within(s.masteringMax, 1.0, 10000.0);
}

void fail(const char* message) { throw std::runtime_error(message); }

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

void validate(const Settings& s) {
  Api::validateBase(s.apiBase);
  if (s.viewerId.empty()) fail("Sign in and choose a veltrane stream");
  if (s.bitrateKbps < 250 || s.bitrateKbps > 200000 || !within(s.fps, 1.0, 120.0) ||
      s.latencyMs < 20 || s.latencyMs > 2000)
    fail("Bitrate, frame rate or latency is out of range");
  if (!within(s.keyframeSeconds, 0.1, 5.0)) fail("Keyframe interval must be between 0.1 and 5 seconds");
  if (s.color < 0 || s.color > 2) fail("Invalid signal format");
  if (s.color != 0 && !s.hevc) fail("HDR requires HEVC Main10");
  if (s.color != 0 && !validHdr(s)) fail("Invalid HDR mastering or light-level metadata");
  if (s.metadata.size() > 4096) fail("Custom JSON metadata exceeds 4096 bytes");
  const auto parsed = nlohmann::json::parse(s.metadata, nullptr, false, false);
  if (parsed.is_discarded() || !parsed.is_object()) fail("Custom metadata must be a valid JSON object");
}

}  // namespace vl
