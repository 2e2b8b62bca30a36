// The built veltrane-host, run as a user runs it.
#include "Options.h"
#include "RunnerFixture.h"

#include <algorithm>
#include <chrono>

namespace vl::host {
namespace {

using RunnerCommand = RunnerTest;
using std::chrono::steady_clock;

bool says(const Ran& r, const std::string& text) { return r.err.find(text) != std::string::npos; }

TEST_F(RunnerCommand, OutputOfThePatternInEveryDepthIsThePatternItself) {
  for (const char* depth : {"byte", "short", "half", "float"}) {
    const std::string out = (dir / (std::string(depth) + ".raw")).string();
    const Ran r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "96x54", "--depth", depth, "--frames", "12",
                       "--pattern", "--output", out});
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(bytes(out), patternFrames(96, 54, parseDepth(depth), 12)) << depth;
    EXPECT_TRUE(says(r, "12 frames rendered") && says(r, "all actions OK")) << r.err;
  }
}

TEST_F(RunnerCommand, RawFramesFromAPipeOrAFileComeOutUnchanged) {
  const std::vector<std::uint8_t> frames = patternFrames(40, 30, Depth::Short, 5);
  writeFile(dir / "in.raw", frames);
  const std::string in = (dir / "in.raw").string();
  const std::vector<std::string> args{"--bundle", PASSTHROUGH_BUNDLE, "--size", "40x30", "--depth", "short", "--input"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), args.begin(), args.end());
    return more;
  };
  Ran r = run(with({"-", "--output", "-"}), "cat " + quoted(in) + " | ");
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(std::vector<std::uint8_t>(r.out.begin(), r.out.end()), frames) << "the input's length decides";
  EXPECT_TRUE(says(r, "5 frames rendered")) << r.err;

  r = run(with({"-"}), "head -c " + std::to_string(frames.size() - 10) + " " + quoted(in) + " | ");
  EXPECT_EQ(r.exit, 1) << "a frame cut short is an error, not a frame";
  EXPECT_TRUE(says(r, "The input standard input ends inside frame 4: 9590 of 9600 bytes")) << r.err;

  r = run(with({in, "--frames", "6"}));
  EXPECT_EQ(r.exit, 1);
  EXPECT_TRUE(says(r, "The input held 5 frames, fewer than the 6 asked for.")) << r.err;
}

TEST_F(RunnerCommand, BadArgumentsAndFailedActionsExitNonZero) {
  Ran r = run({"--size", "big"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "veltrane-host: The size must be WIDTHxHEIGHT with both from 1 to 16384, not \"big\".\n");
  r = run({"--help"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("--press-at FRAME:NAME"), std::string::npos);
  r = run({"--bundle", (dir / "none.ofx").string(), "--frames", "1"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_TRUE(says(r, "Cannot load the bundle")) << r.err;

  // A render that fails is counted and named; the rest of the timeline still plays.
  r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "8x8", "--frames", "4", "--output", (dir / "o.raw").string()},
          "PASSTHROUGH_FAIL_AT=2 ");
  EXPECT_EQ(r.exit, 1);
  EXPECT_TRUE(says(r, "4 frames rendered") && says(r, "failed: OfxImageEffectActionRender status 1 x1")) << r.err;
  std::vector<std::uint8_t> expected = patternFrames(8, 8, Depth::Float, 4);
  const size_t frame = frameBytes(8, 8, Depth::Float);
  std::fill_n(expected.begin() + 2 * frame, frame, 0);  // the failed frame's output never came back: black
  EXPECT_EQ(bytes(dir / "o.raw"), expected) << "every frame keeps its place in the output";
}

TEST_F(RunnerCommand, TheBuiltPlugInPlaysATimeline) {
  // The bundle folder stands for its binary.
  const std::string folder = std::filesystem::path(VELTRANE_BUNDLE_PATH).parent_path().parent_path().parent_path();
  const std::string out = (dir / "out.raw").string();
  const Ran r = run({"--bundle", folder, "--size", "320x180", "--depth", "half", "--fps", "29.97", "--seconds", "1",
                     "--sequence", "export", "--set", "latency=120", "--set-at", "10:enabled=0", "--press-at",
                     "20:advancedToggle", "--output", out});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_TRUE(says(r, "30 frames rendered")) << r.err;
  EXPECT_EQ(bytes(out).size(), 30 * frameBytes(320, 180, Depth::Half));

  const Ran bad = run({"--frames", "3", "--set", "bitratePreset=Ultra"});
  EXPECT_EQ(bad.exit, 1);
  EXPECT_TRUE(says(bad, "\"bitratePreset\": it is neither an option's label nor an option's index")) << bad.err;
}

// Rendered in strips, the picture still comes out whole, and the effect's sender counts
// one picture per frame (the status is pressed before the last frame renders).
TEST_F(RunnerCommand, TheBuiltPlugInRenderedInStripsSendsOnePicturePerFrame) {
  const std::string out = (dir / "out.raw").string();
  const Ran r = run({"--bundle", VELTRANE_BUNDLE_PATH, "--size", "64x36", "--depth", "byte", "--frames", "5",
                     "--strips", "4", "--set", "apiBase=http://127.0.0.1:9", "--set", "enabled=1", "--press-at",
                     "4:status", "--output", out},
                    "VELTRANE_DIALOGS=terminal </dev/null ");
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(bytes(out), patternFrames(64, 36, Depth::Byte, 5));
  EXPECT_TRUE(says(r, "Host frames: 4\n")) << r.err;
}

TEST_F(RunnerCommand, RealtimePlayKeepsToTheClock) {
  // Twenty frames at 50 per second: the last is due 380 ms after the first.
  auto before = steady_clock::now();
  Ran r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "32x18", "--fps", "50", "--frames", "20", "--realtime"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_GE(steady_clock::now() - before, std::chrono::milliseconds(380)) << "renders waited for their deadlines";
  // Without --realtime nothing waits: paced, the third frame would be due two seconds in.
  before = steady_clock::now();
  r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "32x18", "--fps", "1", "--frames", "3"});
  EXPECT_TRUE(r.exit == 0 && says(r, "3 frames rendered")) << r.err;
  EXPECT_LT(steady_clock::now() - before, std::chrono::seconds(2));
}

}  // namespace
}  // namespace vl::host
