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

// Rate control: peak rate as a share of the bitrate, VBV buffer in seconds at the peak
// rate, and parameters appended to libx264's or libx265's own (":key=value").
struct RateControl {
  double peakShare;
  double bufferSeconds;
  std::string params;
};

// What each encoder runs with: every one-second window under the bitrate, the average
// as close to it as measured safe (bench/EncoderBench.cpp, docs/encoder-rate.md).
RateControl rateControlFor(const std::string& codecName);

// Opens exactly the named encoder. Throws "Hardware encoder unavailable (status)" when
// a GPU encoder is missing or cannot open, and a sentence naming the software encoder
// and the picture it refused otherwise.
std::unique_ptr<Encoder> makeAvEncoder(const std::string& codecName, int width, int height, const Settings& settings,
                                       EncodedOutput output);
std::unique_ptr<Encoder> makeAvEncoder(const std::string& codecName, int width, int height, const Settings& settings,
                                       EncodedOutput output, const RateControl& rate);

// Pictures between keyframes: at most ceil(fps x keyframeSeconds), and at least 1.
int keyframeInterval(double fps, double keyframeSeconds);

}  // namespace vl
