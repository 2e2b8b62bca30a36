#include "Options.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

namespace vl::host {
namespace {

Options parse(const std::vector<std::string>& args) { return parseOptions(args, "/built/veltrane.ofx"); }

TEST(RunnerOptions, DefaultsAndEveryOption) {
  const Options d = parse({});
  EXPECT_EQ(std::tuple(d.bundle, d.width, d.height, d.depth, d.rate.num, d.frames, d.realtime, d.interactive),
            std::tuple("/built/veltrane.ofx", 1920, 1080, Depth::Float, 25, 250, false, true))
      << "ten seconds of 1080p pattern by default";

  const Options o = parse({"--bundle", "/x/y.ofx", "--size=1280x720", "--depth", "half", "--fps", "50", "--frames",
                           "7", "--realtime", "--sequence", "export", "--input", "-", "--output", "out.raw",
                           "--set", "latency=200", "--set-at", "3:metadata={\"a\":1}", "--press", "login",
                           "--press-at", "5:status", "--wait-after", "1.5"});
  EXPECT_EQ(std::tuple(o.bundle, o.width, o.height, o.depth, o.rate.num, o.frames, o.realtime, o.interactive),
            std::tuple("/x/y.ofx", 1280, 720, Depth::Half, 50, 7, true, false));
  EXPECT_EQ(std::tuple(o.input, o.output, o.waitAfterSeconds), std::tuple("-", "out.raw", 1.5));
  using E = std::tuple<std::int64_t, std::string, std::optional<std::string>>;
  std::vector<E> edits;
  for (const Edit& e : o.edits) edits.emplace_back(e.frame, e.name, e.value);
  EXPECT_EQ(edits, (std::vector<E>{{-1, "latency", "200"}, {3, "metadata", "{\"a\":1}"}, {-1, "login", std::nullopt},
                                   {5, "status", std::nullopt}}))
      << "only the first = splits; a press has no value";

  EXPECT_FALSE(parse({"--input", "frames.raw"}).frames.has_value()) << "the input's length decides";
  EXPECT_EQ(parse({"--seconds", "2", "--fps", "30000/1001"}).frames, 60);
  EXPECT_EQ(parse({"--seconds", "0.5"}).frames, 13) << "12.5 frames round to 13";
  EXPECT_EQ(parse({"--set", "metadata="}).edits[0].value, "") << "an empty value is a value";
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_EQ(parseOptions({"--bundle", "b.ofx"}, "").bundle, "b.ofx");
  EXPECT_THROW(parseOptions({}, ""), std::runtime_error) << "no bundle at all";
}

TEST(RunnerOptions, RatesAreExactFractions) {
  const std::pair<const char*, Rate> good[] = {{"25", {25, 1}},         {"30000/1001", {30000, 1001}},
                                               {"60000/2002", {30000, 1001}}, {"29.97", {30000, 1001}},
                                               {"23.976", {24000, 1001}}, {"59.94", {60000, 1001}},
                                               {"12.5", {25, 2}},       {"29.5", {59, 2}}};
  for (const auto& [text, r] : good) {
    const Rate got = parseRate(text);
    EXPECT_EQ(std::pair(got.num, got.den), std::pair(r.num, r.den)) << text;
  }
  for (const char* bad : {"0", "-25", "abc", "25fps", "1/0", "0/1", "", "2001", "1001/1", "25.", ".5", "1/2", "25/"})
    EXPECT_THROW(parseRate(bad), std::runtime_error) << bad;
}

TEST(RunnerOptions, BadInputGivesSentencesNamingIt) {
  const char* const any = "";  // refused, whatever the words
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"--size", "1920"}, "The size must be WIDTHxHEIGHT with both from 1 to 16384, not \"1920\"."},
      {{"--size", "0x1080"}, "The size must be WIDTHxHEIGHT with both from 1 to 16384, not \"0x1080\"."},
      {{"--size", "20000x10"}, any},
      {{"--size", "19x-2"}, any},
      {{"--depth", "double"}, "The depth must be byte, short, half or float, not \"double\"."},
      {{"--fps", "fast"}, "The frame rate must be from 1 to 1000, as 25, 29.97 or 30000/1001, not \"fast\"."},
      {{"--frames"}, "The option --frames needs a value."},
      {{"--frames", "0"}, "The number of frames must be from 1 to 10000000000."},
      {{"--frames", "ten"}, "The number of frames must be a whole number of zero or more, not \"ten\"."},
      {{"--frames", "3", "--seconds", "1"}, "Give either --frames or --seconds, not both."},
      {{"--seconds", "0"}, "The length in seconds must be above 0."},
      {{"--seconds", "nan"}, any},
      {{"--seconds", "inf"}, any},
      {{"--sequence", "render"}, "The sequence must be interactive or export, not \"render\"."},
      {{"--pattern", "--input", "a.raw"}, "Give either --pattern or --input, not both."},
      {{"--realtime=yes"}, "The option --realtime takes no value."},
      {{"--loop"}, "Unknown option \"--loop\". Run with --help for the list."},
      {{"frames.raw"}, "Unknown option \"frames.raw\". Run with --help for the list."},
      {{"--set", "latency"}, "The option --set takes NAME=VALUE, not \"latency\"."},
      {{"--set", "=5"}, "The option --set takes NAME=VALUE, not \"=5\"."},
      {{"--set-at", "latency=5"}, "The option --set-at takes FRAME:..., not \"latency=5\"."},
      {{"--press-at", "x:login"}, "The frame of --press-at must be a whole number of zero or more, not \"x\"."},
      {{"--press-at", "4:"}, "The option --press-at needs a button name."},
      {{"--frames", "10", "--press-at", "10:status"}, "The edit of \"status\" at frame 10 lies past the last frame (9)."},
      {{"--wait-after", "-1"}, "The wait after the last frame must be a number of seconds of zero or more, not \"-1\"."},
      {{"--input", ""}, "The option --input needs a file name, or - for standard input."},
  };
  for (const auto& [args, message] : cases) {
    try {
      parse(args);
      ADD_FAILURE() << args[0] << " was accepted";
    } catch (const std::runtime_error& e) {
      if (message != any) EXPECT_EQ(e.what(), std::string(message));
    }
  }
}

}  // namespace
}  // namespace vl::host
