#pragma once
// A scratch folder per test, and the built veltrane-host run as a user would.
#include "Pattern.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vl::host {

inline std::vector<std::uint8_t> bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// Frames first to first + count - 1 of the test pattern, back to back.
inline std::vector<std::uint8_t> patternFrames(int w, int h, Depth d, int count, int first = 0) {
  const size_t one = frameBytes(w, h, d);
  std::vector<std::uint8_t> out(one * size_t(count));
  for (int i = 0; i < count; ++i) Pattern(w, h, d).draw(first + i, out.data() + one * size_t(i));
  return out;
}

inline std::string quoted(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Ran {
  int exit = -1;
  std::string out, err;
};

class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = std::filesystem::temp_directory_path() /
          ("veltrane-runner-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // prefix goes before the command (environment, a pipe feeding stdin).
  Ran run(const std::vector<std::string>& args, const std::string& prefix = "") const {
    std::string cmd = prefix + quoted(VELTRANE_HOST_RUNNER);
    for (const std::string& a : args) cmd += " " + quoted(a);
    cmd += " >" + quoted((dir / "stdout").string()) + " 2>" + quoted((dir / "stderr").string());
    const int status = std::system(cmd.c_str());
    const auto out = bytes(dir / "stdout"), err = bytes(dir / "stderr");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, {out.begin(), out.end()}, {err.begin(), err.end()}};
  }

  std::filesystem::path dir;
};

}  // namespace vl::host
