#include "InstanceFixture.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace vl::host {
namespace {

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

int bytesPerSample(const std::string& depth) {
  if (depth == "OfxBitDepthByte") return 1;
  if (depth == "OfxBitDepthFloat") return 4;
  return 2;
}

class RenderTest : public InstanceTest {
 protected:
  // Random bytes: every bit pattern a sample can hold, NaNs and infinities included.
  void fill(Clip& clip, unsigned seed = 7) {
    const ClipImage& s = clip.image;
    const int channels = s.components == "OfxImageComponentRGB" ? 3 : 4;
    const size_t size = size_t(s.bounds.x2 - s.bounds.x1) * size_t(s.bounds.y2 - s.bounds.y1) * size_t(channels) *
                        size_t(bytesPerSample(s.depth));
    std::mt19937 random(seed);
    clip.pixels.resize(size);
    for (auto& b : clip.pixels) b = static_cast<unsigned char>(random());
  }

  // Host frames the sender accepted, from the status dialog.
  int frames() {
    const std::string shown = status();
    const auto at = shown.find("Host frames: ");
    if (at == std::string::npos) throw std::runtime_error("no status shown: " + shown);
    return std::stoi(shown.substr(at + 13));
  }

  void enable() {
    set("enabled", 1);
    press("enabled");
  }

  // A byte picture from the origin, its source filled.
  void bytePicture(int width, int height) {
    ClipImage image;
    image.depth = "OfxBitDepthByte";
    image.bounds = {0, 0, width, height};
    shape(image);
    fill(source());
  }

  // A 1920 x 1080 byte picture with a region of definition and a pixel aspect of the test's choosing.
  void picture(OfxRectI bounds, OfxRectD rod, double aspect = 1.0) {
    ClipImage image;
    image.depth = "OfxBitDepthByte";
    image.bounds = bounds;
    image.pixelAspect = aspect;
    shape(image);
    source().regionOfDefinition = rod;
  }
};

// Streamed, the picture is copied in the same pass as it is captured.
TEST_F(RenderTest, PicturePassesThroughBitExact) {
  create();
  int sent = 0;
  for (bool streamed : {false, true}) {
    if (streamed) enable();
    for (const char* depth : {"OfxBitDepthByte", "OfxBitDepthShort", "OfxBitDepthHalf", "OfxBitDepthFloat"})
      for (const char* components : {"OfxImageComponentRGBA", "OfxImageComponentRGB"})
        for (bool bottomUp : {false, true}) {
          SCOPED_TRACE(std::string(depth) + " " + components + (bottomUp ? " bottom-up" : "") +
                       (streamed ? " streamed" : ""));
          ClipImage image;
          image.depth = depth;
          image.components = components;
          image.bounds = {-3, 2, 37, 25};
          image.bottomUp = bottomUp;
          shape(image);
          source().regionOfDefinition = {-3, 2, 37, 25};
          fill(source());
          ASSERT_EQ(render(), kOfxStatOK);
          EXPECT_TRUE(output().released == source().pixels);
          EXPECT_EQ(host.liveImages(), 0u);
          sent += streamed;
          EXPECT_EQ(frames(), sent);
        }
  }
}

TEST_F(RenderTest, OnlyTheRenderWindowIsWritten) {
  create();
  bytePicture(12, 8);
  RenderArgs args;
  args.window = {2, 1, 10, 5};
  ASSERT_EQ(render(args), kOfxStatOK);
  const auto& in = source().pixels;
  const auto& out = output().released;
  ASSERT_EQ(out.size(), in.size());
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 12; ++x)
      for (int c = 0; c < 4; ++c) {
        const size_t i = (size_t(y) * 12 + size_t(x)) * 4 + size_t(c);
        const bool inside = x >= 2 && x < 10 && y >= 1 && y < 5;
        ASSERT_EQ(out[i], inside ? in[i] : 0) << x << "," << y;
      }
}

// A host may render a frame in strips, each handed the whole source: every strip is
// copied, one picture goes out per frame, and rows rendered again at a time already
// rendered are the frame rendered again (a paused frame after an edit).
TEST_F(RenderTest, StripsOfAFrameMakeOnePicture) {
  create();
  enable();
  bytePicture(8, 8);
  struct Case {
    const char* name;
    double time;
    std::vector<std::pair<int, int>> rows;
    int pictures;  // in all, after the case
  };
  const Case cases[] = {{"bottom up", 0, {{0, 2}, {2, 4}, {4, 6}, {6, 8}}, 1},
                        {"the same frame again, top down", 0, {{6, 8}, {4, 6}, {2, 4}, {0, 2}}, 2},
                        {"out of order", 1, {{2, 4}, {6, 8}, {0, 2}, {4, 6}}, 3},
                        {"overlapping", 2, {{0, 5}, {3, 8}}, 5},
                        {"a strip of a whole frame", 2, {{4, 6}}, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [y1, y2] : c.rows) {
      RenderArgs args;
      args.time = c.time;
      args.window = {0, y1, 8, y2};
      ASSERT_EQ(render(args), kOfxStatOK);
      const size_t row = 8 * 4;
      EXPECT_TRUE(std::equal(source().pixels.begin() + y1 * row, source().pixels.begin() + y2 * row,
                             output().released.begin() + y1 * row))
          << "rows " << y1 << " to " << y2 << " copied";
    }
    EXPECT_EQ(frames(), c.pictures);
  }
}

TEST_F(RenderTest, FramesReachTheSenderOnlyWhileEnabled) {
  create();
  fill(source());
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 0);
  EXPECT_TRUE(output().released == source().pixels);

  enable();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(render(i), kOfxStatOK);
  EXPECT_EQ(frames(), 3);

  // Switching off takes effect at the next render, even without a panel refresh.
  set("enabled", 0);
  ASSERT_EQ(render(3.0), kOfxStatOK);
  EXPECT_EQ(frames(), 3);
  EXPECT_THAT(status(), HasSubstr("Stopped"));
  EXPECT_TRUE(output().released == source().pixels);
}

TEST_F(RenderTest, ReducedThumbnailAndAbortedRendersSendNothing) {
  create();
  enable();
  fill(source());
  RenderArgs half;
  half.scaleX = half.scaleY = 0.5;
  half.window = source().image.bounds;
  ASSERT_EQ(render(half), kOfxStatOK);
  EXPECT_TRUE(output().released == source().pixels) << "the picture is still copied";
  RenderArgs wide = half;
  wide.scaleX = 1.0;  // one axis off is enough
  ASSERT_EQ(render(wide), kOfxStatOK);
  RenderArgs nan = half;
  nan.scaleX = nan.scaleY = std::numeric_limits<double>::quiet_NaN();
  ASSERT_EQ(render(nan), kOfxStatOK);
  RenderArgs thumbnail;
  thumbnail.window = source().image.bounds;
  thumbnail.thumbnail = 1;
  ASSERT_EQ(render(thumbnail), kOfxStatOK);
  EXPECT_TRUE(output().released == source().pixels);
  EXPECT_EQ(frames(), 0);

  thumbnail.thumbnail = 0;
  ASSERT_EQ(render(thumbnail), kOfxStatOK);
  EXPECT_EQ(frames(), 1);

  fx->aborted = true;
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_TRUE(output().released == source().pixels);
  EXPECT_EQ(frames(), 1);
  fx->aborted = false;
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 2);
}

TEST_F(RenderTest, OnlyPicturesHoldingTheWholeRegionAreSent) {
  create();
  enable();
  picture({0, 0, 1920, 1080}, {0, 0, 1920, 1080});
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 1);

  picture({0, 0, 1920, 540}, {0, 0, 1920, 1080});
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 1) << "a partial render";

  picture({0, 0, 960, 1080}, {0, 0, 1920, 1080}, 2.0);
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 2) << "x is halved by the pixel aspect ratio";

  for (double aspect : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    picture({0, 0, 960, 1080}, {0, 0, 1920, 1080}, aspect);
    ASSERT_EQ(render(), kOfxStatOK);
    picture({0, 0, 1920, 1080}, {0, 0, 1920, 1080}, aspect);
    ASSERT_EQ(render(), kOfxStatOK);
  }
  EXPECT_EQ(frames(), 5) << "an unusable aspect ratio counts as 1";

  // Fractional edges round outwards before the comparison.
  picture({0, 0, 1920, 1080}, {0.5, 0.5, 1919.5, 1079.5});
  ASSERT_EQ(render(), kOfxStatOK);
  picture({0, 0, 1920, 1080}, {0, 0, 1920.25, 1080});
  ASSERT_EQ(render(), kOfxStatOK);
  picture({0, 1, 1920, 1080}, {0, 0.5, 1920, 1080});
  ASSERT_EQ(render(), kOfxStatOK);
  picture({0, 0, 1920, 1080}, {0, 0, std::numeric_limits<double>::quiet_NaN(), 1080});
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 6);
}

TEST_F(RenderTest, WithoutARegionOfDefinitionTheScaleDecides) {
  create();
  enable();
  picture({0, 0, 1920, 540}, {0, 0, 1920, 1080});
  host.fault("clipGetRegionOfDefinition");
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 1);
  RenderArgs half;
  half.scaleX = half.scaleY = 0.5;
  ASSERT_EQ(render(half), kOfxStatOK);
  EXPECT_EQ(frames(), 1);
}

TEST_F(RenderTest, ExportsAreSentOnlyWithSendExports) {
  create();
  enable();
  ASSERT_EQ(sequence(true, 0), kOfxStatOK);
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 0);
  set("sendExports", 1);
  ASSERT_EQ(render(1.0), kOfxStatOK);
  EXPECT_EQ(frames(), 1);
  set("sendExports", 0);
  ASSERT_EQ(sequence(false, 0), kOfxStatOK);
  ASSERT_EQ(render(2.0), kOfxStatOK);
  EXPECT_EQ(frames(), 2) << "interactive sending resumes after the sequence";

  ASSERT_EQ(sequence(true, 1), kOfxStatOK);
  ASSERT_EQ(render(3.0), kOfxStatOK);
  EXPECT_EQ(frames(), 3);
  // A begin without the flag counts as interactive.
  PropertySet bare;
  ASSERT_EQ(action(plugin, "OfxImageEffectActionBeginSequenceRender", fx->handle(), &bare), kOfxStatOK);
  ASSERT_EQ(render(4.0), kOfxStatOK);
  EXPECT_EQ(frames(), 4);
  EXPECT_EQ(param("sendExports").readTimes, (std::vector<double>{0.0, 1.0})) << "read only for exports";
}

TEST_F(RenderTest, ReadsTakeTheRenderTime) {
  create();
  param("enabled").keys[3.0] = Value(1);  // on at frame 3 only
  ASSERT_EQ(render(2.0), kOfxStatOK);
  ASSERT_EQ(render(3.0), kOfxStatOK);
  ASSERT_EQ(render(4.0), kOfxStatOK);
  EXPECT_EQ(param("enabled").readTimes, (std::vector<double>{2.0, 3.0, 4.0}));
  EXPECT_EQ(param("enabled").reads, 0);
  const int current = param("enabled").reads;
  EXPECT_EQ(frames(), 1);
  EXPECT_GT(param("enabled").reads, current) << "outside a render the current value is read";
  EXPECT_EQ(param("enabled").readTimes.size(), 3u);

  // A change delivered on another thread in the middle of a render reads current values.
  const int before = param("showAdvanced").reads;
  host.before("paramGetValueAtTime", [&] { EXPECT_EQ(instanceChangedOnThread(plugin, *fx, "latency", 0.0).changed, kOfxStatOK); });
  ASSERT_EQ(render(5.0), kOfxStatOK);
  EXPECT_GT(param("showAdvanced").reads, before);
  EXPECT_EQ(param("showAdvanced").readTimes, (std::vector<double>{0.0})) << "only the first panel state is timed";
}

TEST_F(RenderTest, InvalidPanelStillRendersAndPrintsThreeCaptureLines) {
  create();
  enable();
  fill(source());
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 1);
  set("bitratePreset", 7);
  CaptureStderr();
  ASSERT_EQ(render(1.0), kOfxStatOK);
  EXPECT_EQ(GetCapturedStderr(), "") << "nothing without diagnostics, and the counter stays";
  setenv("VELTRANE_OFX_DIAGNOSTICS", "1", 1);
  CaptureStderr();
  for (int i = 0; i < 5; ++i) {
    source().pixels[0] = static_cast<unsigned char>(i);
    ASSERT_EQ(render(2.0 + i), kOfxStatOK);
    EXPECT_TRUE(output().released == source().pixels);
  }
  const std::string line = "[veltrane OFX] Capture: Invalid video bitrate\n";
  const std::string printed = GetCapturedStderr();
  size_t count = 0;
  for (size_t at = printed.find(line); at != std::string::npos; at = printed.find(line, at + 1)) ++count;
  EXPECT_EQ(count, 3u) << printed;
  unsetenv("VELTRANE_OFX_DIAGNOSTICS");
  set("bitratePreset", 1);
  EXPECT_EQ(frames(), 1) << "no frame from the failing renders";
}

TEST_F(RenderTest, UnsupportedDepthFailsAndReleasesTheImages) {
  create();
  setenv("VELTRANE_OFX_DIAGNOSTICS", "1", 1);
  source().image.depth = "OfxBitDepthDouble";
  CaptureStderr();
  EXPECT_EQ(render(), kOfxStatFailed);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("Host action failed: Unsupported OpenFX image depth\n"));
  EXPECT_EQ(host.liveImages(), 0u);
}

TEST_F(RenderTest, HostFailuresReleaseWhatWasFetched) {
  create();
  enable();
  fill(source());
  // Output fetch, source data, output bounds, render window: each leaves nothing behind.
  const std::vector<std::pair<std::string, int>> faults{
      {"clipGetImage", 1}, {"propGetPointer", 1}, {"propGetIntN", 1}, {"propGetIntN", 2}, {"propGetDouble", 0}};
  for (const auto& [function, skip] : faults) {
    SCOPED_TRACE(function + " after " + std::to_string(skip));
    host.fault(function, skip);
    EXPECT_EQ(render(), kOfxStatFailed);
    host.fault(function, 1 << 30);
    EXPECT_EQ(host.liveImages(), 0u);
    for (unsigned char b : output().released) ASSERT_EQ(b, 0) << "no output was written";
  }
  EXPECT_EQ(frames(), 0);
  // Reads after a failed render are current again.
  const size_t timedReads = param("enabled").readTimes.size();
  press("latency");
  EXPECT_EQ(param("enabled").readTimes.size(), timedReads);
}

TEST_F(RenderTest, ClipPreferencesAndRegionsOfInterest) {
  create();
  PropertySet prefs{true};
  ASSERT_EQ(action(plugin, "OfxImageEffectActionGetClipPreferences", fx->handle(), nullptr, &prefs), kOfxStatOK);
  EXPECT_EQ(prefs.integer("OfxImageEffectFrameVarying"), 1);
  EXPECT_EQ(prefs.names(), std::vector<std::string>{"OfxImageEffectFrameVarying"});

  source().regionOfDefinition = OfxRectD{-10, -5, 1910.5, 1080};
  PropertySet in;
  in.define("OfxPropTime", 12.0);
  in.define("OfxImageEffectPropRegionOfInterest", PropType::Double, {0.0, 0.0, 8.0, 8.0});
  PropertySet out{true};
  ASSERT_EQ(action(plugin, "OfxImageEffectActionGetRegionsOfInterest", fx->handle(), &in, &out), kOfxStatOK);
  ASSERT_EQ(out.dim("OfxImageClipPropRoI_Source"), 4);
  EXPECT_EQ(out.number("OfxImageClipPropRoI_Source", 0), -10);
  EXPECT_EQ(out.number("OfxImageClipPropRoI_Source", 1), -5);
  EXPECT_EQ(out.number("OfxImageClipPropRoI_Source", 2), 1910.5);
  EXPECT_EQ(out.number("OfxImageClipPropRoI_Source", 3), 1080);

  host.fault("clipGetRegionOfDefinition");
  EXPECT_EQ(action(plugin, "OfxImageEffectActionGetRegionsOfInterest", fx->handle(), &in, &out), kOfxStatFailed);
}

}  // namespace
}  // namespace vl::host
