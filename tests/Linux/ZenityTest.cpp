// The zenity toolkit showing a real window on a virtual display of the test's own.
#include "Linux/Child.h"
#include "Linux/Toolkits.h"
#include "Failure.h"
#include "Wait.h"
#include "VirtualDisplay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
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

// Share of pixels that differ from the top-left one: 0 for a blank screen.
double nonUniformShare(const std::string& ppm) {
  std::istringstream in(ppm);
  std::string magic;
  std::size_t width = 0, height = 0, maxValue = 0;
  in >> magic >> width >> height >> maxValue;
  const std::size_t bytes = maxValue > 255 ? 6 : 3, offset = static_cast<std::size_t>(in.tellg()) + 1;
  if (magic != "P6" || width * height == 0 || ppm.size() < offset + width * height * bytes) return 0;
  std::size_t differing = 0;
  for (std::size_t i = 1; i < width * height; ++i)
    differing += ppm.compare(offset + i * bytes, bytes, ppm, offset, bytes) != 0;
  return static_cast<double>(differing) / static_cast<double>(width * height);
}

// An alert shows and, once finished, leaves neither process nor window. Stopped as when the
// user or the session closes it, it counts as the button; a crash is no answer, and says so.
TEST(Zenity, AlertShowsAndEndsCleanlyClosedIsTheButtonACrashAFailure) {
  const vl::test::VirtualDisplay display;
  setenv("DISPLAY", display.name().c_str(), 1);
  setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus to wait for
  const auto toolkit = vl::makeProgramToolkit(vl::DialogProgram::zenity);
  EXPECT_LT(nonUniformShare(display.screenshot()), 0.001);  // blank before
  double shown = 0;
  std::vector<pid_t> during;
  const auto start = Clock::now();
  EXPECT_EQ(toolkit->alert("Finish signing in using your browser",
                           "http://127.0.0.1:1\n\nCheck this code in the browser: ABCD-2345", "Cancel sign-in",
                           [&] {
                             if (during.empty()) during = zenityChildren();
                             if (Clock::now() - start < 500ms) return false;
                             shown = nonUniformShare(display.screenshot());
                             return shown > 0.01 || Clock::now() - start > 30s;
                           }),
            vl::AlertEnd::finished);
  EXPECT_GT(shown, 0.01) << "the screen stayed uniform";
  ASSERT_EQ(during.size(), 1u);
  EXPECT_TRUE(zenityChildren().empty());
  EXPECT_NE(kill(during[0], 0), 0) << "zenity " << during[0] << " is still there";
  EXPECT_TRUE(vl::test::waitFor([&] { return nonUniformShare(display.screenshot()) < 0.001; }, 5s));

  for (const int signal : {SIGTERM, SIGSEGV}) {
    pid_t zenity = 0;
    int checks = 0;
    const auto run = [&] {
      return toolkit->alert("T", "x", "Cancel sign-in", [&] {
        const auto found = zenity ? std::vector<pid_t>{} : zenityChildren();
        if (!found.empty()) zenity = found[0];
        if (++checks == 10 && zenity) kill(zenity, signal);
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
