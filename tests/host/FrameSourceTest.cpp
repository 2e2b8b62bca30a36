#include "FrameSource.h"
#include "Host.h"
#include "RunnerFixture.h"

#include "../support/Failure.h"

namespace vl::host {
namespace {

using RunnerFrames = RunnerTest;

using test::failure;

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
  EXPECT_NE(failure([&] { source.next(frame); }).find("ends inside frame 2: 100 of 168 bytes"), std::string::npos)
      << "a partial frame must not pass as a frame";
  EXPECT_EQ(source.produced(), 2);

  data.resize(2 * 168);
  writeFile(dir / "exact.raw", data);
  FrameSource exact(7, 3, Depth::Short, (dir / "exact.raw").string());
  EXPECT_TRUE(exact.next(frame) && exact.next(frame));
  EXPECT_FALSE(exact.next(frame)) << "a whole number of frames ends cleanly";
  EXPECT_NE(failure([&] { FrameSource(7, 3, Depth::Byte, (dir / "missing.raw").string()); }).find("Cannot open the input"),
            std::string::npos);
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

}  // namespace
}  // namespace vl::host
