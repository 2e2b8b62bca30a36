#include "Transport/Muxer.h"

#include <gtest/gtest.h>

#include <cstring>
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

TEST(MuxerCrc, CheckValueAndSelfCheck) {
  const std::string check = "123456789";
  EXPECT_EQ(crc32Mpeg2(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0x0376E6E7u);
  EXPECT_EQ(crc32Mpeg2(nullptr, 0), 0xFFFFFFFFu);
  // A section followed by its own CRC leaves a zero remainder.
  Muxer muxer(false);
  const Bytes burst = muxer.packetize({}, true, 0);
  EXPECT_EQ(crc32Mpeg2(burst.data() + 5, 16), 0u);
  EXPECT_EQ(crc32Mpeg2(burst.data() + kPacket + 5, 21), 0u);
}

TEST(MuxerTables, PatOfFreshMuxer) {
  Muxer muxer(false);
  const Bytes burst = muxer.packetize({}, true, 0);
  const Bytes want = psiPacket({0x47, 0x40, 0x00, 0x10}, {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00,
                                                        0x01, 0xF0, 0x00, 0x2A, 0xB1, 0x04, 0xB2});
  EXPECT_EQ(packet(burst, 0), want);
}

TEST(MuxerTables, PmtForBothCodecs) {
  Muxer h264(false);
  Muxer hevc(true);
  const Bytes wantH264 =
      psiPacket({0x47, 0x50, 0x00, 0x10}, {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0,
                                           0x00, 0x1B, 0xE1, 0x00, 0xF0, 0x00, 0x15, 0xBD, 0x4D, 0x56});
  const Bytes wantHevc =
      psiPacket({0x47, 0x50, 0x00, 0x10}, {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0,
                                           0x00, 0x24, 0xE1, 0x00, 0xF0, 0x00, 0x2F, 0x00, 0x6E, 0xE7});
  EXPECT_EQ(packet(h264.packetize({1, 2, 3}, false, 0), 1), wantH264);
  EXPECT_EQ(packet(hevc.packetize({1, 2, 3}, false, 0), 1), wantHevc);
  // The PAT does not depend on the codec.
  EXPECT_EQ(packet(Muxer(true).packetize({}, true, 0), 0), packet(Muxer(false).packetize({}, true, 0), 0));
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

TEST(MuxerPes, FirstPacketLayoutWithPtsAndPcr) {
  Muxer muxer(false);
  const std::int64_t pts = 0x123456789;
  const Bytes au{0xAA, 0xBB, 0xCC};
  const Bytes burst = muxer.packetize(au, true, pts);
  ASSERT_EQ(burst.size(), 3 * kPacket);
  const Bytes p = packet(burst, 2);
  const Bytes pes{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05, 0x29, 0x8D, 0x15, 0xCF, 0x13,
                  0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0xAA, 0xBB, 0xCC};
  Bytes want{0x47, 0x41, 0x00, 0x30, static_cast<std::uint8_t>(183 - pes.size()), 0x50,
             0x91, 0xA2, 0xB3, 0xC4, 0xFE, 0x00};
  want.resize(kPacket - pes.size(), 0xFF);
  want.insert(want.end(), pes.begin(), pes.end());
  EXPECT_EQ(p, want);

  // Any other picture carries the PCR alone.
  const Bytes other = muxer.packetize(au, false, pts);
  EXPECT_EQ(other[2 * kPacket + 5], 0x10);
  EXPECT_EQ(other[2 * kPacket + 3], 0x31);
}

TEST(MuxerPes, OnlyLow33BitsOfTimeAreWritten) {
  Muxer a(false);
  Muxer b(false);
  Muxer c(false);
  const Bytes low = a.packetize({9}, false, 0x123456789);
  EXPECT_EQ(b.packetize({9}, false, 0x123456789 + (std::int64_t{1} << 33) * 5), low);
  // -1 is the largest 33-bit value: every PTS and PCR base bit set.
  const Bytes p = packet(c.packetize({9}, false, -1), 2);
  const std::size_t pes = kPacket - 21;
  EXPECT_EQ(Bytes(p.begin() + 6, p.begin() + 12), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x00}));
  EXPECT_EQ(Bytes(p.begin() + pes + 9, p.begin() + pes + 14), (Bytes{0x2F, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(MuxerPes, EmptyAccessUnitStillCarriesHeaderAndDelimiter) {
  Muxer h264(false);
  Muxer hevc(true);
  const Bytes a = h264.packetize({}, false, 0);
  const Bytes b = hevc.packetize({}, false, 0);
  ASSERT_EQ(a.size(), 3 * kPacket);
  ASSERT_EQ(b.size(), 3 * kPacket);
  EXPECT_EQ(a[2 * kPacket + 4], 183 - 20);
  EXPECT_EQ(b[2 * kPacket + 4], 183 - 21);
  EXPECT_EQ(Bytes(a.end() - 6, a.end()), (Bytes{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}));
  EXPECT_EQ(Bytes(b.end() - 7, b.end()), (Bytes{0x00, 0x00, 0x00, 0x01, 0x46, 0x01, 0x50}));
  EXPECT_EQ(Bytes(a.end() - 20, a.end() - 14),
            (Bytes{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00}));  // PES start right after the stuffing
  EXPECT_EQ(a[a.size() - 21], 0xFF);
}

TEST(MuxerPes, PayloadBoundaries) {
  // PES sizes (H.264: 20 bytes of header and delimiter) around the packet limits.
  Muxer muxer(false);

  // 176 bytes fill the first packet: adaptation field of 7 bytes, payload from byte 12.
  Bytes b = muxer.packetize(counting(156), false, 0);
  ASSERT_EQ(b.size(), 3 * kPacket);
  EXPECT_EQ(b[2 * kPacket + 4], 7);
  EXPECT_EQ(b[2 * kPacket + 12], 0x00);  // first PES byte
  EXPECT_EQ(b[2 * kPacket + 14], 0x01);

  // 177 bytes: one byte in a second packet behind a 182-byte adaptation field.
  b = muxer.packetize(counting(157), false, 0);
  ASSERT_EQ(b.size(), 4 * kPacket);
  Bytes second = packet(b, 3);
  EXPECT_EQ(second[0], 0x47);
  EXPECT_EQ(second[1], 0x01);
  EXPECT_EQ(second[3] & 0xF0, 0x30);
  EXPECT_EQ(second[4], 182);
  EXPECT_EQ(second[5], 0x00);
  for (std::size_t i = 6; i < 187; ++i) ASSERT_EQ(second[i], 0xFF) << i;
  EXPECT_EQ(second[187], counting(157).back());

  // A remainder of 182: adaptation field of 1, flags byte only.
  b = muxer.packetize(counting(176 + 182 - 20), false, 0);
  ASSERT_EQ(b.size(), 4 * kPacket);
  second = packet(b, 3);
  EXPECT_EQ(second[4], 1);
  EXPECT_EQ(second[5], 0x00);
  EXPECT_EQ(second[6], counting(338)[156]);

  // A remainder of 183: adaptation field of length 0 and no flags, payload from byte 5.
  b = muxer.packetize(counting(176 + 183 - 20), false, 0);
  ASSERT_EQ(b.size(), 4 * kPacket);
  second = packet(b, 3);
  EXPECT_EQ(second[3] & 0xF0, 0x30);
  EXPECT_EQ(second[4], 0);
  EXPECT_EQ(second[5], counting(339)[156]);

  // A remainder of 184: no adaptation field at all.
  b = muxer.packetize(counting(176 + 184 - 20), true, 0);
  ASSERT_EQ(b.size(), 4 * kPacket);
  second = packet(b, 3);
  EXPECT_EQ(second[3] & 0xF0, 0x10);
  EXPECT_EQ(second[4], counting(340)[156]);
  EXPECT_EQ(b[2 * kPacket + 5], 0x50);

  // 185: a third packet for the last byte.
  EXPECT_EQ(muxer.packetize(counting(176 + 185 - 20), false, 0).size(), 5 * kPacket);
}

TEST(MuxerPes, EverySizeReassemblesAndMatchesThePacketCount) {
  for (bool hevc : {false, true}) {
    Muxer muxer(hevc);
    const std::size_t head = hevc ? 21 : 20;
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
      // Flags and PCR only in the first video packet.
      ASSERT_EQ(burst[2 * kPacket + 5], keyframe ? 0x50 : 0x10);
      for (std::size_t i = 3; i < burst.size() / kPacket; ++i) {
        const Bytes p = packet(burst, i);
        ASSERT_EQ(p[1], 0x01);
        if ((p[3] & 0x20) && p[4] > 0) {
          ASSERT_EQ(p[5], 0x00) << size;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vl
