#include "InstanceFixture.h"

#include <algorithm>
#include <limits>
#include <random>

namespace vl::host {
namespace {

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class RenderTest : public InstanceTest {
 protected:
  // Random bytes: every bit pattern a sample can hold, NaNs and infinities included.
  void fill(Clip& clip) {
    const ClipImage& s = clip.image;
    const size_t sample = s.depth == "OfxBitDepthByte" ? 1 : s.depth == "OfxBitDepthFloat" ? 4 : 2;
    const size_t channels = s.components == "OfxImageComponentRGB" ? 3 : 4;
    std::mt19937 random(7);
    clip.pixels.resize(size_t(s.bounds.x2 - s.bounds.x1) * size_t(s.bounds.y2 - s.bounds.y1) * channels * sample);
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

  // A filled byte picture with a region of definition and a pixel aspect of the test's choosing.
  void picture(OfxRectI bounds, std::optional<OfxRectD> rod = {}, double aspect = 1.0) {
    ClipImage image;
    image.depth = "OfxBitDepthByte";
    image.bounds = bounds;
    image.pixelAspect = aspect;
    shape(image);
    source().regionOfDefinition = rod;
    fill(source());
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
  picture({0, 0, 12, 8});
  RenderArgs args;
  args.window = {2, 1, 10, 5};
  ASSERT_EQ(render(args), kOfxStatOK);
  const auto& in = source().pixels;
  const auto& out = output().released;
  ASSERT_EQ(out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const size_t x = i / 4 % 12, y = i / 48;
    ASSERT_EQ(out[i], x >= 2 && x < 10 && y >= 1 && y < 5 ? in[i] : 0) << x << "," << y;
  }
}

// A host may render a frame in strips, each handed the whole source: every strip is
// copied, one picture goes out per frame, and rows rendered again at a time already
// rendered are the frame rendered again (a paused frame after an edit).
TEST_F(RenderTest, StripsOfAFrameMakeOnePicture) {
  create();
  enable();
  picture({0, 0, 8, 8});
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

// Only a full-scale, whole, finished picture of an enabled instance goes to the sender;
// every render still copies the picture.
TEST_F(RenderTest, WhichRendersAreSent) {
  create();
  picture({0, 0, 64, 36});
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), 0) << "not enabled";
  enable();
  struct Case {
    const char* name;
    OfxRectI bounds;
    std::optional<OfxRectD> rod;
    bool sent;
    double aspect = 1.0, scaleX = 1.0, scaleY = 1.0;
    int thumbnail = -1;
    bool aborted = false, rodFails = false;
  };
  const OfxRectD whole{0, 0, 64, 36};
  const Case cases[] = {
      {"whole", {0, 0, 64, 36}, whole, true},
      {"partial", {0, 0, 64, 18}, whole, false},
      {"x halved by the pixel aspect", {0, 0, 32, 36}, whole, true, 2.0},
      {"aspect 0 counts as 1", {0, 0, 32, 36}, whole, false, 0.0},
      {"aspect -1 counts as 1", {0, 0, 32, 36}, whole, false, -1.0},
      {"aspect NaN counts as 1", {0, 0, 32, 36}, whole, false, kNaN},
      {"aspect NaN, whole", {0, 0, 64, 36}, whole, true, kNaN},
      {"fractional edges round outwards", {0, 0, 64, 36}, OfxRectD{0.5, 0.5, 63.5, 35.5}, true},
      {"a fraction past the edge", {0, 0, 64, 36}, OfxRectD{0, 0, 64.25, 36}, false},
      {"a fraction before the edge", {0, 1, 64, 36}, OfxRectD{0, 0.5, 64, 36}, false},
      {"NaN region", {0, 0, 64, 36}, OfxRectD{0, 0, kNaN, 36}, false},
      {"half scale", {0, 0, 64, 36}, whole, false, 1.0, 0.5, 0.5},
      {"one axis scaled", {0, 0, 64, 36}, whole, false, 1.0, 1.0, 0.5},
      {"NaN scale", {0, 0, 64, 36}, whole, false, 1.0, kNaN, kNaN},
      {"thumbnail", {0, 0, 64, 36}, whole, false, 1.0, 1.0, 1.0, 1},
      {"not a thumbnail", {0, 0, 64, 36}, whole, true, 1.0, 1.0, 1.0, 0},
      {"aborted", {0, 0, 64, 36}, whole, false, 1.0, 1.0, 1.0, -1, true},
      {"no region: full scale decides", {0, 0, 64, 18}, whole, true, 1.0, 1.0, 1.0, -1, false, true},
      {"no region at half scale", {0, 0, 64, 18}, whole, false, 1.0, 0.5, 0.5, -1, false, true},
  };
  int sent = 0, time = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    picture(c.bounds, c.rod, c.aspect);
    RenderArgs args;
    args.time = time++;
    args.window = c.bounds;
    args.scaleX = c.scaleX;
    args.scaleY = c.scaleY;
    args.thumbnail = c.thumbnail;
    fx->aborted = c.aborted;
    host.fault("clipGetRegionOfDefinition", c.rodFails ? 0 : 1 << 30);
    ASSERT_EQ(render(args), kOfxStatOK);
    EXPECT_TRUE(output().released == source().pixels);
    const int now = frames();
    EXPECT_EQ(now - sent, c.sent);
    sent = now;
  }
  // Switching off takes effect at the next render, even without a panel refresh.
  fx->aborted = false;
  set("enabled", 0);
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(frames(), sent);
  EXPECT_THAT(status(), HasSubstr("Stopped"));
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
  // A begin without the flag counts as interactive.
  PropertySet bare;
  ASSERT_EQ(action(plugin, "OfxImageEffectActionBeginSequenceRender", fx->handle(), &bare), kOfxStatOK);
  ASSERT_EQ(render(3.0), kOfxStatOK);
  EXPECT_EQ(frames(), 3);
  EXPECT_EQ(param("sendExports").readTimes, (std::vector<double>{0.0, 1.0})) << "read only for exports";
}

// Creation reads the panel at time 0, a render at its own time, anything else the current values.
TEST_F(RenderTest, ReadsTakeTheRenderTime) {
  make();
  param("showAdvanced").keys[0.0] = Value(1);  // the current value stays 0
  param("enabled").keys[3.0] = Value(1);       // on at frame 3 only
  create();
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Hide advanced settings");
  EXPECT_EQ(param("color").readTimes, std::vector<double>{0.0});
  for (double time : {2.0, 3.0, 4.0}) ASSERT_EQ(render(time), kOfxStatOK);
  EXPECT_EQ(param("enabled").readTimes, (std::vector<double>{2.0, 3.0, 4.0}));
  EXPECT_EQ(param("enabled").reads, 0);
  EXPECT_EQ(frames(), 1);
  EXPECT_GT(param("enabled").reads, 0) << "outside a render the current value is read";
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6");

  // A change delivered on another thread in the middle of a render reads current values.
  const int before = param("showAdvanced").reads;
  host.before("paramGetValueAtTime",
              [&] { EXPECT_EQ(instanceChangedOnThread(plugin, *fx, "latency", 0.0).changed, kOfxStatOK); });
  ASSERT_EQ(render(5.0), kOfxStatOK);
  EXPECT_GT(param("showAdvanced").reads, before);
  EXPECT_EQ(param("showAdvanced").readTimes, (std::vector<double>{0.0})) << "only the first panel state is timed";
}

TEST_F(RenderTest, InvalidPanelStillRendersAndPrintsThreeCaptureLines) {
  create();
  enable();
  fill(source());
  set("bitratePreset", 7);
  CaptureStderr();
  ASSERT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(GetCapturedStderr(), "") << "nothing without diagnostics, and the counter stays";
  setenv("VELTRANE_OFX_DIAGNOSTICS", "1", 1);
  CaptureStderr();
  for (int i = 0; i < 5; ++i) {
    source().pixels[0] = static_cast<unsigned char>(i);
    ASSERT_EQ(render(1.0 + i), kOfxStatOK);
    EXPECT_TRUE(output().released == source().pixels);
  }
  const std::string line = "[veltrane OFX] Capture: Invalid video bitrate\n";
  const std::string printed = GetCapturedStderr();
  size_t count = 0;
  for (size_t at = printed.find(line); at != std::string::npos; at = printed.find(line, at + 1)) ++count;
  EXPECT_EQ(count, 3u) << printed;
  unsetenv("VELTRANE_OFX_DIAGNOSTICS");
  set("bitratePreset", 1);
  EXPECT_EQ(frames(), 0) << "no frame from the failing renders";
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

  setenv("VELTRANE_OFX_DIAGNOSTICS", "1", 1);
  source().image.depth = "OfxBitDepthDouble";
  CaptureStderr();
  EXPECT_EQ(render(), kOfxStatFailed);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("Host action failed: Unsupported OpenFX image depth\n"));
  EXPECT_EQ(host.liveImages(), 0u);
}

TEST_F(RenderTest, ClipPreferencesAndRegionsOfInterest) {
  create();
  PropertySet prefs{true};
  ASSERT_EQ(action(plugin, "OfxImageEffectActionGetClipPreferences", fx->handle(), nullptr, &prefs), kOfxStatOK);
  EXPECT_EQ(prefs.names(), std::vector<std::string>{"OfxImageEffectFrameVarying"});
  EXPECT_EQ(prefs.integer("OfxImageEffectFrameVarying"), 1);

  source().regionOfDefinition = OfxRectD{-10, -5, 1910.5, 1080};
  PropertySet in;
  in.define("OfxPropTime", 12.0);
  in.define("OfxImageEffectPropRegionOfInterest", PropType::Double, {0.0, 0.0, 8.0, 8.0});
  PropertySet out{true};
  ASSERT_EQ(action(plugin, "OfxImageEffectActionGetRegionsOfInterest", fx->handle(), &in, &out), kOfxStatOK);
  ASSERT_EQ(out.dim("OfxImageClipPropRoI_Source"), 4);
  const double expected[] = {-10, -5, 1910.5, 1080};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out.number("OfxImageClipPropRoI_Source", i), expected[i]) << i;

  host.fault("clipGetRegionOfDefinition");
  EXPECT_EQ(action(plugin, "OfxImageEffectActionGetRegionsOfInterest", fx->handle(), &in, &out), kOfxStatFailed);
}

}  // namespace
}  // namespace vl::host
