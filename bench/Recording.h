#pragma once
// Reads back what the ingest recorded: each picture's time stamp and the number
// the benchmark stamped into its top-left corner.
#include "Core/Image.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace vl::bench {

// Sixteen 32-pixel squares along the top edge, white for a one bit.
constexpr int kStampBits = 16;
constexpr int kStampBlock = 32;

void stamp(Frame& frame, std::uint32_t number);

struct RecordedPicture {
  std::int64_t pts90k = 0;
  int number = -1;  // -1 when not decoded
};

// Pictures in stream order. Numbers are read only when decodeNumbers is set,
// since decoding 1080p costs far more than demuxing.
std::vector<RecordedPicture> readRecording(const std::filesystem::path& file, bool decodeNumbers);

}  // namespace vl::bench
