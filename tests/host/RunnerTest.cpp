// The built veltrane-host, run as a user runs it.
#include "Options.h"
#include "Pattern.h"
#include "RunnerFixture.h"

#include <chrono>

namespace vl::host {
namespace {

using RunnerCommand = RunnerTest;

std::vector<std::uint8_t> patternFrames(int w, int h, Depth d, int count) {
  const Pattern p(w, h, d);
  std::vector<std::uint8_t> out(frameBytes(w, h, d) * static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) p.draw(i, out.data() + frameBytes(w, h, d) * static_cast<size_t>(i));
  return out;
}

TEST_F(RunnerCommand, OutputOfThePatternInEveryDepthIsThePatternItself) {
  for (const char* depth : {"byte", "short", "half", "float"}) {
    const std::string out = (dir / (std::string(depth) + ".raw")).string();
    const Ran r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "96x54", "--depth", depth, "--frames", "12",
                       "--pattern", "--output", out});
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(bytes(out), patternFrames(96, 54, parseDepth(depth), 12)) << depth;
    EXPECT_NE(r.err.find("12 frames rendered"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("all actions OK"), std::string::npos) << r.err;
  }
}

TEST_F(RunnerCommand, RawFramesFromAPipeOrAFileComeOutUnchanged) {
  const std::vector<std::uint8_t> frames = patternFrames(40, 30, Depth::Short, 5);
  std::ofstream((dir / "in.raw"), std::ios::binary)
      .write(reinterpret_cast<const char*>(frames.data()), std::streamsize(frames.size()));
  const std::string in = quoted((dir / "in.raw").string());

  Ran r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "40x30", "--depth", "short", "--input", "-", "--output", "-"},
              "cat " + in + " | ");
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(std::vector<std::uint8_t>(r.out.begin(), r.out.end()), frames) << "the input's length decides";
  EXPECT_NE(r.err.find("5 frames rendered"), std::string::npos) << r.err;

  // A frame cut short is an error, not a frame.
  r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "40x30", "--depth", "short", "--input", "-"},
          "head -c " + std::to_string(frames.size() - 10) + " " + in + " | ");
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("The input standard input ends inside frame 4: 9590 of 9600 bytes"), std::string::npos)
      << r.err;

  // Asking for more frames than the file holds fails once the file runs out.
  r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "40x30", "--depth", "short", "--input", (dir / "in.raw").string(),
           "--frames", "6"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("The input held 5 frames, fewer than the 6 asked for."), std::string::npos) << r.err;

  // The wrong depth for the file reads as a partial frame.
  r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "40x30", "--depth", "float", "--input", (dir / "in.raw").string()});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("ends inside frame 2"), std::string::npos) << r.err;
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
  EXPECT_NE(r.err.find("Cannot load the bundle"), std::string::npos) << r.err;

  // A render that fails is counted and named; the rest of the timeline still plays.
  r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "8x8", "--frames", "4", "--output", (dir / "o.raw").string()},
          "PASSTHROUGH_FAIL_AT=2 ");
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("4 frames rendered"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("failed: OfxImageEffectActionRender status 1 x1"), std::string::npos) << r.err;
  const std::vector<std::uint8_t> out = bytes(dir / "o.raw");
  const std::vector<std::uint8_t> expected = patternFrames(8, 8, Depth::Float, 4);
  ASSERT_EQ(out.size(), expected.size()) << "every frame keeps its place in the output";
  const size_t frame = frameBytes(8, 8, Depth::Float);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 2 * frame, expected.begin()));
  EXPECT_EQ(std::count(out.begin() + 2 * frame, out.begin() + 3 * frame, 0), std::ptrdiff_t(frame))
      << "the failed frame's output never came back: black";
  EXPECT_TRUE(std::equal(out.begin() + 3 * frame, out.end(), expected.begin() + 3 * frame));
}

TEST_F(RunnerCommand, TheBuiltPlugInPlaysATimeline) {
  // The bundle folder stands for its binary.
  const std::string folder = std::filesystem::path(VELTRANE_BUNDLE_PATH).parent_path().parent_path().parent_path();
  const std::string out = (dir / "out.raw").string();
  const Ran r = run({"--bundle", folder, "--size", "320x180", "--depth", "half", "--fps", "29.97", "--seconds", "1",
                     "--sequence", "export", "--set", "latency=120", "--set-at", "10:enabled=0", "--press-at",
                     "20:advancedToggle", "--output", out});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.err.find("30 frames rendered"), std::string::npos) << r.err;
  EXPECT_EQ(bytes(out).size(), 30 * frameBytes(320, 180, Depth::Half));

  const Ran bad = run({"--frames", "3", "--set", "bitratePreset=Ultra"});
  EXPECT_EQ(bad.exit, 1);
  EXPECT_NE(bad.err.find("\"bitratePreset\": it is neither an option's label nor an option's index"),
            std::string::npos)
      << bad.err;
}

TEST_F(RunnerCommand, RealtimePlayKeepsToTheClock) {
  // Twenty frames at 50 per second: the last is due 380 ms after the first.
  const auto before = std::chrono::steady_clock::now();
  const Ran r = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "32x18", "--fps", "50", "--frames", "20", "--realtime"});
  const auto took = std::chrono::steady_clock::now() - before;
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_GE(took, std::chrono::milliseconds(380)) << "renders waited for their deadlines";
  const Ran fast = run({"--bundle", PASSTHROUGH_BUNDLE, "--size", "32x18", "--fps", "1", "--frames", "3"});
  EXPECT_EQ(fast.exit, 0) << "without --realtime nothing waits for a one-second frame";
  EXPECT_NE(fast.err.find("3 frames rendered"), std::string::npos);
}

}  // namespace
}  // namespace vl::host
