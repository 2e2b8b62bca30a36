#include "Linux/EncoderParts.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace vl {

void refuse(const EncoderSetup& setup, const std::string& reason) {
  throw std::runtime_error(setup.name + " refused " + std::to_string(setup.width) + "x" +
                           std::to_string(setup.height) + " pictures at " +
                           std::to_string(setup.settings.bitrateKbps) + " kbit/s: " + reason + ".");
}

void checkPictureSize(const EncoderSetup& setup, const Frame& frame) {
  if (frame.width != setup.width || frame.height != setup.height)
    throw std::runtime_error("The picture size differs from the encoder's.");
}

ColourCodes colourCodes(int color) {
  if (color == 1) return {9, 16, 9};  // Rec. 2020, PQ
  if (color == 2) return {9, 18, 9};  // Rec. 2020, HLG
  return {1, 1, 1};                   // Rec. 709
}

std::vector<std::pair<std::string, std::string>> parameterPairs(const std::string& params) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::istringstream in(params);
  for (std::string item; std::getline(in, item, ':');) {
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    if (equals == std::string::npos) pairs.emplace_back(item, "1");
    else pairs.emplace_back(item.substr(0, equals), item.substr(equals + 1));
  }
  return pairs;
}

Rate frameRate(double fps) {
  // NTSC rates are exact over 1001; everything else is close enough over 1000.
  const double ntsc = fps * 1001.0 / 1000.0;
  if (std::abs(ntsc - std::round(ntsc)) < 1e-3) return {static_cast<int>(std::lround(ntsc)) * 1000, 1001};
  return {static_cast<int>(std::lround(fps * 1000.0)), 1000};
}

KeyframeClock::KeyframeClock(const Settings& settings)
    : keyframe90k_(std::llround(settings.keyframeSeconds * 90000.0)),
      step90k_(static_cast<std::int64_t>(std::ceil(90000.0 / settings.fps - 1e-9))) {}

std::int64_t KeyframeClock::deadline90k() const {
  return last90k_ ? *last90k_ + keyframe90k_ : std::numeric_limits<std::int64_t>::max();
}

PictureBuffer::PictureBuffer(PlaneLayout layout, int width, int height) {
  const std::size_t sample = isTenBit(layout) ? 2 : 1;
  const std::size_t lumaRow = static_cast<std::size_t>(width) * sample;
  const std::size_t luma = lumaRow * static_cast<std::size_t>(height);
  bytes.resize(luma + luma / 2);
  planes.data[0] = bytes.data();
  planes.bytesPerRow[0] = static_cast<std::ptrdiff_t>(lumaRow);
  planes.data[1] = bytes.data() + luma;
  if (layout == PlaneLayout::nv12 || layout == PlaneLayout::p010) {
    planes.bytesPerRow[1] = static_cast<std::ptrdiff_t>(lumaRow);
  } else {
    planes.bytesPerRow[1] = planes.bytesPerRow[2] = static_cast<std::ptrdiff_t>(lumaRow / 2);
    planes.data[2] = planes.data[1] + luma / 4;
  }
}

void deliver(Codec codec, ByteSpan annexB, bool keyframe, std::int64_t pts90k, ParameterSets& parameterSets,
             KeyframeClock& clock, const EncodedOutput& output) {
  const AccessUnit unit = reshapeAccessUnit(codec, annexB, keyframe, parameterSets);
  clock.sent(unit.keyframe, pts90k);
  output(unit.bytes, unit.keyframe, pts90k);
}

}  // namespace vl
