#pragma once
// Where the timeline's pictures come from: the test pattern, or raw frames
// read from a file or a pipe.
#include "Options.h"
#include "Pattern.h"
#include "PropertySet.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl::host {

struct FileCloser {
  void operator()(std::FILE* f) const;
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Between a frame (top row first) and a host image, whose row 0 is the bottom one
// and whose rows may lie in memory either way up. Both have the frame's size.
void putFrame(const std::vector<std::uint8_t>& frame, int height, const PropertySet& image);
// Only rows y1 to y2 (bottom up, as the image counts them) when given.
void takeFrame(const PropertySet& image, int height, std::vector<std::uint8_t>& frame, int y1 = 0, int y2 = -1);

class FrameSource {
 public:
  // An empty input means the pattern; "-" reads standard input.
  FrameSource(int width, int height, Depth depth, const std::string& input);

  // Fills frame with the next picture (RGBA, top row first). False at the end of
  // the input, which only a whole number of frames may reach; a partial last
  // frame throws.
  bool next(std::vector<std::uint8_t>& frame);
  std::int64_t produced() const { return produced_; }

 private:
  int width_;
  int height_;
  Depth depth_;
  std::optional<Pattern> pattern_;
  File file_;  // null for the pattern
  std::string name_;
  std::int64_t produced_ = 0;
};

// Raw frames out, the same layout as they come in.
class FrameSink {
 public:
  explicit FrameSink(const std::string& output);  // "-" writes standard output
  void write(const std::vector<std::uint8_t>& frame);
  void close();  // throws when the last bytes cannot be written

 private:
  File file_;
  std::string name_;
};

}  // namespace vl::host
