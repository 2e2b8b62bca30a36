#include "Transport/Muxer.h"

#include "Transport/MetadataSei.h"

#include <algorithm>
#include <cstring>

namespace vl {

namespace {

constexpr std::size_t kPacket = 188;
constexpr std::uint16_t kPatPid = 0x0000;
constexpr std::uint16_t kPmtPid = 0x1000;
constexpr std::uint16_t kVideoPid = 0x0100;
constexpr std::size_t kFirstRoom = 176;  // eight bytes go to the adaptation field with the PCR
constexpr std::size_t kRoom = 184;

// Grows the output by one packet pre-filled with stuffing and returns its start.
std::uint8_t* newPacket(std::vector<std::uint8_t>& out) {
  out.resize(out.size() + kPacket, 0xFF);
  return out.data() + out.size() - kPacket;
}

void table(std::vector<std::uint8_t>& out, std::vector<std::uint8_t> section, std::uint16_t pid,
           std::uint8_t& counter) {
  be32(section, crc32Mpeg2(section.data(), section.size()));
  std::uint8_t* p = newPacket(out);
  p[0] = 0x47;
  p[1] = static_cast<std::uint8_t>(0x40 | (pid >> 8));
  p[2] = static_cast<std::uint8_t>(pid & 0xFF);
  p[3] = static_cast<std::uint8_t>(0x10 | (counter++ & 0x0F));
  p[4] = 0x00;
  std::memcpy(p + 5, section.data(), section.size());
}

void pesHeader(std::vector<std::uint8_t>& pes, std::uint64_t pts) {
  pes.insert(pes.end(), {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05});
  pes.push_back(static_cast<std::uint8_t>(0x21 | ((pts >> 29) & 0x0E)));
  pes.push_back(static_cast<std::uint8_t>((pts >> 22) & 0xFF));
  pes.push_back(static_cast<std::uint8_t>(((pts >> 14) & 0xFF) | 0x01));
  pes.push_back(static_cast<std::uint8_t>((pts >> 7) & 0xFF));
  pes.push_back(static_cast<std::uint8_t>(((pts << 1) & 0xFF) | 0x01));
}

}  // namespace

std::uint32_t crc32Mpeg2(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= static_cast<std::uint32_t>(data[i]) << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

Muxer::Muxer(bool hevc) : hevc_(hevc) {}

void Muxer::tables(std::vector<std::uint8_t>& out) {
  table(out, {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00}, kPatPid,
        patCounter_);
  const std::uint8_t streamType = hevc_ ? 0x24 : 0x1B;
  table(out,
        {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0x00, streamType, 0xE1, 0x00,
         0xF0, 0x00},
        kPmtPid, pmtCounter_);
}

std::vector<std::uint8_t> Muxer::packetize(const std::vector<std::uint8_t>& accessUnit, bool keyframe,
                                           std::int64_t pts90k) {
  const std::uint64_t pts = static_cast<std::uint64_t>(pts90k) & 0x1FFFFFFFFull;

  std::vector<std::uint8_t> pes;
  pes.reserve(14 + 7 + accessUnit.size());
  pesHeader(pes, pts);
  if (hevc_)
    pes.insert(pes.end(), {0x00, 0x00, 0x00, 0x01, 0x46, 0x01, 0x50});
  else
    pes.insert(pes.end(), {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0});
  pes.insert(pes.end(), accessUnit.begin(), accessUnit.end());

  const std::size_t videoPackets =
      pes.size() <= kFirstRoom ? 1 : 1 + (pes.size() - kFirstRoom + kRoom - 1) / kRoom;
  std::vector<std::uint8_t> out;
  out.reserve(kPacket * (2 + videoPackets));
  tables(out);

  std::size_t offset = 0;
  bool first = true;
  do {
    const std::size_t n = std::min(first ? kFirstRoom : kRoom, pes.size() - offset);
    std::uint8_t* p = newPacket(out);
    p[0] = 0x47;
    p[1] = first ? 0x41 : 0x01;
    p[2] = 0x00;
    p[3] = static_cast<std::uint8_t>((n == kRoom ? 0x10 : 0x30) | (videoCounter_++ & 0x0F));
    if (n != kRoom) {
      p[4] = static_cast<std::uint8_t>(183 - n);
      if (n <= 182) p[5] = first ? (keyframe ? 0x50 : 0x10) : 0x00;
      if (first) {
        p[6] = static_cast<std::uint8_t>(pts >> 25);
        p[7] = static_cast<std::uint8_t>(pts >> 17);
        p[8] = static_cast<std::uint8_t>(pts >> 9);
        p[9] = static_cast<std::uint8_t>(pts >> 1);
        p[10] = static_cast<std::uint8_t>(((pts & 1) << 7) | 0x7E);
        p[11] = 0x00;
      }
    }
    std::memcpy(p + kPacket - n, pes.data() + offset, n);
    offset += n;
    first = false;
  } while (offset < pes.size());
  return out;
}

}  // namespace vl
