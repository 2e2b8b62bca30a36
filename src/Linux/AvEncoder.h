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

// VBV of libx264 and libx265: peak rate as a share of the bitrate and buffer in seconds
// at the peak rate, plus option text appended to the encoder's own parameters (":k=v").
// The default keeps every one-second window under the bitrate; see docs/encoder-rate.md.
struct RateControl {
  double peakShare = 0.8;
  double bufferSeconds = 0.2;
  std::string extra264;
  std::string extra265;
};

// Opens exactly the named encoder. Throws "Hardware encoder unavailable (status)" when
// a GPU encoder is missing or cannot open, and a sentence naming the software encoder
// and the picture it refused otherwise.
std::unique_ptr<Encoder> makeAvEncoder(const std::string& codecName, int width, int height, const Settings& settings,
                                       EncodedOutput output, const RateControl& rate = {});

// Pictures between keyframes: at most ceil(fps x keyframeSeconds), and at least 1.
int keyframeInterval(double fps, double keyframeSeconds);

}  // namespace vl
