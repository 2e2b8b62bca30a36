// Instance life and the panel's buttons, as a host drives them between renders.
#include "InstanceFixture.h"

namespace vl::host {
namespace {

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST_F(InstanceTest, FailedCreationLeavesNoRecordAndNamesTheCause) {
  setenv("VELTRANE_OFX_DIAGNOSTICS", "1", 1);
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

// Each instance has its own record and panel state; destroying one clears its record.
TEST_F(InstanceTest, InstancesLiveApart) {
  create();
  Effect& first = *fx;
  Effect& second = *(fx = &host.createInstance("OfxImageEffectContextGeneral"));
  second.props.define("OfxImageEffectPropSupportsTiles", 1);  // as some hosts start an instance
  create();
  EXPECT_NE(second.props.pointer("OfxPropInstanceData"), nullptr);
  EXPECT_NE(second.props.pointer("OfxPropInstanceData"), first.props.pointer("OfxPropInstanceData"));
  EXPECT_EQ(second.props.integer("OfxImageEffectPropSupportsTiles"), 0) << "as described";
  EXPECT_EQ(second.props.integer("OfxImageEffectInstancePropSequentialRender"), 2);
  PropertySet prefs{true};  // frame varying, so that hosts render every frame rather than reuse one
  ASSERT_EQ(action(plugin, "OfxImageEffectActionGetClipPreferences", fx->handle(), nullptr, &prefs), kOfxStatOK);
  EXPECT_EQ(prefs.integer("OfxImageEffectFrameVarying"), 1);
  set("showAdvanced", 1);
  EXPECT_EQ(changed("showAdvanced"), kOfxStatOK);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Hide advanced settings");
  EXPECT_EQ(first.param("advancedToggle")->props.str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6");
  EXPECT_EQ(action(plugin, "OfxActionDestroyInstance", second.handle()), kOfxStatOK);
  EXPECT_EQ(second.props.pointer("OfxPropInstanceData"), nullptr);
  fx = &first;
}

// Some hosts report the plug-in's own writes back to it from inside the write: the
// buttons still finish, and each write is reported once.
TEST_F(InstanceTest, OwnWritesReportedFromInsideTheWrite) {
  create();
  host.changesOnWrite(&plugin);
  host.recordActions(true);
  enable();
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

TEST_F(InstanceTest, HostFailuresInButtonsAreShown) {
  create();
  host.fault("paramSetValue");
  EXPECT_THAT(press("advancedToggle"), HasSubstr("Required OpenFX host operation failed"));
  EXPECT_EQ(std::get<int>(param("showAdvanced").value), 0);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6") << "no refresh";
  // Sign out cannot switch sending off, so it goes no further.
  enable();
  EXPECT_THAT(press("logout"), HasSubstr("Required OpenFX host operation failed"));
  EXPECT_THAT(status(), HasSubstr("Waiting for host frames\n"));
  host.fault("paramSetValue", 1 << 30);
}

// The dialog toolkit is chosen once per process, so this needs one where none was used yet.
TEST_F(InstanceTest, AMessageNoDialogProgramCanShowStillEndsTheActionNormally) {
  create();
  const std::string path = std::getenv("PATH");
  setenv("DISPLAY", ":987654", 1);
  setenv("PATH", "/nonexistent", 1);
  unsetenv("VELTRANE_DIALOGS");
  EXPECT_EQ(changed("status"), kOfxStatOK);
  setenv("PATH", path.c_str(), 1);
  unsetenv("DISPLAY");
}

}  // namespace
}  // namespace vl::host
