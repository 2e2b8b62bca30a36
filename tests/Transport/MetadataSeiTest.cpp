#include "Transport/MetadataSei.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace vl {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// The mastering display and light level messages, then the metadata under its UUID.
TEST(MetadataSei, HdrMessagesComeFirst) {
  Settings s;
  s.color = 1;
  Bytes want{0, 0, 0, 1, 0x4E, 0x01, 137, 24, 0x21, 0x34, 0x9B, 0xAA, 0x19, 0x96, 0x08, 0xFC,
             0x8A, 0x48, 0x39, 0x08, 0x3D, 0x13, 0x40, 0x42, 0x00, 0x98, 0x96, 0x80, 0x00, 0x00,
             0x03, 0x00, 0x32, 144, 4, 0x03, 0xE8, 0x01, 0x90, 5, 19};  // 0.005 nits is 00 00 00 32
  const std::string uuid = "veltraneofx-meta";
  want.insert(want.end(), uuid.begin(), uuid.end());
  want.insert(want.end(), {0x7B, 0x7D, 0x00, 0x80});
  EXPECT_EQ(metadataSEI(s, true), want);
}

TEST(MetadataSei, EmulationPrevention) {
  Settings s;
  s.color = 2;
  s.masteringMin = 0;
  EXPECT_TRUE(contains(metadataSEI(s, false), Bytes{0x00, 0x98, 0x96, 0x80, 0x00, 0x00, 0x03, 0x00, 0x00, 0x90}));
  s.masteringMax = 10000;
  s.masteringMin = 0.005;
  EXPECT_TRUE(contains(metadataSEI(s, false), Bytes{0x05, 0xF5, 0xE1, 0x00, 0x00, 0x03, 0x00, 0x00, 0x32}));
  // No start code or stray zero run survives; a 03 after two zeros is escaped too.
  s.metadata = std::string("{\"a\":\"") + std::string(40, '\0') + std::string("\x03\0\0\x01\"}", 6);
  const Bytes out = metadataSEI(s, true);
  EXPECT_TRUE(contains(out, Bytes{0, 0, 3, 3, 0, 0, 3, 1}));
  for (size_t i = 6; i + 2 < out.size(); ++i)
    EXPECT_FALSE(out[i] == 0 && out[i + 1] == 0 && out[i + 2] <= 2) << "at " << i;
}

// SDR: the metadata message alone, in an H.264 unit. Sizes of 255 and over take more bytes.
TEST(MetadataSei, PayloadSizes) {
  Settings s;
  s.metadata = std::string(300, 'x');
  Bytes out = metadataSEI(s, false);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{0, 0, 0, 1, 0x06, 0x05, 0xFF, 0x3E}));
  EXPECT_EQ(out.size(), 5u + 3 + 317 + 1);
  s.metadata = std::string(238, 'x');
  out = metadataSEI(s, false);
  EXPECT_EQ(Bytes(out.begin() + 5, out.begin() + 8), (Bytes{0x05, 0xFF, 0x00}));
}

}  // namespace
}  // namespace vl
