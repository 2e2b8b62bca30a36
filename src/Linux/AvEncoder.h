#pragma once
// vl::Encoder over libavcodec: the NVIDIA hardware encoders when a GPU is there,
// otherwise libx264 (H.264 High) and libx265 (HEVC Main 10).
#include "Core/Encoder.h"

#include <memory>
#include <string>
#include <vector>

namespace vl {

// The libavcodec encoders makeEncoder tries for the codec, hardware first.
std::vector<std::string> encoderNames(bool hevc);

// Opens exactly the named encoder. Throws "Hardware encoder unavailable (status)"
// when libavcodec has no such encoder or cannot open it.
std::unique_ptr<Encoder> makeAvEncoder(const std::string& codecName, int width, int height, const Settings& settings,
                                       EncodedOutput output);

// Pictures between keyframes: no more than fps x keyframeSeconds, and at least 1.
int keyframeInterval(double fps, double keyframeSeconds);

}  // namespace vl
