// What the encoders here never produce but other encoders do: length-prefixed units, HEVC
// SEI of both kinds, CRA pictures, and keyframes without their own parameter sets.
#include "Core/Bitstream.h"

#include "Failure.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

using test::failure;

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes k4 = {0, 0, 0, 1}, k3 = {0, 0, 1};
const Bytes sps = {0x67, 0x64, 0x00, 0x28}, pps = {0x68, 0xEE, 0x3C, 0x80}, idr = {0x65, 0x88, 0x84},
            aud = {0x09, 0xF0};
const Bytes vps = {0x40, 0x01, 0x0C}, hsps = {0x42, 0x01, 0x01}, hpps = {0x44, 0x01, 0xC1}, hsei = {0x4E, 0x01, 0x05},
            hsuffix = {0x50, 0x01, 0x05}, htrail = {0x02, 0x01, 0xD0}, hcra = {0x2A, 0x01, 0xAD};

TEST(Bitstream, LengthPrefixedUnitsGetStartCodesAndTruncationIsRefused) {
  Bytes out;
  appendLengthPrefixed(out, join({{0, 0, 0, 4}, sps, {0, 0, 0, 2}, aud}), 4);
  appendLengthPrefixed(out, join({{0, 3}, idr}), 2);
  EXPECT_EQ(out, join({k4, sps, k4, aud, k4, idr}));
  EXPECT_EQ(failure([] { Bytes o; appendLengthPrefixed(o, Bytes{0, 0, 0, 2, 0x65, 0, 0}, 4); }),
            "Truncated encoder NAL length");
  EXPECT_EQ(failure([] { Bytes o; appendLengthPrefixed(o, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1}, 4); }),
            "Truncated encoder NAL unit");
}

TEST(Bitstream, KeyframesLeadWithTheLatestSetsInOrderAndLoseDelimitersAndSei) {
  ParameterSets h264;
  EXPECT_EQ(failure([&] { reshapeAccessUnit(Codec::h264, join({k4, idr}), true, h264); }),
            "Encoder parameter sets unavailable (-1)");
  EXPECT_EQ(reshapeAccessUnit(Codec::h264, join({k4, aud, k4, pps, k3, sps, k3, idr}), true, h264).bytes,
            join({k4, sps, k4, pps, k4, idr}));
  const AccessUnit later = reshapeAccessUnit(Codec::h264, join({k3, idr}), false, h264);
  EXPECT_TRUE(later.keyframe);  // an IDR is a keyframe whatever the encoder said
  EXPECT_EQ(later.bytes, join({k4, sps, k4, pps, k4, idr}));

  ParameterSets hevc;
  EXPECT_EQ(reshapeAccessUnit(Codec::hevc, join({k4, vps, k4, hsps, k4, hpps, k4, hsei, k4, htrail, k4, hsuffix}),
                              false, hevc).bytes,
            join({k4, vps, k4, hsps, k4, hpps, k4, htrail}));
  const AccessUnit cra = reshapeAccessUnit(Codec::hevc, join({k4, hcra}), false, hevc);
  EXPECT_TRUE(cra.keyframe);
  EXPECT_EQ(cra.bytes, join({k4, vps, k4, hsps, k4, hpps, k4, hcra}));
  EXPECT_EQ(failure([&] { reshapeAccessUnit(Codec::hevc, join({k4, hsei}), false, hevc); }),
            "Encoder returned no frame");
}

}  // namespace
}  // namespace vl
