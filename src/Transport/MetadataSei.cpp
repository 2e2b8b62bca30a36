#include "Transport/MetadataSei.h"

#include <cmath>

namespace vl {

void be32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

namespace {

constexpr char kUuid[] = "veltraneofx-meta";  // 16 bytes, no terminator sent

void be16(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void seiMessage(std::vector<std::uint8_t>& out, int type, const std::vector<std::uint8_t>& payload) {
  out.push_back(static_cast<std::uint8_t>(type));
  size_t size = payload.size();
  for (; size >= 255; size -= 255) out.push_back(0xFF);
  out.push_back(static_cast<std::uint8_t>(size));
  out.insert(out.end(), payload.begin(), payload.end());
}

// Luminance in 0.0001 cd/m2; the field keeps the low 32 bits.
std::uint32_t luminance(double nits) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::llround(nits * 10000.0)));
}

}  // namespace

std::vector<std::uint8_t> metadataSEI(const Settings& s, bool hevc) {
  std::vector<std::uint8_t> rbsp;
  std::vector<std::uint8_t> payload;
  if (s.color != 0) {
    // BT.2020 primaries (green, blue, red) and D65, in units of 0.00002.
    for (std::uint32_t v : {8500u, 39850u, 6550u, 2300u, 35400u, 14600u, 15635u, 16450u}) be16(payload, v);
    be32(payload, luminance(s.masteringMax));
    be32(payload, luminance(s.masteringMin));
    seiMessage(rbsp, 137, payload);
    payload.clear();
    be16(payload, static_cast<std::uint32_t>(s.maxCLL) & 0xFFFF);
    be16(payload, static_cast<std::uint32_t>(s.maxFALL) & 0xFFFF);
    seiMessage(rbsp, 144, payload);
    payload.clear();
  }
  payload.assign(kUuid, kUuid + 16);
  payload.insert(payload.end(), s.metadata.begin(), s.metadata.end());
  payload.push_back(0x00);
  seiMessage(rbsp, 5, payload);
  rbsp.push_back(0x80);

  std::vector<std::uint8_t> out{0x00, 0x00, 0x00, 0x01};
  if (hevc) {
    out.push_back(0x4E);
    out.push_back(0x01);
  } else {
    out.push_back(0x06);
  }
  out.reserve(out.size() + rbsp.size() + rbsp.size() / 2);
  int zeros = 0;
  for (std::uint8_t byte : rbsp) {
    if (zeros >= 2 && byte <= 0x03) {
      out.push_back(0x03);
      zeros = 0;
    }
    out.push_back(byte);
    zeros = byte == 0x00 ? zeros + 1 : 0;
  }
  return out;
}

}  // namespace vl
