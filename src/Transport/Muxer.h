#pragma once
// MPEG-TS for one video elementary stream: PAT and PMT before every keyframe,
// PCR on the first packet of every access unit.
#include <cstdint>
#include <vector>

namespace vl {

class Muxer {
public:
  explicit Muxer(bool hevc);
  // The burst of 188-byte packets for one Annex B access unit. Only the low 33
  // bits of the 90 kHz time are written.
  std::vector<std::uint8_t> packetize(const std::vector<std::uint8_t>& accessUnit, bool keyframe,
                                      std::int64_t pts90k);

private:
  void tables(std::vector<std::uint8_t>& out);

  bool hevc_;
  std::uint8_t patCounter_ = 0;
  std::uint8_t pmtCounter_ = 0;
  std::uint8_t videoCounter_ = 0;
};

}  // namespace vl
