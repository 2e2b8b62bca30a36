#pragma once
// What every Linux encoder shares: its set-up, keyframes forced by time, the colour
// signalling, the refusal sentence and the hand-over of each access unit.
#include "Core/Bitstream.h"
#include "Core/YCbCr.h"
#include "Linux/Encoders.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl {

struct EncoderSetup {
  std::string name;
  int width = 0, height = 0;
  Settings settings;
  RateControl rate;
  EncodedOutput output;

  int keyint() const { return keyframeInterval(settings.fps, settings.keyframeSeconds); }
  double peakKbps() const { return settings.bitrateKbps * rate.peakShare; }
  double bufferKbit() const { return peakKbps() * rate.bufferSeconds; }
};

std::unique_ptr<Encoder> makeX264Encoder(const EncoderSetup& setup);
std::unique_ptr<Encoder> makeX265Encoder(const EncoderSetup& setup);
std::unique_ptr<Encoder> makeNvEncoder(const EncoderSetup& setup);

// "<name> refused WxH pictures at N kbit/s: <reason>."
[[noreturn]] void refuse(const EncoderSetup& setup, const std::string& reason);
// Throws when a picture does not have the size the encoder was opened for.
void checkPictureSize(const EncoderSetup& setup, const Frame& frame);

// The VUI code values, alike in H.264 and HEVC.
struct ColourCodes {
  int primaries, transfer, matrix;
};
ColourCodes colourCodes(int color);
// The conversion averages 2x2 blocks, so chroma sits at the block's centre.
constexpr int kChromaLocationCentre = 1;

// "key=value" pairs of a parameter string such as ":crf=8:aq-mode=1", in order.
std::vector<std::pair<std::string, std::string>> parameterPairs(const std::string& params);

// Pictures in fps as a ratio for the encoders' rate control (29.97 as 30000/1001).
struct Rate {
  int num, den;
};
Rate frameRate(double fps);

// The encoders count pictures, which drift apart in time when the worker skips: a keyframe
// is due when even the very next picture would come too late.
class KeyframeClock {
public:
  explicit KeyframeClock(const Settings& settings);
  bool due(std::int64_t pts90k) const { return !last90k_ || pts90k + step90k_ > deadline90k(); }
  std::int64_t deadline90k() const;
  void sent(bool keyframe, std::int64_t pts90k) {
    if (keyframe) last90k_ = pts90k;
  }

private:
  std::int64_t keyframe90k_;  // keyframeSeconds in 90 kHz ticks
  std::int64_t step90k_;      // the longest step between two consecutive pictures' time stamps
  std::optional<std::int64_t> last90k_;
};

// Planes the conversion writes and a software encoder reads, allocated once.
struct PictureBuffer {
  PictureBuffer(PlaneLayout layout, int width, int height);
  std::vector<std::uint8_t> bytes;
  Planes planes;
};

// Reshapes one access unit from the encoder for the muxer and hands it on.
void deliver(Codec codec, ByteSpan annexB, bool keyframe, std::int64_t pts90k, ParameterSets& parameterSets,
             KeyframeClock& clock, const EncodedOutput& output);

}  // namespace vl
