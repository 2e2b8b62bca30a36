// Instance life and the panel's buttons, as a host drives them between renders.
#include "InstanceFixture.h"

#include <algorithm>

namespace vl::host {
namespace {

using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST_F(InstanceTest, CreateStoresTheRecordAndDestroyClearsIt) {
  make().props.define("OfxImageEffectPropSupportsTiles", 1);  // as some hosts start an instance
  create();
  EXPECT_NE(fx->props.pointer("OfxPropInstanceData"), nullptr);
  EXPECT_EQ(fx->props.integer("OfxImageEffectPropSupportsTiles"), 0) << "as described";
  EXPECT_EQ(fx->props.integer("OfxImageEffectInstancePropSequentialRender"), 2);
  ASSERT_EQ(action(plugin, "OfxActionDestroyInstance", fx->handle()), kOfxStatOK);
  created = false;
  EXPECT_EQ(fx->props.pointer("OfxPropInstanceData"), nullptr);
}

TEST_F(InstanceTest, FailedCreationLeavesNoRecordAndNamesTheCause) {
  setenv("VELTRANE_OFX_DIAGNOSTICS", "1", 1);
  Effect& missing = make();
  missing.params.erase(
      std::find_if(missing.params.begin(), missing.params.end(), [](const Param& p) { return p.name == "color"; }));
  CaptureStderr();
  EXPECT_EQ(action(plugin, "OfxActionCreateInstance", missing.handle()), kOfxStatFailed);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("Host action failed: Missing host parameter: color (3)\n"));

  const std::vector<std::pair<std::string, int>> faults{
      {"getParamSet", 0},    {"clipGetHandle", 0},       {"clipGetHandle", 1},
      {"propSetPointer", 0}, {"paramGetValueAtTime", 0}};
  for (const auto& [function, skip] : faults) {
    SCOPED_TRACE(function + " after " + std::to_string(skip));
    Effect& e = host.createInstance("OfxImageEffectContextFilter");
    host.fault(function, skip);
    CaptureStderr();
    EXPECT_EQ(action(plugin, "OfxActionCreateInstance", e.handle()), kOfxStatFailed);
    const std::string said = GetCapturedStderr();
    if (function == "paramGetValueAtTime") {
      EXPECT_THAT(said, HasSubstr("Host action failed: Cannot read host parameter: color (1)\n"));
    }
    EXPECT_EQ(e.props.pointer("OfxPropInstanceData"), nullptr);
    host.fault(function, 1 << 30);  // lifts the fault for the next round
  }
}

TEST_F(InstanceTest, ActionsOnAMissingRecordFailWithoutTouchingIt) {
  setenv("VELTRANE_OFX_DIAGNOSTICS", "1", 1);
  make();
  for (const char* name : {"OfxActionDestroyInstance", "OfxImageEffectActionRender", "OfxActionInstanceChanged",
                           "OfxImageEffectActionGetRegionsOfInterest", "OfxImageEffectActionBeginSequenceRender",
                           "OfxImageEffectActionEndSequenceRender"}) {
    SCOPED_TRACE(name);
    PropertySet in;
    in.define("OfxPropTime", 0.0);
    PropertySet out{true};
    host.clearCalls();
    CaptureStderr();
    EXPECT_EQ(action(plugin, name, fx->handle(), &in, &out), kOfxStatFailed);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("Host action failed: Missing OpenFX instance\n"));
    EXPECT_EQ(std::count(host.calls().begin(), host.calls().end(), "propSetPointer"), 0);
  }
}

TEST_F(InstanceTest, InstancesAreIndependent) {
  create();
  Effect& first = *fx;
  Effect& second = host.createInstance("OfxImageEffectContextGeneral");
  ASSERT_EQ(action(plugin, "OfxActionCreateInstance", second.handle()), kOfxStatOK);
  EXPECT_NE(second.props.pointer("OfxPropInstanceData"), first.props.pointer("OfxPropInstanceData"));
  fx = &second;
  set("showAdvanced", 1);
  EXPECT_EQ(changed("showAdvanced"), kOfxStatOK);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Hide advanced settings");
  EXPECT_EQ(first.param("advancedToggle")->props.str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6");
  EXPECT_EQ(action(plugin, "OfxActionDestroyInstance", second.handle()), kOfxStatOK);
  fx = &first;
}

TEST_F(InstanceTest, StatusShowsTheSenderWithFourCounts) {
  create();
  EXPECT_THAT(status(), HasSubstr("veltrane\nStopped\nHost frames: 0\nEncoded frames: 0\nQueue replacements: 0\n"
                                  "Reconnect attempts: 0"));
  set("enabled", 1);
  EXPECT_EQ(press("enabled"), "") << "a refresh shows nothing";
  EXPECT_THAT(status(), HasSubstr("Waiting for host frames\nHost frames: 0\n"));
  set("apiBase", std::string("http://veltrane.example"));
  EXPECT_EQ(press("logout"), "\nveltrane\nAPI origin must use HTTPS (HTTP is allowed only on loopback)\n"
                             "[Press Enter to continue]\n");
}

// Some hosts report the plug-in's own writes back to it from inside the write: the
// buttons still finish, and each write is reported once.
TEST_F(InstanceTest, OwnWritesReportedFromInsideTheWrite) {
  create();
  host.changesOnWrite(&plugin);
  host.recordActions(true);
  set("enabled", 1);
  press("enabled");
  set("viewerId", std::string("stream-1"));
  press("advancedToggle");
  press("logout");  // switches sending off first
  EXPECT_EQ(std::get<int>(param("showAdvanced").value), 1);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Hide advanced settings");
  EXPECT_EQ(std::get<int>(param("enabled").value), 0);
  EXPECT_EQ(std::get<std::string>(param("viewerId").value), "stream-1") << "the stream choice stays";
  EXPECT_THAT(status(), HasSubstr("Stopped\n"));
  std::vector<std::string> reported;
  for (const SentAction& a : host.actions())
    if (a.name == "OfxActionInstanceChanged" && a.inArgs.str("OfxPropChangeReason") == "OfxChangePluginEdited")
      reported.push_back(a.inArgs.str("OfxPropName"));
  EXPECT_EQ(reported, (std::vector<std::string>{"showAdvanced", "enabled"}));
}

TEST_F(InstanceTest, AMessageThatCannotBeShownStillEndsTheActionNormally) {
  create();
  const std::string path = std::getenv("PATH");
  setenv("DISPLAY", ":987654", 1);
  setenv("PATH", "/nonexistent", 1);  // neither dialog program
  unsetenv("VELTRANE_DIALOGS");
  EXPECT_EQ(changed("status"), kOfxStatOK);
  setenv("PATH", path.c_str(), 1);
  unsetenv("DISPLAY");
}

TEST_F(InstanceTest, HostFailuresInButtonsAreShown) {
  create();
  host.fault("paramSetValue");
  EXPECT_THAT(press("advancedToggle"), HasSubstr("Required OpenFX host operation failed"));
  EXPECT_EQ(std::get<int>(param("showAdvanced").value), 0);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6") << "no refresh";
  // Sign out cannot switch sending off, so it goes no further.
  set("enabled", 1);
  press("enabled");
  EXPECT_THAT(press("logout"), HasSubstr("Required OpenFX host operation failed"));
  EXPECT_THAT(status(), HasSubstr("Waiting for host frames\n"));
  host.fault("paramSetValue", 1 << 30);

  host.fault("paramGetValue");
  EXPECT_THAT(press("latency"), HasSubstr("Cannot read host parameter: color (1)"));
  host.fault("paramGetValue", 1 << 30);
  set("bitratePreset", 3);
  EXPECT_THAT(press("bitratePreset"), HasSubstr("Invalid video bitrate"));
  set("bitratePreset", 1);
  EXPECT_THAT(press("bitratePreset"), Not(HasSubstr("Invalid")));

  // A name that cannot be read only refreshes.
  set("showAdvanced", 1);
  host.fault("propGetString");
  EXPECT_EQ(changed("advancedToggle"), kOfxStatOK);
  host.fault("propGetString", 1 << 30);
  EXPECT_EQ(std::get<int>(param("showAdvanced").value), 1) << "not toggled";
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Hide advanced settings");
}

}  // namespace
}  // namespace vl::host
