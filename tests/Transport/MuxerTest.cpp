#include "Transport/Muxer.h"

#include <gtest/gtest.h>

#include <string>

namespace vl {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPacket = 188;

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

// Payloads of the video packets joined, read back by the header fields alone.
Bytes videoPayload(const Bytes& burst) {
  Bytes pes;
  for (std::size_t i = 2; i < burst.size() / kPacket; ++i) {
    const Bytes p = packet(burst, i);
    const std::size_t start = p[3] & 0x20 ? 5 + p[4] : 4;
    pes.insert(pes.end(), p.begin() + static_cast<std::ptrdiff_t>(start), p.end());
  }
  return pes;
}

// libavformat reads tables with a wrong CRC, so the bytes are checked here.
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
  const Bytes threePackets(176 + 184 + 10 - 20, 0x5A);  // PES of 370 bytes
  for (int call = 0; call < 40; ++call) {
    const Bytes burst = muxer.packetize(threePackets, call == 0, call * 3000);
    ASSERT_EQ(burst.size(), 5 * kPacket);
    EXPECT_EQ(burst[3] & 0x0F, call % 16) << "PAT, call " << call;
    EXPECT_EQ(burst[kPacket + 3] & 0x0F, call % 16) << "PMT, call " << call;
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(burst[(2 + i) * kPacket + 3] & 0x0F, (call * 3 + i) % 16) << "video, call " << call;
  }
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

// Sizes that end a packet exactly and that spill one byte into the next (PES header and
// delimiter: 20 bytes, 21 for HEVC). A later packet's adaptation field is stuffing, no flags.
TEST(MuxerPes, AccessUnitsAcrossPacketsReassemble) {
  for (bool hevc : {false, true}) {
    const std::size_t head = hevc ? 21 : 20;
    for (auto [size, packets] : {std::pair{176 - head, 3u}, {177 - head, 4u}, {176 + 184 - head + 1, 5u}}) {
      Bytes au(size);
      for (std::size_t i = 0; i < size; ++i) au[i] = static_cast<std::uint8_t>(i * 7 + 3);
      const Bytes burst = Muxer(hevc).packetize(au, false, 0);
      ASSERT_EQ(burst.size(), kPacket * packets) << size;
      EXPECT_EQ(burst[burst.size() - kPacket + 5], packets == 3 ? 0x10 : 0x00) << size;
      const Bytes pes = videoPayload(burst);
      EXPECT_EQ(Bytes(pes.begin() + static_cast<std::ptrdiff_t>(head), pes.end()), au) << size;
    }
  }
}

}  // namespace
}  // namespace vl
