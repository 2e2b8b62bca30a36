#pragma once
// Command-line options of the development service.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace vl::dev {

// Misbehaviour for tests, each tied to a request path. A path ending in "*"
// matches every path that begins with the part before it.
struct Faults {
  std::vector<std::pair<std::string, int>> fail;               // PATH=STATUS
  std::vector<std::pair<std::string, int>> delayMs;            // PATH=MS
  std::vector<std::pair<std::string, std::size_t>> hugeBytes;  // PATH[=BYTES]
  std::vector<std::string> endless;
  std::vector<std::string> garbage;
  std::vector<std::string> redirect;
};

struct Options {
  int port = 0;        // 0 picks a free port
  int ingestPort = 0;  // 0 picks a free port
  int targetPort = 0;  // port named in stream targets; 0 names the ingest's own
  std::filesystem::path recordDir;  // empty makes a fresh temporary folder
  std::string email = "dev@veltrane.invalid";
  std::string password = "veltrane-dev";
  std::vector<std::string> tokens;  // valid from the start
  int intervalS = 2;
  int expiresS = 300;
  bool autoApprove = false;
  std::uint64_t maxBitrateBps = 20'000'000;  // 0 leaves the limit out
  std::int32_t maxWidth = 3840;
  std::int32_t maxHeight = 2160;
  bool log = false;
  bool help = false;
  Faults faults;
};

// Bodies at or under this size are the largest the plug-in accepts.
inline constexpr std::size_t clientBodyLimitBytes = 2 * 1024 * 1024;

// Throws std::runtime_error naming the offending argument.
Options parseOptions(const std::vector<std::string>& args);

const char* usage();

}  // namespace vl::dev
