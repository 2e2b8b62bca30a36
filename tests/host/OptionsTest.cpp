#include "Options.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vl::host {
namespace {

Options parse(const std::vector<std::string>& args) { return parseOptions(args, "/built/veltrane.ofx"); }

// The message of the error parsing args gives, or "" when it parses.
std::string refusal(const std::vector<std::string>& args) {
  try {
    parse(args);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(RunnerOptions, DefaultsAndEveryOption) {
  const Options d = parse({});
  EXPECT_EQ(d.bundle, "/built/veltrane.ofx");
  EXPECT_EQ(d.width, 1920);
  EXPECT_EQ(d.height, 1080);
  EXPECT_EQ(d.depth, Depth::Float);
  EXPECT_EQ(d.rate.num, 25);
  EXPECT_EQ(d.frames, 250) << "ten seconds of pattern by default";
  EXPECT_FALSE(d.realtime);
  EXPECT_TRUE(d.interactive);

  const Options o = parse({"--bundle", "/x/y.ofx", "--size=1280x720", "--depth", "half", "--fps", "50", "--frames",
                           "7", "--realtime", "--sequence", "export", "--input", "-", "--output", "out.raw",
                           "--set", "latency=200", "--set-at", "3:metadata={\"a\":1}", "--press", "login",
                           "--press-at", "5:status", "--wait-after", "1.5"});
  EXPECT_EQ(o.bundle, "/x/y.ofx");
  EXPECT_EQ(o.width, 1280);
  EXPECT_EQ(o.height, 720);
  EXPECT_EQ(o.depth, Depth::Half);
  EXPECT_EQ(o.rate.num, 50);
  EXPECT_EQ(o.frames, 7);
  EXPECT_TRUE(o.realtime);
  EXPECT_FALSE(o.interactive);
  EXPECT_EQ(o.input, "-");
  EXPECT_EQ(o.output, "out.raw");
  EXPECT_DOUBLE_EQ(o.waitAfterSeconds, 1.5);
  ASSERT_EQ(o.edits.size(), 4u);
  EXPECT_EQ(o.edits[0].frame, -1);
  EXPECT_EQ(o.edits[0].name, "latency");
  EXPECT_EQ(o.edits[0].value, "200");
  EXPECT_EQ(o.edits[1].frame, 3);
  EXPECT_EQ(o.edits[1].value, "{\"a\":1}") << "only the first = splits";
  EXPECT_EQ(o.edits[2].name, "login");
  EXPECT_FALSE(o.edits[2].value.has_value());
  EXPECT_EQ(o.edits[3].frame, 5);
  EXPECT_EQ(o.edits[3].name, "status");

  EXPECT_FALSE(parse({"--input", "frames.raw"}).frames.has_value()) << "the input's length decides";
  EXPECT_EQ(parse({"--seconds", "2", "--fps", "30000/1001"}).frames, 60);
  EXPECT_EQ(parse({"--seconds", "0.5"}).frames, 13) << "12.5 frames round to 13";
  EXPECT_EQ(parse({"--set", "metadata="}).edits[0].value, "") << "an empty value is a value";
  EXPECT_TRUE(parse({"--help"}).help);
}

TEST(RunnerOptions, RatesAreExactFractions) {
  auto rate = [](const std::string& text) {
    const Rate r = parseRate(text);
    return std::to_string(r.num) + "/" + std::to_string(r.den);
  };
  EXPECT_EQ(rate("25"), "25/1");
  EXPECT_EQ(rate("30000/1001"), "30000/1001");
  EXPECT_EQ(rate("60000/2002"), "30000/1001");
  EXPECT_EQ(rate("29.97"), "30000/1001");
  EXPECT_EQ(rate("23.976"), "24000/1001");
  EXPECT_EQ(rate("59.94"), "60000/1001");
  EXPECT_EQ(rate("12.5"), "25/2");
  EXPECT_EQ(rate("30"), "30/1") << "a whole rate stays whole";
  EXPECT_EQ(rate("29.5"), "59/2");
  for (const char* bad : {"0", "-25", "abc", "25fps", "1/0", "0/1", "", "2001", "1001/1", "25.", ".5", "1/2", "25/"})
    EXPECT_THROW(parseRate(bad), std::runtime_error) << bad;
}

TEST(RunnerOptions, BadInputGivesSentencesNamingIt) {
  EXPECT_EQ(refusal({"--size", "1920"}), "The size must be WIDTHxHEIGHT with both from 1 to 16384, not \"1920\".");
  EXPECT_EQ(refusal({"--size", "0x1080"}), "The size must be WIDTHxHEIGHT with both from 1 to 16384, not \"0x1080\".");
  EXPECT_NE(refusal({"--size", "20000x10"}), "");
  EXPECT_NE(refusal({"--size", "19x-2"}), "");
  EXPECT_EQ(refusal({"--depth", "double"}), "The depth must be byte, short, half or float, not \"double\".");
  EXPECT_EQ(refusal({"--fps", "fast"}),
            "The frame rate must be from 1 to 1000, as 25, 29.97 or 30000/1001, not \"fast\".");
  EXPECT_EQ(refusal({"--frames"}), "The option --frames needs a value.");
  EXPECT_EQ(refusal({"--frames", "0"}), "The number of frames must be from 1 to 10000000000.");
  EXPECT_EQ(refusal({"--frames", "ten"}), "The number of frames must be a whole number of zero or more, not \"ten\".");
  EXPECT_EQ(refusal({"--frames", "3", "--seconds", "1"}), "Give either --frames or --seconds, not both.");
  EXPECT_EQ(refusal({"--seconds", "0"}), "The length in seconds must be above 0.");
  EXPECT_NE(refusal({"--seconds", "nan"}), "");
  EXPECT_NE(refusal({"--seconds", "inf"}), "");
  EXPECT_EQ(refusal({"--sequence", "render"}), "The sequence must be interactive or export, not \"render\".");
  EXPECT_EQ(refusal({"--pattern", "--input", "a.raw"}), "Give either --pattern or --input, not both.");
  EXPECT_EQ(refusal({"--realtime=yes"}), "The option --realtime takes no value.");
  EXPECT_EQ(refusal({"--loop"}), "Unknown option \"--loop\". Run with --help for the list.");
  EXPECT_EQ(refusal({"frames.raw"}), "Unknown option \"frames.raw\". Run with --help for the list.");
  EXPECT_EQ(refusal({"--set", "latency"}), "The option --set takes NAME=VALUE, not \"latency\".");
  EXPECT_EQ(refusal({"--set", "=5"}), "The option --set takes NAME=VALUE, not \"=5\".");
  EXPECT_EQ(refusal({"--set-at", "latency=5"}), "The option --set-at takes FRAME:..., not \"latency=5\".");
  EXPECT_EQ(refusal({"--press-at", "x:login"}),
            "The frame of --press-at must be a whole number of zero or more, not \"x\".");
  EXPECT_EQ(refusal({"--press-at", "4:"}), "The option --press-at needs a button name.");
  EXPECT_EQ(refusal({"--frames", "10", "--press-at", "10:status"}),
            "The edit of \"status\" at frame 10 lies past the last frame (9).");
  EXPECT_EQ(refusal({"--wait-after", "-1"}),
            "The wait after the last frame must be a number of seconds of zero or more, not \"-1\".");
  EXPECT_EQ(refusal({"--input", ""}), "The option --input needs a file name, or - for standard input.");
  EXPECT_THROW(parseOptions({}, ""), std::runtime_error) << "no bundle at all";
  EXPECT_EQ(parseOptions({"--bundle", "b.ofx"}, "").bundle, "b.ofx");
}

}  // namespace
}  // namespace vl::host
