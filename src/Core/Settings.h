#pragma once
// One streaming configuration, as read from the panel.
#include "Core/Defaults.h"

#include <cstdint>
#include <string>

namespace vl {

struct Settings {
  std::string apiBase = kDefaultApiBase;
  std::string viewerId;
  std::int32_t bitrateKbps = 8000;
  std::int32_t latencyMs = 60;
  double fps = 25.0;
  double keyframeSeconds = 1.0;
  std::int32_t color = 0;  // 0 SDR Rec.709, 1 HDR PQ, 2 HDR HLG
  bool hevc = false;
  std::int32_t maxCLL = 1000;
  std::int32_t maxFALL = 400;
  double masteringMin = 0.005;
  double masteringMax = 1000.0;
  std::string metadata = "{}";
  std::string streamLabel;  // the chosen stream's name, for messages only

  bool operator==(const Settings& other) const;
};

// Target bitrate in kbit/s from the quality preset, the custom switch and the
// account limit (Mbit/s, 0 = none known).
int selectedBitrateKbps(int preset, bool custom, double customMbit, double limitMbit);

// Throws a user-facing sentence when the record cannot be streamed; checks run in a
// fixed order and the first failure wins.
void validate(const Settings& settings);

}  // namespace vl
