#pragma once
// Where the timeline's pictures come from: the test pattern, or raw frames
// read from a file or a pipe.
#include "Options.h"
#include "Pattern.h"

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
