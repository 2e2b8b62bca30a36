#include "InstanceFixture.h"

#include <limits>
#include <random>

namespace vl::host {
namespace {

using testing::HasSubstr;

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

// A host may render a frame in strips, each handed the whole source: only each strip is
// written, one picture goes out per frame, and rows rendered again at a time already
// rendered are the frame rendered again (a paused frame after an edit).
TEST_F(RenderTest, StripsOfAFrameMakeOnePicture) {
  create();
  enable();
  picture({0, 0, 8, 8});
  struct Case {
    const char* name;
    double time;
    std::vector<OfxRectI> windows;
    int pictures;  // in all, after the case
  };
  const Case cases[] = {
      {"bottom up", 0, {{0, 0, 8, 2}, {0, 2, 8, 4}, {0, 4, 8, 6}, {0, 6, 8, 8}}, 1},
      {"the same frame again, top down", 0, {{0, 6, 8, 8}, {0, 4, 8, 6}, {0, 2, 8, 4}, {0, 0, 8, 2}}, 2},
      {"out of order", 1, {{0, 2, 8, 4}, {0, 6, 8, 8}, {0, 0, 8, 2}, {0, 4, 8, 6}}, 3},
      {"overlapping", 2, {{0, 0, 8, 5}, {0, 3, 8, 8}}, 5},
      {"a part of a whole frame", 2, {{2, 4, 6, 6}}, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const OfxRectI& w : c.windows) {
      ASSERT_EQ(render({c.time, w}), kOfxStatOK);
      for (size_t i = 0; i < source().pixels.size(); ++i) {
        const int x = int(i / 4 % 8), y = int(i / 32);
        const bool inside = x >= w.x1 && x < w.x2 && y >= w.y1 && y < w.y2;
        ASSERT_EQ(output().released[i], inside ? source().pixels[i] : 0) << x << "," << y;
      }
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
      {"aspect NaN counts as 1", {0, 0, 32, 36}, whole, false, kNaN},
      {"fractional edges round outwards", {0, 0, 64, 36}, OfxRectD{0.5, 0.5, 63.5, 35.5}, true},
      {"a fraction past the edge", {0, 0, 64, 36}, OfxRectD{0, 0, 64.25, 36}, false},
      {"half scale", {0, 0, 64, 36}, whole, false, 1.0, 0.5, 0.5},
      {"thumbnail", {0, 0, 64, 36}, whole, false, 1.0, 1.0, 1.0, 1},
      {"aborted", {0, 0, 64, 36}, whole, false, 1.0, 1.0, 1.0, -1, true},
      {"no region: full scale decides", {0, 0, 64, 18}, whole, true, 1.0, 1.0, 1.0, -1, false, true},
  };
  int sent = 0, time = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    picture(c.bounds, c.rod, c.aspect);
    fx->aborted = c.aborted;
    host.fault("clipGetRegionOfDefinition", c.rodFails ? 0 : 1 << 30);
    ASSERT_EQ(render({double(time++), c.bounds, c.scaleX, c.scaleY, c.thumbnail}), kOfxStatOK);
    EXPECT_TRUE(output().released == source().pixels);
    const int now = frames();
    EXPECT_EQ(now - sent, c.sent);
    sent = now;
  }
  fx->aborted = false;
  // An invalid panel still passes the picture through and sends nothing.
  set("bitratePreset", 7);
  ASSERT_EQ(render(time++), kOfxStatOK);
  EXPECT_TRUE(output().released == source().pixels);
  set("bitratePreset", 1);
  EXPECT_EQ(frames(), sent);
  // Exports only with their own switch, which only they read.
  ASSERT_EQ(sequence(true), kOfxStatOK);
  ASSERT_EQ(render(time++), kOfxStatOK);
  set("sendExports", 1);
  ASSERT_EQ(render(time++), kOfxStatOK);
  set("sendExports", 0);
  ASSERT_EQ(sequence(false), kOfxStatOK);
  ASSERT_EQ(render(time++), kOfxStatOK);
  EXPECT_EQ(frames(), sent + 2) << "an export with the switch, then interactive again";
  EXPECT_EQ(param("sendExports").readTimes.size(), 2u);
  // Switching off takes effect at the next render, even without a panel refresh.
  set("enabled", 0);
  ASSERT_EQ(render(time++), kOfxStatOK);
  EXPECT_EQ(frames(), sent + 2);
  EXPECT_THAT(status(), HasSubstr("Stopped"));
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

  source().image.depth = "OfxBitDepthDouble";
  EXPECT_EQ(render(), kOfxStatFailed) << "an unsupported depth";
  EXPECT_EQ(host.liveImages(), 0u);
}

}  // namespace
}  // namespace vl::host
