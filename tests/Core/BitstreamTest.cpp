#include "Core/Bitstream.h"

#include "Failure.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace vl {
namespace {

using test::failure;

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes k4 = {0, 0, 0, 1}, k3 = {0, 0, 1};
// H.264 units: header byte carries the type in its low five bits.
const Bytes sps = {0x67, 0x64, 0x00, 0x28}, pps = {0x68, 0xEE, 0x3C, 0x80}, idr = {0x65, 0x88, 0x84, 0x00, 0x21},
            slice = {0x41, 0x9A, 0x02}, sei = {0x06, 0x05, 0x10, 0x80}, aud = {0x09, 0xF0};
// HEVC units: type in bits 1..6 of the first of two header bytes.
const Bytes vps = {0x40, 0x01, 0x0C}, hsps = {0x42, 0x01, 0x01}, hpps = {0x44, 0x01, 0xC1},
            hidr = {0x26, 0x01, 0xAF}, htrail = {0x02, 0x01, 0xD0}, hsei = {0x4E, 0x01, 0x05}, hsuffix = {0x50, 0x01, 0x05},
            haud = {0x46, 0x01, 0x50}, hcra = {0x2A, 0x01, 0xAD};

TEST(AnnexB, SplitsOnThreeAndFourByteStartCodes) {
  const Bytes stream = join({{0xFF}, k4, sps, k3, pps, {0, 0}, k4, idr});
  const auto units = splitAnnexB(stream);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), sps);
  EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), pps);  // trailing zeros dropped
  EXPECT_EQ(Bytes(units[2].begin(), units[2].end()), idr);
  EXPECT_TRUE(splitAnnexB(Bytes{}).empty());
  EXPECT_TRUE(splitAnnexB(Bytes{0, 0}).empty());
  // Emulation-prevented payload bytes 00 00 03 are not start codes.
  const Bytes guarded = join({k4, {0x41, 0, 0, 3, 1, 7}});
  ASSERT_EQ(splitAnnexB(guarded).size(), 1u);
  EXPECT_EQ(splitAnnexB(guarded)[0].size(), 6u);
}

TEST(AnnexB, LengthPrefixedUnitsGetStartCodes) {
  Bytes out;
  appendLengthPrefixed(out, join({{0, 0, 0, 4}, sps, {0, 0, 0, 0}, {0, 0, 0, 2}, aud}), 4);
  EXPECT_EQ(out, join({k4, sps, k4, k4, aud}));  // a zero length gives a bare start code
  out.clear();
  appendLengthPrefixed(out, join({{0, 3}, slice, {0, 2}, aud}), 2);
  EXPECT_EQ(out, join({k4, slice, k4, aud}));
  out.clear();
  appendLengthPrefixed(out, join({{5}, idr}), 1);
  EXPECT_EQ(out, join({k4, idr}));

  EXPECT_EQ(failure([] { Bytes o; appendLengthPrefixed(o, Bytes{0, 0, 0}, 4); }), "Truncated encoder NAL length");
  EXPECT_EQ(failure([] { Bytes o; appendLengthPrefixed(o, Bytes{0, 0, 0, 2, 0x65, 0, 0}, 4); }),
            "Truncated encoder NAL length");
  EXPECT_EQ(failure([] { Bytes o; appendLengthPrefixed(o, Bytes{0, 0, 0, 3, 0x65, 0}, 4); }),
            "Truncated encoder NAL unit");
  EXPECT_EQ(failure([] { Bytes o; appendLengthPrefixed(o, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1}, 4); }),
            "Truncated encoder NAL unit");
}

TEST(AccessUnits, KeyframesLeadWithParameterSetsAndLoseAudAndSei) {
  ParameterSets latest;
  // x264 style: AUD, SEI, SPS, PPS, SEI, IDR with three-byte start codes.
  AccessUnit first = reshapeAccessUnit(Codec::h264, join({k4, aud, k4, sps, k3, pps, k3, sei, k3, idr}), true, latest);
  EXPECT_TRUE(first.keyframe);
  EXPECT_EQ(first.bytes, join({k4, sps, k4, pps, k4, idr}));

  AccessUnit next = reshapeAccessUnit(Codec::h264, join({k4, sei, k4, slice}), false, latest);
  EXPECT_FALSE(next.keyframe);
  EXPECT_EQ(next.bytes, join({k4, slice}));

  // A later keyframe without its own sets gets the latest ones.
  AccessUnit later = reshapeAccessUnit(Codec::h264, join({k3, idr}), false, latest);
  EXPECT_TRUE(later.keyframe);  // an IDR is a keyframe whatever the flag said
  EXPECT_EQ(later.bytes, join({k4, sps, k4, pps, k4, idr}));

  // New sets replace the old ones; PPS before SPS is put in order.
  const Bytes sps2 = {0x67, 0x64, 0x00, 0x33};
  AccessUnit changed = reshapeAccessUnit(Codec::h264, join({k4, pps, k4, sps2, k4, idr}), true, latest);
  EXPECT_EQ(changed.bytes, join({k4, sps2, k4, pps, k4, idr}));
}

TEST(AccessUnits, HevcSetsInOrderAndBothSeiKindsDropped) {
  ParameterSets latest;
  AccessUnit key = reshapeAccessUnit(
      Codec::hevc, join({k4, haud, k4, vps, k4, hsps, k4, hpps, k4, hsei, k4, hidr, k4, hsuffix}), true, latest);
  EXPECT_TRUE(key.keyframe);
  EXPECT_EQ(key.bytes, join({k4, vps, k4, hsps, k4, hpps, k4, hidr}));
  AccessUnit trail = reshapeAccessUnit(Codec::hevc, join({k4, htrail}), false, latest);
  EXPECT_FALSE(trail.keyframe);
  EXPECT_EQ(trail.bytes, join({k4, htrail}));
  AccessUnit cra = reshapeAccessUnit(Codec::hevc, join({k4, hcra}), false, latest);
  EXPECT_TRUE(cra.keyframe);
  EXPECT_EQ(cra.bytes, join({k4, vps, k4, hsps, k4, hpps, k4, hcra}));
}

TEST(AccessUnits, FailuresAreSentences) {
  ParameterSets none;
  EXPECT_EQ(failure([&] { reshapeAccessUnit(Codec::h264, join({k4, idr}), true, none); }),
            "Encoder parameter sets unavailable (-1)");
  ParameterSets onlySps;
  EXPECT_EQ(failure([&] { reshapeAccessUnit(Codec::h264, join({k4, sps, k4, idr}), true, onlySps); }),
            "Encoder parameter sets unavailable (-1)");
  EXPECT_EQ(failure([&] { reshapeAccessUnit(Codec::hevc, join({k4, vps, k4, hsps, k4, hpps, k4, hidr}), true, none); }),
            "no error");
  ParameterSets any;
  EXPECT_EQ(failure([&] { reshapeAccessUnit(Codec::h264, join({k4, sei, k4, aud}), false, any); }),
            "Encoder returned no frame");
  EXPECT_EQ(failure([&] { reshapeAccessUnit(Codec::h264, Bytes{}, false, any); }), "Encoder returned no frame");
}

TEST(Ticks90k, RescalesWithHalvesAwayFromZero) {
  EXPECT_EQ(ticks90k(3600, 1, 90000), 3600);
  EXPECT_EQ(ticks90k(1, 1, 25), 3600);
  EXPECT_EQ(ticks90k(1001, 1, 30000), 3003);
  EXPECT_EQ(ticks90k(1, 1, 180000), 1);    // 0.5 rounds up
  EXPECT_EQ(ticks90k(-1, 1, 180000), -1);  // and -0.5 down
  EXPECT_EQ(ticks90k(1, 1, 180001), 0);
  EXPECT_EQ(ticks90k(std::int64_t{1} << 40, 1, 1000), (std::int64_t{1} << 40) * 90);
}

}  // namespace
}  // namespace vl
