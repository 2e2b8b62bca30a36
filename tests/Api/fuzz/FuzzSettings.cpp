// Feeds arbitrary panel text to settings validation: the first line is the server
// origin, the rest the custom metadata. Whatever validation accepts must build a
// metadata SEI for both codecs.
#include "Core/Settings.h"
#include "Transport/MetadataSei.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto newline = input.find('\n');
  vl::Settings settings;
  settings.viewerId = "fuzz";
  settings.apiBase = input.substr(0, newline);
  settings.metadata = newline == std::string::npos ? "{}" : input.substr(newline + 1);
  try {
    vl::validate(settings);
  } catch (const std::runtime_error&) {
    return 0;
  }
  for (bool hevc : {false, true}) {
    const auto sei = vl::metadataSEI(settings, hevc);
    if (sei.size() < 5 || sei[0] != 0 || sei[1] != 0 || sei[2] != 0 || sei[3] != 1) __builtin_trap();
  }
  return 0;
}
