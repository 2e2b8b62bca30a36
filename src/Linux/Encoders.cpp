#include "Linux/EncoderParts.h"

#include <cmath>
#include <stdexcept>

namespace vl {

int keyframeInterval(double fps, double keyframeSeconds) {
  // The tolerance keeps 0.3 x 10 at 3 pictures despite binary rounding.
  const double pictures = std::ceil(fps * keyframeSeconds - 1e-9);
  return pictures < 1 ? 1 : pictures > 1e6 ? 1000000 : static_cast<int>(pictures);
}

std::vector<std::string> encoderNames(bool hevc) {
  if (hevc) return {"hevc_nvenc", "libx265"};
  return {"h264_nvenc", "libx264"};
}

RateControl rateControlFor(const std::string& encoderName) {
  // peak x (1 s + buffer) stays under the cap, so VBV holds every one-second window whatever
  // the content. Under so short a buffer the encoders' average-rate mode starves (about 0.8 of
  // the bitrate); a quality target far above what the rate allows keeps them asking for more
  // than VBV lets through, so the average sits at the peak (docs/encoder-rate.md).
  if (encoderName == "libx264" || encoderName == "libx265") return {0.91, 0.09, ":crf=8"};
  // NVENC, not measured here: the same bound.
  return {0.9, 0.1, ""};
}

std::unique_ptr<Encoder> makeNamedEncoder(const std::string& encoderName, int width, int height,
                                          const Settings& settings, EncodedOutput output, const RateControl& rate) {
  const EncoderSetup setup{encoderName, width, height, settings, rate, std::move(output)};
  if (encoderName == "libx264") return makeX264Encoder(setup);
  if (encoderName == "libx265") return makeX265Encoder(setup);
  if (encoderName == "h264_nvenc" || encoderName == "hevc_nvenc") return makeNvEncoder(setup);
  throw std::runtime_error("There is no encoder named \"" + encoderName + "\".");
}

std::unique_ptr<Encoder> makeNamedEncoder(const std::string& encoderName, int width, int height,
                                          const Settings& settings, EncodedOutput output) {
  return makeNamedEncoder(encoderName, width, height, settings, std::move(output), rateControlFor(encoderName));
}

std::unique_ptr<Encoder> makeEncoder(int width, int height, const Settings& settings, EncodedOutput output) {
  const std::vector<std::string> names = encoderNames(settings.hevc);
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    try {
      return makeNamedEncoder(names[i], width, height, settings, output);
    } catch (const std::runtime_error&) {
      // No such GPU or driver here: the software encoder follows.
    }
  }
  return makeNamedEncoder(names.back(), width, height, settings, std::move(output));
}

}  // namespace vl
