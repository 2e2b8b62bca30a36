// The built bundle in the command-line host, rendered in strips as tiling hosts do.
#include "Options.h"
#include "Pattern.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vl::host {
namespace {

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The picture still comes out whole, and the sender counts one picture per frame (the
// status is pressed before the last frame renders).
TEST(HostStrips, TheBuiltPlugInRenderedInStripsSendsOnePicturePerFrame) {
  const auto dir = std::filesystem::temp_directory_path() / ("veltrane-strips-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string cmd = "VELTRANE_DIALOGS=terminal '" VELTRANE_HOST_RUNNER "' --bundle '" VELTRANE_BUNDLE_PATH
                          "' --size 64x36 --depth byte --frames 5 --strips 4 --set apiBase=http://127.0.0.1:9"
                          " --set enabled=1 --press-at 4:status --output '" +
                          (dir / "out.raw").string() + "' </dev/null >/dev/null 2>'" + (dir / "err").string() + "'";
  const int status = std::system(cmd.c_str());
  const std::string out = slurp(dir / "out.raw"), err = slurp(dir / "err");
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
  const std::size_t frame = frameBytes(64, 36, Depth::Byte);
  std::string expected(frame * 5, '\0');
  for (int i = 0; i < 5; ++i)
    Pattern(64, 36, Depth::Byte).draw(i, reinterpret_cast<std::uint8_t*>(expected.data()) + frame * i);
  EXPECT_EQ(out, expected);
  EXPECT_NE(err.find("Host frames: 4\n"), std::string::npos) << err;
}

}  // namespace
}  // namespace vl::host
