#include "Transport/MetadataSei.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace vl {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes uuid() { return Bytes{'v', 'e', 'l', 't', 'r', 'a', 'n', 'e', 'o', 'f', 'x', '-', 'm', 'e', 't', 'a'}; }

bool contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(MetadataSei, SdrDefaultsForBothCodecs) {
  Bytes want{0, 0, 0, 1, 0x06, 0x05, 19};
  Bytes id = uuid();
  want.insert(want.end(), id.begin(), id.end());
  want.insert(want.end(), {0x7B, 0x7D, 0x00, 0x80});
  EXPECT_EQ(metadataSEI(Settings{}, false), want);
  EXPECT_EQ(want.size(), 27u);
  want[4] = 0x4E;
  want.insert(want.begin() + 5, 0x01);
  EXPECT_EQ(metadataSEI(Settings{}, true), want);
}

TEST(MetadataSei, HdrMessagesComeFirst) {
  Settings s;
  s.color = 1;
  const Bytes out = metadataSEI(s, true);
  const Bytes head{0, 0, 0, 1, 0x4E, 0x01, 137, 24, 0x21, 0x34, 0x9B, 0xAA, 0x19, 0x96, 0x08, 0xFC,
                   0x8A, 0x48, 0x39, 0x08, 0x3D, 0x13, 0x40, 0x42, 0x00, 0x98, 0x96, 0x80, 0x00, 0x00,
                   0x03, 0x00, 0x32, 144, 4, 0x03, 0xE8, 0x01, 0x90, 5, 19};  // 0.005 nits is 00 00 00 32
  ASSERT_GE(out.size(), head.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(head.size())), head);
  EXPECT_EQ(out.back(), 0x80);
}

TEST(MetadataSei, EmulationPrevention) {
  Settings s;
  s.color = 2;
  s.masteringMin = 0;
  EXPECT_TRUE(contains(metadataSEI(s, false), Bytes{0x00, 0x98, 0x96, 0x80, 0x00, 0x00, 0x03, 0x00, 0x00, 0x90}));
  s.masteringMax = 10000;
  s.masteringMin = 0.005;
  EXPECT_TRUE(contains(metadataSEI(s, false), Bytes{0x05, 0xF5, 0xE1, 0x00, 0x00, 0x03, 0x00, 0x00, 0x32}));
  // No start code or stray zero run survives; 00 00 03 is the escape itself.
  s.metadata = std::string("{\"a\":\"") + std::string(40, '\0') + "\x01\x02\x03\"}";
  const Bytes out = metadataSEI(s, true);
  for (size_t i = 6; i + 2 < out.size(); ++i)
    EXPECT_FALSE(out[i] == 0 && out[i + 1] == 0 && out[i + 2] <= 2) << "at " << i;
}

// Sizes of 255 and over take more bytes.
TEST(MetadataSei, PayloadSizes) {
  Settings s;
  s.metadata = std::string(300, 'x');
  Bytes out = metadataSEI(s, false);
  EXPECT_EQ(Bytes(out.begin() + 5, out.begin() + 8), (Bytes{0x05, 0xFF, 0x3E}));
  EXPECT_EQ(out.size(), 5u + 3 + 317 + 1);
  s.metadata = std::string(238, 'x');
  out = metadataSEI(s, false);
  EXPECT_EQ(Bytes(out.begin() + 5, out.begin() + 8), (Bytes{0x05, 0xFF, 0x00}));

}

}  // namespace
}  // namespace vl
