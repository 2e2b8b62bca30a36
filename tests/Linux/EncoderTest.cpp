// The encoders as the worker uses them, checked by decoding what they produce with libavcodec.
#include "Linux/Encoders.h"

#include "Core/Pacing.h"
#include "Core/YCbCr.h"

#include "Av.h"
#include "Failure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace vl {
namespace {

// NAL unit types in order, insisting that every start code is the four-byte one.
std::vector<int> nalUnits(const std::vector<std::uint8_t>& au, bool hevc) {
  std::vector<int> types;
  EXPECT_TRUE(au.size() >= 4 && au[0] == 0 && au[1] == 0 && au[2] == 0 && au[3] == 1) << "no leading start code";
  for (std::size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      EXPECT_TRUE(i > 0 && au[i - 1] == 0) << "three-byte start code at " << i;
      types.push_back(hevc ? (au[i + 3] >> 1) & 0x3F : au[i + 3] & 0x1F);
      i += 2;
    }
  }
  return types;
}

Frame flat(int width, int height, std::uint16_t r, std::uint16_t g, std::uint16_t b) {
  Frame frame;
  frame.width = width;
  frame.height = height;
  for (int i = 0; i < width * height; ++i) frame.pixels.insert(frame.pixels.end(), {r, g, b});
  return frame;
}

// Hard to code: fresh noise in a band that moves down, a noise texture scrolling sideways elsewhere.
Frame hardPattern(int width, int height, int index, std::mt19937& random) {
  static const std::vector<std::uint16_t> texture = [&] {
    std::vector<std::uint16_t> t(static_cast<std::size_t>(width) * height * 6);  // twice as wide as the picture
    std::generate(t.begin(), t.end(), std::mt19937(1));
    return t;
  }();
  Frame frame = flat(width, height, 0, 0, 0);
  for (int y = 0; y < height; ++y) {
    std::uint16_t* row = &frame.pixels[static_cast<std::size_t>(y) * width * 3];
    if ((y - index * 7 % height + height) % height < height / 4)
      std::generate_n(row, width * 3, std::ref(random));
    else
      std::copy_n(&texture[(static_cast<std::size_t>(y) * width * 2 + index * 5 % width) * 3], width * 3, row);
  }
  return frame;
}

Settings settingsFor(bool hevc, int color, int bitrateKbps = 2000, double fps = 25, double keyframeSeconds = 1.0) {
  Settings s;
  std::tie(s.hevc, s.color, s.bitrateKbps, s.fps, s.keyframeSeconds) =
      std::tuple(hevc, color, bitrateKbps, fps, keyframeSeconds);
  return s;
}

using test::failure;

int sample(const AVFrame* f, int plane, int x, int y) {
  const std::uint8_t* row = f->data[plane] + static_cast<std::ptrdiff_t>(y) * f->linesize[plane];
  if (f->format == AV_PIX_FMT_YUV420P) return row[x];
  return row[2 * x] | row[2 * x + 1] << 8;
}

// Every signal format decodes as signalled, one picture per access unit, in order, with parameter sets
// leading keyframes and none of the encoders' own SEI or delimiters. With pictures skipped as the worker
// skips late ones (never past the keyframe deadline), and at 29.97 fps where 60 pictures are 2.002 s,
// keyframes keep within both the picture count and keyframeSeconds.
TEST(Encoders, StreamsDecodeAsSignalledWithKeyframesInTime) {
  struct Case {
    const char* codec;
    int color, width, height, count;
    double fps, keyframeSeconds;
    int maxGap;
  };
  for (const Case& c : {Case{"libx264", 0, 320, 180, 30, 25, 0.4, 1}, Case{"libx265", 0, 256, 144, 14, 30, 0.2, 1},
                        Case{"libx265", 1, 256, 144, 14, 30, 0.2, 1}, Case{"libx265", 2, 256, 144, 14, 30, 0.2, 1},
                        Case{"libx264", 0, 128, 72, 125, 29.97, 2.0, 1}, Case{"libx264", 0, 128, 72, 90, 25, 1.0, 5},
                        Case{"libx265", 1, 128, 72, 60, 29.97, 0.5, 5}}) {
    SCOPED_TRACE(std::string(c.codec) + " color " + std::to_string(c.color) + " gap " + std::to_string(c.maxGap));
    const bool hevc = std::string(c.codec) == "libx265";
    const Settings settings = settingsFor(hevc, c.color, 1500, c.fps, c.keyframeSeconds);
    std::vector<std::tuple<std::vector<std::uint8_t>, bool, std::int64_t>> units;
    auto encoder = makeNamedEncoder(c.codec, c.width, c.height, settings, [&](const auto& au, bool key, auto pts) {
      units.emplace_back(au, key, pts);
    });
    test::Decoder decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    const int keyint = keyframeInterval(c.fps, c.keyframeSeconds);
    int sinceKey = 0;
    std::int64_t lastKey = 0;
    std::mt19937 random(7);
    for (std::uint64_t i = 0, n = 0; i < static_cast<std::uint64_t>(c.count); ++i) {
      SCOPED_TRACE("picture " + std::to_string(i));
      // Flat colours that change every picture: distinct codes in a known order.
      const Frame frame = flat(c.width, c.height, static_cast<std::uint16_t>(4000 + i * 2100 % 60000),
                               static_cast<std::uint16_t>(60000 - i * 1700 % 55000),
                               static_cast<std::uint16_t>(20000 + i * 3300 % 45000));
      const std::int64_t pts = timestamp90k(n, c.fps);
      encoder->encode(frame, pts);
      ASSERT_EQ(units.size(), i + 1) << "the picture was not out when encode returned";
      const auto& [bytes, keyframe, unitPts] = units.back();
      const std::uint64_t skipped = n + std::uniform_int_distribution<std::uint64_t>(1, c.maxGap)(random);
      n = std::max(n + 1, std::min(skipped, lastPictureBy(encoder->keyframeDeadline90k(), c.fps)));

      EXPECT_EQ(unitPts, pts);
      const std::vector<int> nals = nalUnits(bytes, hevc);
      ASSERT_FALSE(nals.empty());
      bool randomAccess = false;
      for (int type : nals) {
        EXPECT_TRUE(hevc ? type != 35 && type != 39 && type != 40 : type != 9 && type != 6) << "SEI or delimiter";
        randomAccess |= hevc ? type >= 16 && type <= 21 : type == 5;
      }
      EXPECT_EQ(keyframe, randomAccess);
      EXPECT_TRUE(i != 0 || keyframe);
      if (keyframe) {
        const std::vector<int> sets = hevc ? std::vector<int>{32, 33, 34} : std::vector<int>{7, 8};
        ASSERT_GT(nals.size(), sets.size());
        EXPECT_EQ(std::vector<int>(nals.begin(), nals.begin() + std::ssize(sets)), sets);
        EXPECT_LE(unitPts - lastKey, std::llround(c.keyframeSeconds * 90000)) << "keyframes too far apart";
        lastKey = unitPts;
        sinceKey = 0;
      } else {
        EXPECT_LE(++sinceKey, keyint - 1) << "keyframes too many pictures apart";
        EXPECT_LT(nals[0], hevc ? 32 : 6) << "a picture's own data first";
      }

      const AVFrame* picture = decoder.decode(bytes, unitPts);
      ASSERT_NE(picture, nullptr) << "the decoder held the picture back or failed";
      EXPECT_EQ(picture->pts, unitPts);
      EXPECT_EQ(std::tuple(picture->width, picture->height), std::tuple(c.width, c.height));
      EXPECT_EQ(picture->format, hevc ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P);
      // Limited range, the signal's primaries, transfer and matrix, and the 2x2 average centred.
      EXPECT_EQ(std::tuple(picture->color_range, picture->color_primaries, picture->color_trc, picture->colorspace,
                           picture->chroma_location),
                std::tuple(AVCOL_RANGE_MPEG, c.color == 0 ? AVCOL_PRI_BT709 : AVCOL_PRI_BT2020,
                           c.color == 0 ? AVCOL_TRC_BT709 : c.color == 1 ? AVCOL_TRC_SMPTE2084 : AVCOL_TRC_ARIB_STD_B67,
                           c.color == 0 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT2020_NCL, AVCHROMA_LOC_CENTER));
      EXPECT_EQ(decoder.context->profile, hevc ? 2 : 100) << "Main 10 or High, as the streams number them";

      // Flat pictures come back as the conversion's codes, which also proves the order.
      std::uint16_t codes[3][4] = {};
      Planes planes{{}, {4, 4, 4}};
      for (int p = 0; p < 3; ++p) planes.data[p] = reinterpret_cast<std::uint8_t*>(codes[p]);
      convertToYCbCr(flat(2, 2, frame.pixels[0], frame.pixels[1], frame.pixels[2]), matrixFor(c.color),
                     hevc ? PlaneLayout::yuv420p10 : PlaneLayout::yuv420p, planes);
      for (int p = 0; p < 3; ++p)
        EXPECT_NEAR(sample(picture, p, c.width / (p ? 4 : 2), c.height / (p ? 4 : 2)),
                    hevc ? codes[p][0] : codes[p][0] & 0xFF, hevc ? 8 : 2) << "plane " << p;
    }
  }
}

// Hardware first, software otherwise, and a failing callback reaches the caller without breaking the
// encoder. The host's stderr is its own: x264 and x265 write their messages there unless told not to,
// so encoders opened, used, refused and closed (a GPU one first, which fails here) print nothing.
TEST(Encoders, PrintNothingOnTheHostsStderr) {
  testing::internal::CaptureStderr();
  for (bool hevc : {false, true}) {
    SCOPED_TRACE(hevc ? "hevc" : "h264");
    const std::string hardware = encoderNames(hevc)[0];
    const std::string refused = failure([&] { makeNamedEncoder(hardware, 256, 144, settingsFor(hevc, 0), {}); });
    const bool gpu = refused == "no error";
    EXPECT_TRUE(gpu || refused.rfind("Hardware encoder unavailable (", 0) == 0) << refused;
    int calls = 0;
    auto encoder = makeEncoder(256, 144, settingsFor(hevc, 0), [&](auto&&...) {
      if (++calls == 2) throw std::runtime_error("Send failed.");
    });
    EXPECT_EQ(encoder->name(), encoderNames(hevc)[gpu ? 0 : 1]);
    const Frame frame = flat(256, 144, 1000, 2000, 3000);
    encoder->encode(frame, 0);
    EXPECT_EQ(failure([&] { encoder->encode(frame, 3600); }), "Send failed.");
    encoder->encode(frame, 7200);  // the next picture goes through again
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(failure([&] { encoder->encode(flat(130, 72, 0, 0, 0), 10800); }),
              "The picture size differs from the encoder's.");
  }
  EXPECT_EQ(failure([&] { makeNamedEncoder("libx265", 2, 2, settingsFor(true, 0), {}); }),
            "libx265 refused 2x2 pictures at 2000 kbit/s: the encoder did not open.");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Every run of fps consecutive pictures is one second of stream, under the cap yet using nearly all of it.
// Low rate with frequent keyframes leaves the least room.
void checkWindows(const std::string& codec, bool hevc) {
  for (auto [bitrateKbps, fps, keyframeSeconds] : {std::tuple{1200, 25, 1.0}, {800, 30, 0.5}, {3000, 30, 2.0}}) {
    const int width = 640, height = 360, seconds = 8;
    std::mt19937 random(42);
    std::vector<std::size_t> sizes;
    auto encoder = makeNamedEncoder(codec, width, height, settingsFor(hevc, 0, bitrateKbps, fps, keyframeSeconds),
                                    [&](const auto& au, bool, std::int64_t) { sizes.push_back(au.size()); });
    for (int n = 0; n < fps * seconds; ++n)
      encoder->encode(hardPattern(width, height, n, random), timestamp90k(n, fps));
    ASSERT_EQ(sizes.size(), static_cast<std::size_t>(fps * seconds));
    const std::size_t cap = static_cast<std::size_t>(bitrateKbps) * 1000 / 8;
    std::size_t worst = 0;
    for (std::size_t start = 0; start + fps <= sizes.size(); ++start)
      worst = std::max(worst, std::accumulate(sizes.begin() + start, sizes.begin() + start + fps, std::size_t{0}));
    const std::size_t average = std::accumulate(sizes.begin(), sizes.end(), std::size_t{0}) / seconds;
    EXPECT_LE(worst, cap) << codec << " at " << bitrateKbps << " kbit/s: worst one-second window " << worst;
    EXPECT_GE(average, cap * 85 / 100) << codec << " at " << bitrateKbps << " kbit/s: average " << average;
  }
}
TEST(RateCapSlow, X264OneSecondWindowsStayUnderTheCap) { checkWindows("libx264", false); }
TEST(RateCapSlow, X265OneSecondWindowsStayUnderTheCap) { checkWindows("libx265", true); }

}  // namespace
}  // namespace vl
