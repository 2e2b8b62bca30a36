// Child processes, the dialog programs' command lines, the toolkit choice and the
// terminal toolkit over real pipes.
#include "Linux/Child.h"
#include "Linux/Toolkits.h"

#include "../support/Failure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using vl::AlertEnd;
using vl::DialogProgram;
using vl::ToolkitKind;
using vl::test::failure;

// Running, as opposed to gone or only waiting to be reaped by whoever inherited it.
bool alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// A killed process needs a moment of CPU to finish dying; a loaded machine may not give it at once.
bool gone(pid_t pid) {
  for (int i = 0; i < 200 && alive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return !alive(pid);
}

TEST(Child, ArgumentsReachNoShellInputIsFedAndOutputAndStatusCollected) {
  const std::string big(300000, 'x');  // more than a pipe holds
  struct Case {
    std::vector<std::string> argv;
    std::string input;
    int status;
    std::string output;
  };
  for (const Case& c : {Case{{"sh", "-c", "printf 'a b'; exit 3"}, "", 3, "a b"},
                        Case{{"printf", "%s|", "$(echo no)", "a;b", "--x"}, "", 0, "$(echo no)|a;b|--x|"},
                        Case{{"wc", "-c"}, big, 0, std::to_string(big.size()) + "\n"},
                        Case{{"true"}, std::string(1 << 20, 'x'), 0, ""}}) {  // input left unread
    SCOPED_TRACE(c.argv[0]);
    vl::Child child(c.argv, c.input);
    EXPECT_EQ(child.wait(), c.status);
    EXPECT_EQ(child.output(), c.output);
  }
  EXPECT_THROW(vl::Child({"veltrane-no-such-program"}), std::runtime_error);
  EXPECT_FALSE(vl::onPath("veltrane-no-such-program"));
  EXPECT_TRUE(vl::onPath("sh"));
}

TEST(Child, EndingKillsAndReapsEvenWhatIgnoresTermAndItsChildren) {
  vl::Child sleeper({"sleep", "30"});
  EXPECT_FALSE(sleeper.poll());
  sleeper.end();
  EXPECT_EQ(sleeper.poll(), 128 + SIGTERM);
  EXPECT_FALSE(alive(sleeper.pid()));
  pid_t pid = 0, started = 0;
  {
    vl::Child child({"sh", "-c", "trap '' TERM; sleep 30 & echo $!; wait"});
    pid = child.pid();
    while (child.output().find('\n') == std::string::npos && !child.poll())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    started = std::stoi(child.output());
  }
  EXPECT_TRUE(gone(pid));
  EXPECT_TRUE(gone(started));
}

// The variable, then whether there is a display, then which programs are installed; a
// program that is not installed, or an unknown name, falls back to the automatic choice.
TEST(ToolkitChoice, EnvironmentThenDisplayThenPrograms) {
  using K = ToolkitKind;
  for (auto [variable, display, zenity, kdialog, kind] :
       {std::tuple<const char*, bool, bool, bool, K>{nullptr, true, true, true, K::zenity},
        {nullptr, true, false, true, K::kdialog}, {nullptr, true, false, false, K::missing},
        {"zenity", true, false, false, K::missing}, {nullptr, false, false, false, K::terminal},
        {nullptr, false, true, true, K::terminal}, {"terminal", true, true, true, K::terminal},
        {"kdialog", true, true, true, K::kdialog}, {"zenity", false, true, false, K::zenity},
        {"kdialog", true, true, false, K::zenity}, {"qt", false, true, true, K::terminal}})
    EXPECT_EQ(vl::chooseToolkitKind(variable, display, zenity, kdialog), kind)
        << (variable ? variable : "unset") << display << zenity << kdialog;
}

TEST(DialogCommands, TextsAreWholeArgumentsAndLabelsNeverOptions) {
  const std::vector<std::string> labels{"--text=evil", "two\nlines", "$(x)"};
  auto z = vl::chooseCommand(DialogProgram::zenity, "Choose a veltrane stream", "Why", labels,
                             "Choose", "Cancel");
  for (const std::string& a : z.argv)
    for (const std::string& l : labels) EXPECT_EQ(a.find(l), std::string::npos) << a;
  EXPECT_EQ(z.input, "TRUE\n0\n--text=evil\nFALSE\n1\ntwo lines\nFALSE\n2\n$(x)\n");
  EXPECT_NE(std::find(z.argv.begin(), z.argv.end(), "--text=Choose a veltrane stream\n\nWhy"),
            z.argv.end());
  EXPECT_NE(std::find(z.argv.begin(), z.argv.end(), "--ok-label=Choose"), z.argv.end());

  auto k = vl::chooseCommand(DialogProgram::kdialog, "T", "W", labels, "Choose", "Cancel");
  auto dashes = std::find(k.argv.begin(), k.argv.end(), "--");
  ASSERT_NE(dashes, k.argv.end());
  EXPECT_EQ(std::vector<std::string>(dashes + 1, k.argv.end()),
            (std::vector<std::string>{"0", "--text=evil", "on", "1", "two\nlines", "off", "2", "$(x)",
                                      "off"}));

  auto a = vl::alertCommand(DialogProgram::zenity, "Finish", "-x <b>", "Cancel sign-in");
  EXPECT_NE(std::find(a.argv.begin(), a.argv.end(), "--text=Finish\n\n-x <b>"), a.argv.end());
  EXPECT_NE(std::find(a.argv.begin(), a.argv.end(), "--no-markup"), a.argv.end());
  EXPECT_NE(std::find(a.argv.begin(), a.argv.end(), "--ok-label=Cancel sign-in"), a.argv.end());
  auto m = vl::messageCommand(DialogProgram::kdialog, "veltrane", "-v <b>&");
  EXPECT_NE(std::find(m.argv.begin(), m.argv.end(), "--msgbox=<qt>veltrane<br><br>-v &lt;b&gt;&amp;</qt>"),
            m.argv.end());
  // What the programs print for a choice.
  EXPECT_EQ(vl::parseChoice("2\n"), 2u);
  EXPECT_EQ(vl::parseChoice(" 0 "), 0u);
  for (const char* refused : {"", "\n", "1|2", "-1", "99999999999999999999"})
    EXPECT_EQ(vl::parseChoice(refused), std::nullopt) << refused;
}

// The terminal toolkit reading from one pipe and writing to another.
class Terminal : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(pipe(in_), 0);
    ASSERT_EQ(pipe(out_), 0);
    fcntl(out_[0], F_SETFL, O_NONBLOCK);
    toolkit_ = vl::makeTerminalToolkit(in_[0], out_[1]);
  }
  void TearDown() override {
    for (int fd : {in_[0], in_[1], out_[0], out_[1]})
      if (fd >= 0) close(fd);
  }
  void type(const std::string& s) { ASSERT_EQ(write(in_[1], s.data(), s.size()), ssize_t(s.size())); }
  void closeInput() {
    close(in_[1]);
    in_[1] = -1;
  }
  std::string shown() {
    std::string all;
    char b[4096];
    for (ssize_t n; (n = read(out_[0], b, sizeof b)) > 0;) all.append(b, size_t(n));
    return all;
  }

  int in_[2]{-1, -1};
  int out_[2]{-1, -1};
  std::unique_ptr<vl::Toolkit> toolkit_;
};

// What a user at the plug-in's terminal does not reach (the plug-in's sign-in tests type
// the rest): an alert cancelled by Enter, nonsense asked again, a last line without its
// end, and end of input.
TEST_F(Terminal, AlertCancelledByEnterNonsenseAndEndOfInput) {
  int checks = 0;
  std::thread typist([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    type("\n");
  });
  EXPECT_EQ(toolkit_->alert("T", "x", "Cancel sign-in", [&] { return ++checks > 100; }), AlertEnd::button);
  typist.join();
  EXPECT_GE(checks, 2);  // checked while waiting
  EXPECT_LT(checks, 100);
  EXPECT_TRUE(toolkit_->openUrl("http://127.0.0.1:1/ofx/authorize?user_code=ABCD-2345"));
  const std::string text = shown();
  for (const char* part : {"[Press Enter to cancel sign-in]", "http://127.0.0.1:1/ofx/authorize?user_code=ABCD-2345"})
    EXPECT_NE(text.find(part), std::string::npos) << part;
  type("abc\n7\n2");
  closeInput();
  EXPECT_EQ(toolkit_->choose("T", "W", {"first", "second"}, "Choose", "Cancel"), 1u);
  EXPECT_EQ(toolkit_->choose("T", "W", {"a"}, "Choose", "Cancel"), std::nullopt);
  toolkit_->message("veltrane", "Again.");  // returns at end of input
  checks = 0;
  EXPECT_EQ(toolkit_->alert("T", "x", "Cancel sign-in", [&] { return ++checks == 7; }), AlertEnd::finished);
  EXPECT_EQ(checks, 7);
}

// A stand-in opener on PATH that records its arguments and exits as told.
class Opener : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/veltrane-opener.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::ofstream script(dir_ + "/xdg-open");
    script << "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\nexit \"${OPENER_STATUS:-0}\"\n";
    script.close();
    chmod((dir_ + "/xdg-open").c_str(), 0755);
    oldPath_ = std::getenv("PATH");
    setenv("PATH", (dir_ + ":" + oldPath_).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", oldPath_.c_str(), 1);
    vl::Child({"rm", "-rf", dir_}).wait();
  }
  std::string args() {
    std::ifstream in(dir_ + "/args");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
  std::string oldPath_;
};

// The URL is one argument, the opener's status counts, and only web pages are opened.
TEST_F(Opener, OnlyWebPagesAsOneArgumentWithInstalledPrograms) {
  auto toolkit = vl::makeProgramToolkit(DialogProgram::zenity);
  EXPECT_FALSE(toolkit->openUrl("file:///etc/passwd"));
  EXPECT_EQ(args(), "");  // never ran
  const std::string url = "HTTP://127.0.0.1:1/ofx/authorize?user_code=AB;C $(x)";
  EXPECT_TRUE(toolkit->openUrl(url));
  EXPECT_EQ(args(), url + "\n");
  setenv("OPENER_STATUS", "3", 1);
  EXPECT_FALSE(toolkit->openUrl(url));
  unsetenv("OPENER_STATUS");
  setenv("PATH", "/nonexistent", 1);
  EXPECT_FALSE(toolkit->openUrl("https://veltrane.example/ofx/authorize?user_code=ABCD-2345"));
  // A desktop without a dialog program is told what to install, whatever is asked.
  const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  setenv("DISPLAY", ":0", 1);
  unsetenv("VELTRANE_DIALOGS");
  auto missing = vl::makeToolkit();
  setenv("DISPLAY", display.c_str(), 1);
  for (const std::string& message :
       {failure([&] { missing->message("t", "x"); }), failure([&] { missing->openUrl("https://veltrane.example"); }),
        failure([&] { missing->choose("t", "x", {"a"}, "Choose", "Cancel"); }),
        failure([&] { missing->alert("t", "x", "Cancel", [] { return true; }); })})
    EXPECT_NE(message.find("Install one of them"), std::string::npos) << message;
}

}  // namespace
