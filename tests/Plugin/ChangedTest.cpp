#include "InstanceFixture.h"

namespace vl::host {
namespace {

using testing::HasSubstr;
using testing::Not;

using ChangedTest = InstanceTest;

TEST_F(ChangedTest, StatusShowsTheSenderWithFourCountsAndAnOrdinaryChangeReconfiguresIt) {
  create();
  const std::string shown = status();
  EXPECT_THAT(shown, HasSubstr("veltrane"));
  EXPECT_THAT(shown, HasSubstr("Stopped\nHost frames: 0\nEncoded frames: 0\nQueue replacements: 0\n"
                               "Reconnect attempts: 0"));
  set("enabled", 1);
  EXPECT_EQ(press("enabled"), "") << "a refresh shows nothing";
  EXPECT_THAT(status(), HasSubstr("Waiting for host frames\nHost frames: 0\n"));
  set("latency", 120);
  press("latency");
  set("enabled", 0);
  press("enabled");
  EXPECT_THAT(status(), HasSubstr("Stopped\n"));
}

TEST_F(ChangedTest, SignOutSwitchesSendingOffFirst) {
  create();
  set("enabled", 1);
  press("enabled");
  set("viewerId", std::string("stream-1"));
  press("logout");
  EXPECT_EQ(std::get<int>(param("enabled").value), 0);
  EXPECT_EQ(std::get<std::string>(param("viewerId").value), "stream-1") << "the stream choice stays";
  EXPECT_THAT(status(), HasSubstr("Stopped\n"));
  set("apiBase", std::string("http://veltrane.example"));
  EXPECT_EQ(press("logout"), "\nveltrane\nAPI origin must use HTTPS (HTTP is allowed only on loopback)\n"
                             "[Press Enter to continue]\n");
}

// Some hosts report the plug-in's own writes back to it from inside the write: the
// buttons still finish, and each write is reported once.
TEST_F(ChangedTest, OwnWritesReportedFromInsideTheWrite) {
  create();
  host.changesOnWrite(&plugin);
  host.recordActions(true);
  set("enabled", 1);
  press("enabled");
  press("advancedToggle");
  press("logout");
  EXPECT_EQ(std::get<int>(param("showAdvanced").value), 1);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Hide advanced settings");
  EXPECT_EQ(std::get<int>(param("enabled").value), 0);
  EXPECT_THAT(status(), HasSubstr("Stopped\n"));
  std::vector<std::string> reported;
  for (const SentAction& a : host.actions())
    if (a.name == "OfxActionInstanceChanged" && a.inArgs.str("OfxPropChangeReason") == "OfxChangePluginEdited")
      reported.push_back(a.inArgs.str("OfxPropName"));
  EXPECT_EQ(reported, (std::vector<std::string>{"showAdvanced", "enabled"}));
}

TEST_F(ChangedTest, AMessageThatCannotBeShownStillEndsTheActionNormally) {
  create();
  const std::string path = std::getenv("PATH");
  setenv("DISPLAY", ":987654", 1);
  setenv("PATH", "/nonexistent", 1);  // neither dialog program
  unsetenv("VELTRANE_DIALOGS");
  EXPECT_EQ(changed("status"), kOfxStatOK);
  setenv("PATH", path.c_str(), 1);
  unsetenv("DISPLAY");
}

TEST_F(ChangedTest, RefusedWritesAreShownAndSkipTheRefresh) {
  create();
  host.fault("paramSetValue");
  EXPECT_THAT(press("advancedToggle"), HasSubstr("Required OpenFX host operation failed"));
  EXPECT_EQ(std::get<int>(param("showAdvanced").value), 0);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6");
  // Sign out cannot switch sending off, so it goes no further.
  set("enabled", 1);
  press("enabled");
  EXPECT_THAT(press("logout"), HasSubstr("Required OpenFX host operation failed"));
  EXPECT_THAT(status(), HasSubstr("Waiting for host frames\n"));
}

TEST_F(ChangedTest, FailedReadsAreShown) {
  create();
  host.fault("paramGetValue");
  EXPECT_THAT(press("latency"), HasSubstr("Cannot read host parameter: color (1)"));
  host.fault("paramGetValue", 1 << 30);
  set("bitratePreset", 3);
  EXPECT_THAT(press("bitratePreset"), HasSubstr("Invalid video bitrate"));
  set("bitratePreset", 1);
  EXPECT_THAT(press("bitratePreset"), Not(HasSubstr("Invalid")));
}

TEST_F(ChangedTest, AnUnreadableNameOnlyRefreshes) {
  create();
  set("showAdvanced", 1);
  host.fault("propGetString");
  EXPECT_EQ(changed("advancedToggle"), kOfxStatOK);
  host.fault("propGetString", 1 << 30);
  EXPECT_EQ(std::get<int>(param("showAdvanced").value), 1) << "not toggled";
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Hide advanced settings");
}

}  // namespace
}  // namespace vl::host
