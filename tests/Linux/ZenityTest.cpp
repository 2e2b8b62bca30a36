// The zenity toolkit showing a real window on a virtual display of the test's own.
#include "Linux/Child.h"
#include "Linux/Toolkits.h"
#include "Failure.h"
#include "Wait.h"
#include "VirtualDisplay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Our own zenity children, alive or not yet reaped.
std::vector<pid_t> zenityChildren() {
  vl::Child pgrep({"pgrep", "-x", "-P", std::to_string(getpid()), "zenity"});
  pgrep.wait();
  std::istringstream lines(pgrep.output());
  std::vector<pid_t> found;
  for (pid_t pid; lines >> pid;) found.push_back(pid);
  return found;
}

using vl::test::VirtualDisplay;

// Share of pixels that differ from the top-left one: 0 for a blank screen.
double nonUniformShare(const std::string& ppm) {
  std::istringstream in(ppm);
  std::string magic;
  int width = 0, height = 0, maxValue = 0;
  in >> magic >> width >> height >> maxValue;
  in.get();
  const std::size_t bytes = maxValue > 255 ? 6 : 3, offset = static_cast<std::size_t>(in.tellg());
  const std::size_t pixels = static_cast<std::size_t>(std::max(width, 0)) * static_cast<std::size_t>(std::max(height, 0));
  if (magic != "P6" || pixels == 0 || ppm.size() < offset + pixels * bytes) return 0;
  std::size_t differing = 0;
  for (std::size_t i = 1; i < pixels; ++i) differing += ppm.compare(offset + i * bytes, bytes, ppm, offset, bytes) != 0;
  return static_cast<double>(differing) / static_cast<double>(pixels);
}

class Zenity : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("DISPLAY", display_.name().c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus to wait for
    toolkit_ = vl::makeProgramToolkit(vl::DialogProgram::zenity);
  }

  VirtualDisplay display_;
  std::unique_ptr<vl::Toolkit> toolkit_;
};

TEST_F(Zenity, AlertIsVisibleAndEndingItLeavesNoProcess) {
  EXPECT_LT(nonUniformShare(display_.screenshot()), 0.001);  // blank before
  double shown = 0;
  std::vector<pid_t> during;
  const auto start = Clock::now();
  auto end = toolkit_->alert("Finish signing in using your browser",
                             "http://127.0.0.1:1\n\nCheck this code in the browser: ABCD-2345",
                             "Cancel sign-in", [&] {
                               if (during.empty()) during = zenityChildren();
                               if (Clock::now() - start < 500ms) return false;
                               const std::string shot = display_.screenshot();
                               shown = nonUniformShare(shot);
                               if (shown > 0.01)  // kept for a look when something seems off
                                 std::ofstream("zenity-alert.ppm", std::ios::binary) << shot;
                               return shown > 0.01 || Clock::now() - start > 30s;
                             });
  EXPECT_EQ(end, vl::AlertEnd::finished);
  EXPECT_GT(shown, 0.01) << "the screen stayed uniform";
  ASSERT_EQ(during.size(), 1u);
  EXPECT_TRUE(zenityChildren().empty());
  EXPECT_NE(kill(during[0], 0), 0) << "zenity " << during[0] << " is still there";
  // The window went with the process.
  EXPECT_TRUE(vl::test::waitFor([&] { return nonUniformShare(display_.screenshot()) < 0.001; }, 5s));
}

// Stopped as when the user or the session closes it; a crash is no answer, and says so.
TEST_F(Zenity, ClosedWindowCountsAsTheButtonACrashAsAFailure) {
  for (const int signal : {SIGTERM, SIGSEGV}) {
    pid_t zenity = 0;
    int checks = 0;
    const auto run = [&] {
      return toolkit_->alert("T", "x", "Cancel sign-in", [&] {
        ++checks;
        if (!zenity) {
          auto found = zenityChildren();
          if (!found.empty()) zenity = found[0];
        } else if (checks == 10) {
          kill(zenity, signal);
        }
        return checks > 300;
      });
    };
    if (signal == SIGTERM) EXPECT_EQ(run(), vl::AlertEnd::button);
    else EXPECT_EQ(vl::test::failure(run), "zenity failed before the dialog could be answered (exit status 139). "
                                             "Check its installation, or set VELTRANE_DIALOGS=terminal.");
    EXPECT_LT(checks, 300);
    EXPECT_TRUE(zenityChildren().empty());
  }
}

}  // namespace
