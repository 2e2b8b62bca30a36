#pragma once
// vl::Encoder on Linux: NVIDIA's hardware encoders when the driver and a GPU with an
// encoder are there, otherwise libx264 (H.264 High) and libx265 (HEVC Main 10).
#include "Core/Encoder.h"

#include <memory>
#include <string>
#include <vector>

namespace vl {

// The encoders makeEncoder tries for the codec, hardware first.
std::vector<std::string> encoderNames(bool hevc);

// Rate control: peak rate as a share of the bitrate, VBV buffer in seconds at the peak
// rate, and the encoder's own parameters on top (":key=value:key=value").
struct RateControl {
  double peakShare;
  double bufferSeconds;
  std::string params;
};

// What each encoder runs with: every one-second window under the bitrate, the average
// as close to it as measured safe (bench/EncoderBench.cpp, docs/encoder-rate.md).
RateControl rateControlFor(const std::string& encoderName);

// Opens exactly the named encoder. Throws "Hardware encoder unavailable (status)" when
// a GPU encoder is missing or cannot open, and a sentence naming the software encoder
// and the picture it refused otherwise.
std::unique_ptr<Encoder> makeNamedEncoder(const std::string& encoderName, int width, int height,
                                          const Settings& settings, EncodedOutput output);
std::unique_ptr<Encoder> makeNamedEncoder(const std::string& encoderName, int width, int height,
                                          const Settings& settings, EncodedOutput output, const RateControl& rate);

// Pictures between keyframes: at most ceil(fps x keyframeSeconds), and at least 1.
int keyframeInterval(double fps, double keyframeSeconds);

}  // namespace vl
