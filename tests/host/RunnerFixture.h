#pragma once
// Runs the built veltrane-host as a user would and hands back what it said.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vl::host {

struct Ran {
  int exit = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> bytes(const std::filesystem::path& path) {
  const std::string s = slurp(path);
  return {s.begin(), s.end()};
}

inline std::string quoted(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// A scratch folder of the test's own, removed afterwards.
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
    Ran r;
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(dir / "stdout");
    r.err = slurp(dir / "stderr");
    return r;
  }

  std::filesystem::path dir;
};

}  // namespace vl::host
