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

// An alert shows and, once finished, leaves neither process nor window. Stopped as when the
// user or the session closes it, it counts as the button; a crash is no answer, and says so.
TEST(Zenity, AlertShowsAndEndsCleanlyClosedIsTheButtonACrashAFailure) {
  const vl::test::VirtualDisplay display;
  setenv("DISPLAY", display.name().c_str(), 1);
  setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus to wait for
  const auto toolkit = vl::makeProgramToolkit(vl::DialogProgram::zenity);
  const std::string blank = display.screenshot();
  ASSERT_FALSE(blank.empty());
  bool shown = false;
  std::vector<pid_t> during;
  const auto start = Clock::now();
  EXPECT_EQ(toolkit->alert("Finish signing in using your browser",
                           "http://127.0.0.1:1\n\nCheck this code in the browser: ABCD-2345", "Cancel sign-in",
                           [&] {
                             if (during.empty()) during = zenityChildren();
                             if (Clock::now() - start < 500ms) return false;
                             shown = display.screenshot() != blank;
                             return shown || Clock::now() - start > 30s;
                           }),
            vl::AlertEnd::finished);
  EXPECT_TRUE(shown) << "the screen stayed blank";
  ASSERT_EQ(during.size(), 1u);
  EXPECT_NE(kill(during[0], 0), 0) << "zenity " << during[0] << " is still there, or unreaped";
  EXPECT_TRUE(vl::test::waitFor([&] { return display.screenshot() == blank; }, 5s)) << "the window stayed";

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
