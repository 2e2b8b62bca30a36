#include "FrameSource.h"
#include "Host.h"
#include "Pacing.h"
#include "RunnerFixture.h"

#include <stdexcept>

namespace vl::host {
namespace {

using RunnerFrames = RunnerTest;

std::vector<std::uint8_t> patternFrame(int w, int h, Depth d, std::int64_t frame) {
  std::vector<std::uint8_t> out(frameBytes(w, h, d));
  Pattern(w, h, d).draw(frame, out.data());
  return out;
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

TEST_F(RunnerFrames, RawInputReadsWholeFramesAndRefusesAShortLastOne) {
  const int w = 7, h = 3;  // 84 bytes a frame in short
  std::vector<std::uint8_t> data;
  for (int i = 0; i < 2 * 168 + 100; ++i) data.push_back(static_cast<std::uint8_t>(i * 31));
  writeFile(dir / "in.raw", data);
  FrameSource source(w, h, Depth::Short, (dir / "in.raw").string());
  std::vector<std::uint8_t> frame;
  ASSERT_TRUE(source.next(frame));
  EXPECT_EQ(frame, std::vector<std::uint8_t>(data.begin(), data.begin() + 168));
  ASSERT_TRUE(source.next(frame));
  EXPECT_EQ(frame, std::vector<std::uint8_t>(data.begin() + 168, data.begin() + 336));
  try {
    source.next(frame);
    FAIL() << "a partial frame must not pass as a frame";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("ends inside frame 2: 100 of 168 bytes"), std::string::npos) << e.what();
  }
  EXPECT_EQ(source.produced(), 2);

  data.resize(2 * 168);
  writeFile(dir / "exact.raw", data);
  FrameSource exact(w, h, Depth::Short, (dir / "exact.raw").string());
  EXPECT_TRUE(exact.next(frame));
  EXPECT_TRUE(exact.next(frame));
  EXPECT_FALSE(exact.next(frame)) << "a whole number of frames ends cleanly";

  try {
    FrameSource missing(w, h, Depth::Byte, (dir / "missing.raw").string());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot open the input"), std::string::npos) << e.what();
  }
}

TEST_F(RunnerFrames, PatternSourceAndSinkRoundTrip) {
  FrameSource source(33, 20, Depth::Half, "");
  std::vector<std::uint8_t> frame;
  {
    FrameSink sink((dir / "out.raw").string());
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(source.next(frame));
      EXPECT_EQ(frame, patternFrame(33, 20, Depth::Half, i)) << i;
      sink.write(frame);
    }
    sink.close();
  }
  FrameSource back(33, 20, Depth::Half, (dir / "out.raw").string());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(back.next(frame));
    EXPECT_EQ(frame, patternFrame(33, 20, Depth::Half, i));
  }
  EXPECT_FALSE(back.next(frame));
  EXPECT_THROW(FrameSink((dir / "no-such-dir" / "x.raw").string()), std::runtime_error);
}

// Whichever way up the host keeps its rows, the frame's top row is the image's top.
TEST(RunnerImages, FramesMeetImagesTheRightWayUp) {
  const int w = 3, h = 4;
  std::vector<std::uint8_t> frame(frameBytes(w, h, Depth::Byte));
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i);
  const size_t row = frame.size() / h;
  for (bool bottomUp : {false, true}) {
    Host host;
    Clip clip;
    clip.name = "Source";
    clip.image = ClipImage{"OfxBitDepthByte", "OfxImageComponentRGBA", {0, 0, w, h}, bottomUp, 1.0};
    std::vector<std::uint8_t> seen;
    clip.onFetch = [&](PropertySet& image, OfxTime) {
      putFrame(frame, h, image);
      // Row 0 is the bottom of the picture: the frame's last row.
      const auto* bottom = static_cast<const std::uint8_t*>(image.pointer("OfxImagePropData"));
      seen.assign(bottom, bottom + row);
    };
    std::vector<std::uint8_t> back(frame.size());
    clip.onRelease = [&](const PropertySet& image) { takeFrame(image, h, back); };
    PropertySet* image = host.newImage(clip, 0.0);
    EXPECT_EQ(seen, std::vector<std::uint8_t>(frame.end() - static_cast<std::ptrdiff_t>(row), frame.end()));
    const int rowBytes = image->integer("OfxImagePropRowBytes");
    const auto* top = static_cast<const std::uint8_t*>(image->pointer("OfxImagePropData")) + 3 * rowBytes;
    EXPECT_EQ(std::vector<std::uint8_t>(top, top + row), std::vector<std::uint8_t>(frame.begin(), frame.begin() + 12));
    ASSERT_EQ(host.releaseImage(image), kOfxStatOK);
    EXPECT_EQ(back, frame) << (bottomUp ? "rows stored top first" : "rows stored bottom first");
  }
}

TEST(RunnerPacing, DeadlinesFollowTheExactRate) {
  EXPECT_EQ(frameOffsetUs(0, {25, 1}), 0);
  EXPECT_EQ(frameOffsetUs(1, {25, 1}), 40000);
  EXPECT_EQ(frameOffsetUs(90001, {25, 1}), 3600040000);
  const Rate ntsc{30000, 1001};
  EXPECT_EQ(frameOffsetUs(1, ntsc), 33366);
  EXPECT_EQ(frameOffsetUs(2, ntsc), 66733);
  EXPECT_EQ(frameOffsetUs(30000, ntsc), 1001000000) << "30000 frames take exactly 1001 seconds";
  EXPECT_EQ(frameOffsetUs(30000 * 1000 + 1, ntsc), 1001000000000 + 33366);
  // Against a wide integer: floor(frame * den * 10^6 / num), far along the timeline.
  __extension__ using Wide = __int128;
  for (Rate r : {Rate{30000, 1001}, Rate{24000, 1001}, Rate{1000, 1}, Rate{1, 1}, Rate{119, 2}}) {
    std::int64_t previous = -1;
    for (std::int64_t f : {std::int64_t{0}, std::int64_t{1}, std::int64_t{999}, std::int64_t{123456789},
                           std::int64_t{9'999'999'999}, std::int64_t{10'000'000'000}}) {
      const auto expected = static_cast<std::int64_t>(Wide(f) * r.den * 1'000'000 / r.num);
      EXPECT_EQ(frameOffsetUs(f, r), expected) << r.num << "/" << r.den << " frame " << f;
      EXPECT_GT(frameOffsetUs(f, r), previous);
      previous = frameOffsetUs(f, r);
    }
  }
}

}  // namespace
}  // namespace vl::host
