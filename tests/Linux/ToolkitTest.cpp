// Child processes, the dialog programs' command lines, the toolkit choice, the terminal toolkit and the opener.
#include "Linux/Child.h"
#include "Linux/Toolkits.h"

#include "../support/Failure.h"
#include "../support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

namespace {

using vl::AlertEnd;
using vl::DialogProgram;
using vl::ToolkitKind;
using vl::test::failure;
using vl::test::waitFor;

// Running, as opposed to gone or only waiting to be reaped by whoever inherited it.
bool alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// Arguments reach no shell, input is fed, output and status are collected; ending kills and
// reaps, even what ignores TERM, and its children.
TEST(Child, ArgumentsReachNoShellAndEndingReapsEvenWhatIgnoresTerm) {
  vl::Child printer({"sh", "-c", "printf '%s|' \"$@\"; exit 3", "sh", "$(echo no)", "a;b", "--x"});
  EXPECT_EQ(printer.wait(), 3);
  EXPECT_EQ(printer.output(), "$(echo no)|a;b|--x|");
  vl::Child counter({"wc", "-c"}, std::string(300000, 'x'));  // more than a pipe holds
  EXPECT_EQ(counter.wait(), 0);
  EXPECT_EQ(counter.output(), "300000\n");
  EXPECT_THROW(vl::Child({"veltrane-no-such-program"}), std::runtime_error);
  EXPECT_TRUE(vl::onPath("sh") && !vl::onPath("veltrane-no-such-program"));

  vl::Child sleeper({"sleep", "30"});
  EXPECT_FALSE(sleeper.poll());
  sleeper.end();
  EXPECT_EQ(sleeper.poll(), 128 + SIGTERM);
  EXPECT_FALSE(alive(sleeper.pid()));
  pid_t pid = 0, started = 0;
  auto ending = std::chrono::steady_clock::now();
  {
    vl::Child child({"sh", "-c", "trap '' TERM; sleep 30 & echo $!; wait"});
    pid = child.pid();
    waitFor([&] { return child.output().find('\n') != std::string::npos || child.poll(); });
    started = std::stoi(child.output());
    ending = std::chrono::steady_clock::now();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - ending, std::chrono::seconds(10)) << "ending waited for it to finish";
  // A killed process needs a moment of CPU to finish dying; a loaded machine may not give it at once.
  EXPECT_TRUE(waitFor([&] { return !alive(pid) && !alive(started); }, std::chrono::seconds(2)));
}

// The variable, then whether there is a display, then which programs are installed; a
// program that is not installed, or an unknown name, falls back to the automatic choice.
TEST(ToolkitChoice, EnvironmentThenDisplayThenPrograms) {
  using K = ToolkitKind;
  for (auto [variable, display, zenity, kdialog, kind] :
       {std::tuple<const char*, bool, bool, bool, K>{nullptr, true, true, true, K::zenity},
        {nullptr, true, false, true, K::kdialog}, {"zenity", true, false, false, K::missing},
        {"qt", false, true, true, K::terminal}, {"terminal", true, true, true, K::terminal},
        {"kdialog", true, true, true, K::kdialog}, {"zenity", false, true, false, K::zenity},
        {"kdialog", true, true, false, K::zenity}})
    EXPECT_EQ(vl::chooseToolkitKind(variable, display, zenity, kdialog), kind)
        << (variable ? variable : "unset") << display << zenity << kdialog;
}

// Texts from the server and the user are whole arguments or escaped, never options or markup.
TEST(DialogCommands, TextsAreWholeArgumentsAndLabelsNeverOptions) {
  const std::vector<std::string> labels{"--text=evil", "two\nlines", "$(x)"};
  auto z = vl::chooseCommand(DialogProgram::zenity, "T", "W", labels, "Choose", "Cancel");
  for (const std::string& a : z.argv)
    for (const std::string& l : labels) EXPECT_EQ(a.find(l), std::string::npos) << a;
  EXPECT_EQ(z.input, "TRUE\n0\n--text=evil\nFALSE\n1\ntwo lines\nFALSE\n2\n$(x)\n");
  auto k = vl::chooseCommand(DialogProgram::kdialog, "T", "W", labels, "Choose", "Cancel");
  auto dashes = std::find(k.argv.begin(), k.argv.end(), "--");
  ASSERT_NE(dashes, k.argv.end());
  EXPECT_EQ(std::vector<std::string>(dashes + 1, k.argv.end()),
            (std::vector<std::string>{"0", "--text=evil", "on", "1", "two\nlines", "off", "2", "$(x)", "off"}));
  auto a = vl::alertCommand(DialogProgram::zenity, "Finish", "-x <b>", "Cancel sign-in");
  EXPECT_NE(std::find(a.argv.begin(), a.argv.end(), "--no-markup"), a.argv.end());
  auto m = vl::messageCommand(DialogProgram::kdialog, "veltrane", "-v <b>&");
  EXPECT_NE(std::find(m.argv.begin(), m.argv.end(), "--msgbox=<qt>veltrane<br><br>-v &lt;b&gt;&amp;</qt>"),
            m.argv.end());
}

// The terminal toolkit over real pipes, in what the plug-in's sign-in tests do not type: an alert
// cancelled by Enter, nonsense asked again, a last line without its end, and end of input.
TEST(Terminal, AlertCancelledByEnterNonsenseAndEndOfInput) {
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  const int sink = open("/dev/null", O_WRONLY);
  auto toolkit = vl::makeTerminalToolkit(in[0], sink);
  const auto type = [&](const std::string& s) { ASSERT_EQ(write(in[1], s.data(), s.size()), ssize_t(s.size())); };
  int checks = 0;  // Enter comes while the alert waits, after a few checks
  const auto typeEnter = [&] {
    if (++checks == 3) type("\n");
    return checks > 100;
  };
  EXPECT_EQ(toolkit->alert("T", "x", "Cancel sign-in", typeEnter), AlertEnd::button);
  type("abc\n-1\n99999999999999999999\n7\n2");
  close(in[1]);
  EXPECT_EQ(toolkit->choose("T", "W", {"first", "second"}, "Choose", "Cancel"), 1u);
  EXPECT_EQ(toolkit->choose("T", "W", {"a"}, "Choose", "Cancel"), std::nullopt);
  toolkit->message("veltrane", "Again.");  // returns at end of input
  checks = 0;  // without input only completion ends it
  EXPECT_EQ(toolkit->alert("T", "x", "Cancel sign-in", [&] { return ++checks == 7; }), AlertEnd::finished);
  for (int fd : {in[0], sink}) close(fd);
}

// The URL is one argument to a stand-in opener on PATH, its status counts, and only web pages are opened.
TEST(Opener, OnlyWebPagesAsOneArgumentWithInstalledPrograms) {
  char pattern[] = "/tmp/veltrane-opener.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern, path = std::getenv("PATH");
  // It succeeds only when given exactly the URL expected, as one argument.
  std::ofstream(dir + "/xdg-open") << "#!/bin/sh\n[ $# = 1 ] && [ \"$1\" = \"$OPENER_EXPECTS\" ] || exit 9\n"
                                      "exit \"${OPENER_STATUS:-0}\"\n";
  chmod((dir + "/xdg-open").c_str(), 0755);
  setenv("PATH", (dir + ":" + path).c_str(), 1);
  auto toolkit = vl::makeProgramToolkit(DialogProgram::zenity);
  setenv("OPENER_EXPECTS", "file:///etc/passwd", 1);
  EXPECT_FALSE(toolkit->openUrl("file:///etc/passwd"));
  const std::string url = "HTTP://127.0.0.1:1/ofx/authorize?user_code=AB;C $(x)";
  setenv("OPENER_EXPECTS", url.c_str(), 1);
  EXPECT_TRUE(toolkit->openUrl(url));
  setenv("OPENER_STATUS", "3", 1);
  EXPECT_FALSE(toolkit->openUrl(url));
  vl::Child({"rm", "-rf", dir}).wait();
  // A desktop without a dialog program is told what to install, whatever is asked.
  setenv("PATH", "/nonexistent", 1);
  const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  setenv("DISPLAY", ":0", 1);
  unsetenv("VELTRANE_DIALOGS");
  auto missing = vl::makeToolkit();
  setenv("DISPLAY", display.c_str(), 1);
  EXPECT_NE(failure([&] { missing->openUrl("https://veltrane.example"); }).find("Install one of them"),
            std::string::npos);
  setenv("PATH", path.c_str(), 1);
}

}  // namespace
