#pragma once
// MPEG-TS for one video elementary stream: PAT and PMT at the start of every
// burst, PCR on the first packet of every access unit.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vl {

// CRC-32/MPEG-2 of PSI sections (no reflection, no final XOR).
std::uint32_t crc32Mpeg2(const std::uint8_t* data, std::size_t size);

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
