#pragma once
// What the command-line runner is asked to play, parsed from its arguments.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl::host {

enum class Depth { Byte, Short, Half, Float };

// Frames per second as an exact fraction, so 30000/1001 never drifts.
struct Rate {
  std::int64_t num = 25;
  std::int64_t den = 1;
  double fps() const { return static_cast<double>(num) / static_cast<double>(den); }
};

// A parameter edit or a button press, before play (frame -1) or before a frame renders.
struct Edit {
  std::int64_t frame = -1;
  std::string name;
  std::optional<std::string> value;  // empty for a press
};

struct Options {
  std::string bundle;
  int width = 1920;
  int height = 1080;
  Depth depth = Depth::Float;
  Rate rate;
  std::optional<std::int64_t> frames;  // from --frames or --seconds; else the input's length
  bool realtime = false;
  bool interactive = true;
  std::string input;  // empty: the test pattern; "-": standard input
  std::string output;  // empty: none; "-": standard output
  std::vector<Edit> edits;  // in command-line order
  double waitAfterSeconds = 0.0;
  int strips = 1;  // render calls per frame, each a horizontal band of the picture
  bool changesOnWrite = false;  // the effect's own parameter writes come back as instance-changed
  std::vector<std::string> preload;  // libraries opened into the global scope before the bundle
  bool help = false;
};

// Throws std::runtime_error with a sentence that names the offending argument.
Options parseOptions(const std::vector<std::string>& args, const std::string& defaultBundle);
Rate parseRate(const std::string& text);
Depth parseDepth(const std::string& text);
std::string usage();

const char* depthName(Depth depth);  // the OpenFX name, "OfxBitDepthFloat"
int bytesPerSample(Depth depth);
std::size_t frameBytes(int width, int height, Depth depth);  // RGBA, no padding

}  // namespace vl::host
