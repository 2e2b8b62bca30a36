#include "Transport/Muxer.h"

#include <gtest/gtest.h>

#include <string>

namespace vl {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPacket = 188;
constexpr std::size_t kTables = 2 * kPacket;

Bytes packet(const Bytes& burst, std::size_t index) {
  return Bytes(burst.begin() + static_cast<std::ptrdiff_t>(index * kPacket),
               burst.begin() + static_cast<std::ptrdiff_t>((index + 1) * kPacket));
}

// A PSI packet as the standard lays it out: header, pointer field, section, stuffing.
Bytes psiPacket(Bytes header, const Bytes& section) {
  header.push_back(0x00);
  header.insert(header.end(), section.begin(), section.end());
  header.resize(kPacket, 0xFF);
  return header;
}

Bytes counting(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return out;
}

// Payloads of the video packets joined, read back by the header fields alone.
Bytes videoPayload(const Bytes& burst) {
  Bytes pes;
  for (std::size_t i = 2; i < burst.size() / kPacket; ++i) {
    const Bytes p = packet(burst, i);
    std::size_t start = 4;
    if (p[3] & 0x20) start = 5 + p[4];
    pes.insert(pes.end(), p.begin() + static_cast<std::ptrdiff_t>(start), p.end());
  }
  return pes;
}

TEST(MuxerTables, PatAndPmtForBothCodecsWithTheirCrc) {
  const Bytes pat = psiPacket({0x47, 0x40, 0x00, 0x10}, {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00,
                                                       0x01, 0xF0, 0x00, 0x2A, 0xB1, 0x04, 0xB2});
  for (auto [hevc, type, crc] : {std::tuple{false, 0x1B, Bytes{0x15, 0xBD, 0x4D, 0x56}},
                                 std::tuple{true, 0x24, Bytes{0x2F, 0x00, 0x6E, 0xE7}}}) {
    Bytes section{0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0x00,
                  static_cast<std::uint8_t>(type), 0xE1, 0x00, 0xF0, 0x00};
    section.insert(section.end(), crc.begin(), crc.end());
    const Bytes burst = Muxer(hevc).packetize({1, 2, 3}, false, 0);
    EXPECT_EQ(packet(burst, 0), pat) << hevc;
    EXPECT_EQ(packet(burst, 1), psiPacket({0x47, 0x50, 0x00, 0x10}, section)) << hevc;
  }
}

TEST(MuxerCounters, AdvancePerPidAndWrap) {
  Muxer muxer(false);
  const Bytes threePackets = counting(176 + 184 + 10 - 20);  // PES of 370 bytes
  for (int call = 0; call < 40; ++call) {
    const Bytes burst = muxer.packetize(threePackets, call == 0, call * 3000);
    ASSERT_EQ(burst.size(), 5 * kPacket);
    EXPECT_EQ(burst[3] & 0x0F, call % 16) << "PAT, call " << call;
    EXPECT_EQ(burst[kPacket + 3] & 0x0F, call % 16) << "PMT, call " << call;
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(burst[(2 + i) * kPacket + 3] & 0x0F, (call * 3 + i) % 16) << "video, call " << call;
  }
  // A fresh muxer starts over.
  Muxer again(false);
  const Bytes burst = again.packetize({}, false, 0);
  EXPECT_EQ(burst[3], 0x10);
  EXPECT_EQ(burst[kPacket + 3], 0x10);
  EXPECT_EQ(burst[2 * kPacket + 3], 0x30);
}

// Only the low 33 bits of time are written: the time below is 0x123456789 with high bits set.
TEST(MuxerPes, FirstPacketLayoutWithPtsAndPcr) {
  Muxer muxer(false);
  const std::int64_t pts = 0x123456789 + (std::int64_t{1} << 33) * 5;
  const Bytes au{0xAA, 0xBB, 0xCC};
  const Bytes burst = muxer.packetize(au, true, pts);
  ASSERT_EQ(burst.size(), 3 * kPacket);
  const Bytes pes{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05, 0x29, 0x8D, 0x15, 0xCF, 0x13,
                  0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0xAA, 0xBB, 0xCC};
  Bytes want{0x47, 0x41, 0x00, 0x30, static_cast<std::uint8_t>(183 - pes.size()), 0x50,
             0x91, 0xA2, 0xB3, 0xC4, 0xFE, 0x00};
  want.resize(kPacket - pes.size(), 0xFF);
  want.insert(want.end(), pes.begin(), pes.end());
  EXPECT_EQ(packet(burst, 2), want);

  // Any other picture carries the PCR alone; -1 is the largest 33-bit value, every bit set.
  const Bytes other = packet(muxer.packetize(au, false, -1), 2);
  EXPECT_EQ(other[3], 0x31);
  EXPECT_EQ(other[5], 0x10);
  EXPECT_EQ(Bytes(other.begin() + 6, other.begin() + 12), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x00}));
  EXPECT_EQ(Bytes(other.end() - 14, other.end() - 9), (Bytes{0x2F, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(MuxerPes, EverySizeReassemblesAndMatchesThePacketCount) {
  for (bool hevc : {false, true}) {
    Muxer muxer(hevc);
    const std::size_t head = hevc ? 21 : 20;
    const Bytes delimiter = hevc ? Bytes{0, 0, 0, 1, 0x46, 0x01, 0x50} : Bytes{0, 0, 0, 1, 0x09, 0xF0};
    for (std::size_t size = 0; size < 1200; ++size) {
      const Bytes au = counting(size);
      const bool keyframe = size % 3 == 0;
      const Bytes burst = muxer.packetize(au, keyframe, static_cast<std::int64_t>(size) * 1500);
      const std::size_t pesBytes = head + size;
      const std::size_t k = pesBytes <= 176 ? 1 : 1 + (pesBytes - 176 + 183) / 184;
      ASSERT_EQ(burst.size(), 188 * (2 + k)) << size;
      for (std::size_t i = 0; i < burst.size() / kPacket; ++i) ASSERT_EQ(burst[i * kPacket], 0x47);
      const Bytes pes = videoPayload(burst);
      ASSERT_EQ(pes.size(), pesBytes) << size;
      ASSERT_EQ(Bytes(pes.begin() + static_cast<std::ptrdiff_t>(head), pes.end()), au) << size;
      // PES start, then the delimiter right before the access unit.
      ASSERT_EQ(Bytes(pes.begin(), pes.begin() + 6), (Bytes{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00}));
      ASSERT_EQ(Bytes(pes.begin() + static_cast<std::ptrdiff_t>(head - delimiter.size()), pes.begin() + static_cast<std::ptrdiff_t>(head)), delimiter);
      // Flags and PCR only in the first video packet.
      ASSERT_EQ(burst[2 * kPacket + 5], keyframe ? 0x50 : 0x10);
      for (std::size_t i = 3; i < burst.size() / kPacket; ++i) {
        const Bytes p = packet(burst, i);
        ASSERT_EQ(p[1], 0x01);
        // Any adaptation field here is flags 0 and stuffing.
        if ((p[3] & 0x20) && p[4] > 0) {
          ASSERT_EQ(p[5], 0x00) << size;
          for (std::size_t j = 6; j < 5u + p[4]; ++j) ASSERT_EQ(p[j], 0xFF) << size;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vl
