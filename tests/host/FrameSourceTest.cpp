#include "FrameSource.h"
#include "Host.h"
#include "Pacing.h"
#include "RunnerFixture.h"

#include <functional>
#include <stdexcept>

namespace vl::host {
namespace {

using RunnerFrames = RunnerTest;

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST_F(RunnerFrames, RawInputReadsWholeFramesAndRefusesAShortLastOne) {
  std::vector<std::uint8_t> data(2 * 168 + 100);  // 7x3 short: 168 bytes a frame
  for (size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 31);
  writeFile(dir / "in.raw", data);
  FrameSource source(7, 3, Depth::Short, (dir / "in.raw").string());
  std::vector<std::uint8_t> frame;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(source.next(frame));
    EXPECT_EQ(frame, std::vector<std::uint8_t>(data.begin() + 168 * i, data.begin() + 168 * (i + 1)));
  }
  EXPECT_NE(errorOf([&] { source.next(frame); }).find("ends inside frame 2: 100 of 168 bytes"), std::string::npos)
      << "a partial frame must not pass as a frame";
  EXPECT_EQ(source.produced(), 2);

  data.resize(2 * 168);
  writeFile(dir / "exact.raw", data);
  FrameSource exact(7, 3, Depth::Short, (dir / "exact.raw").string());
  EXPECT_TRUE(exact.next(frame) && exact.next(frame));
  EXPECT_FALSE(exact.next(frame)) << "a whole number of frames ends cleanly";
  EXPECT_NE(errorOf([&] { FrameSource(7, 3, Depth::Byte, (dir / "missing.raw").string()); }).find("Cannot open the input"),
            std::string::npos);
}

TEST_F(RunnerFrames, PatternSourceAndSinkRoundTrip) {
  FrameSource source(33, 20, Depth::Half, "");
  std::vector<std::uint8_t> frame;
  {
    FrameSink sink((dir / "out.raw").string());
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(source.next(frame));
      EXPECT_EQ(frame, patternFrames(33, 20, Depth::Half, 1, i)) << i;
      sink.write(frame);
    }
    sink.close();
  }
  EXPECT_EQ(bytes(dir / "out.raw"), patternFrames(33, 20, Depth::Half, 3));
  EXPECT_THROW(FrameSink((dir / "no-such-dir" / "x.raw").string()), std::runtime_error);
}

// Whichever way up the host keeps its rows, the frame's top row is the image's top.
TEST(RunnerImages, FramesMeetImagesTheRightWayUp) {
  const int w = 3, h = 4;
  std::vector<std::uint8_t> frame(frameBytes(w, h, Depth::Byte));
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = std::uint8_t(i);
  const std::vector<std::uint8_t> top(frame.begin(), frame.begin() + 12), bottom(frame.end() - 12, frame.end());
  for (bool bottomUp : {false, true}) {
    Host host;
    Clip clip;
    clip.name = "Source";
    clip.image = ClipImage{"OfxBitDepthByte", "OfxImageComponentRGBA", {0, 0, w, h}, bottomUp, 1.0};
    std::vector<std::uint8_t> seen, back(frame.size());
    clip.onFetch = [&](PropertySet& image, OfxTime) {
      putFrame(frame, h, image);
      const auto* row0 = static_cast<const std::uint8_t*>(image.pointer("OfxImagePropData"));
      seen.assign(row0, row0 + 12);
    };
    clip.onRelease = [&](const PropertySet& image) { takeFrame(image, h, back); };
    PropertySet* image = host.newImage(clip, 0.0);
    EXPECT_EQ(seen, bottom) << "image row 0 is the bottom of the picture";
    const auto* row3 = static_cast<const std::uint8_t*>(image->pointer("OfxImagePropData")) +
                       3 * image->integer("OfxImagePropRowBytes");
    EXPECT_EQ(std::vector<std::uint8_t>(row3, row3 + 12), top);
    ASSERT_EQ(host.releaseImage(image), kOfxStatOK);
    EXPECT_EQ(back, frame) << (bottomUp ? "rows stored top first" : "rows stored bottom first");
  }
}

TEST(RunnerPacing, DeadlinesFollowTheExactRate) {
  EXPECT_EQ(frameOffsetUs(1, {25, 1}), 40000);
  EXPECT_EQ(frameOffsetUs(30000, {30000, 1001}), 1001000000) << "30000 frames take exactly 1001 seconds";
  // Against a wide integer: floor(frame * den * 10^6 / num), far along the timeline.
  __extension__ using Wide = __int128;
  for (Rate r : {Rate{25, 1}, Rate{30000, 1001}, Rate{24000, 1001}, Rate{1000, 1}, Rate{1, 1}, Rate{119, 2}}) {
    std::int64_t previous = -1;
    for (std::int64_t f : {0L, 1L, 2L, 999L, 90001L, 30'000'001L, 123456789L, 9'999'999'999L, 10'000'000'000L}) {
      const auto expected = static_cast<std::int64_t>(Wide(f) * r.den * 1'000'000 / r.num);
      EXPECT_EQ(frameOffsetUs(f, r), expected) << r.num << "/" << r.den << " frame " << f;
      EXPECT_GT(frameOffsetUs(f, r), previous);
      previous = frameOffsetUs(f, r);
    }
  }
}

}  // namespace
}  // namespace vl::host
