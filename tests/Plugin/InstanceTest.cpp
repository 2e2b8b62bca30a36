#include "InstanceFixture.h"

#include <algorithm>

namespace vl::host {
namespace {

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST_F(InstanceTest, CreateStoresTheRecordAndDestroyClearsIt) {
  make().props.define("OfxImageEffectPropSupportsTiles", 1);  // as some hosts start an instance
  create();
  EXPECT_NE(fx->props.pointer("OfxPropInstanceData"), nullptr);
  EXPECT_EQ(fx->props.integer("OfxImageEffectPropSupportsTiles"), 0) << "as described";
  EXPECT_EQ(fx->props.integer("OfxImageEffectInstancePropSequentialRender"), 2);
  destroy();
  EXPECT_EQ(fx->props.pointer("OfxPropInstanceData"), nullptr);
  EXPECT_EQ(host.liveImages(), 0u);
}

TEST_F(InstanceTest, CreationReadsThePanelAtTimeZeroAndLaterReadsAreCurrent) {
  make();
  param("showAdvanced").keys[0.0] = Value(1);  // the current value stays 0
  create();
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Hide advanced settings");
  EXPECT_EQ(param("color").reads, 0);
  EXPECT_EQ(param("color").readTimes, std::vector<double>{0.0});

  // Outside a render the current value counts.
  EXPECT_EQ(changed("latency"), kOfxStatOK);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6");
  EXPECT_EQ(param("color").readTimes.size(), 1u);
  EXPECT_GE(param("color").reads, 1);
}

TEST_F(InstanceTest, FailedCreationLeavesNoRecord) {
  for (const char* function : {"getParamSet", "clipGetHandle", "propSetPointer", "paramGetValueAtTime"}) {
    SCOPED_TRACE(function);
    Effect& e = host.createInstance("OfxImageEffectContextFilter");
    host.fault(function);
    EXPECT_EQ(action(plugin, "OfxActionCreateInstance", e.handle()), kOfxStatFailed);
    EXPECT_EQ(e.props.pointer("OfxPropInstanceData"), nullptr);
    host.fault(function, 1 << 30);  // lifts the fault for the next round
  }
  // The second clip lookup failing is as fatal as the first.
  Effect& e = host.createInstance("OfxImageEffectContextFilter");
  host.fault("clipGetHandle", 1);
  EXPECT_EQ(action(plugin, "OfxActionCreateInstance", e.handle()), kOfxStatFailed);
  EXPECT_EQ(e.props.pointer("OfxPropInstanceData"), nullptr);
}

TEST_F(InstanceTest, ParameterFailuresNameTheParameterAndTheStatus) {
  setenv("VELTRANE_OFX_DIAGNOSTICS", "1", 1);
  Effect& e = make();
  e.params.erase(std::find_if(e.params.begin(), e.params.end(), [](const Param& p) { return p.name == "color"; }));
  CaptureStderr();
  EXPECT_EQ(action(plugin, "OfxActionCreateInstance", e.handle()), kOfxStatFailed);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("Host action failed: Missing host parameter: color (3)\n"));

  Effect& other = host.createInstance("OfxImageEffectContextFilter");
  fx = &other;
  host.fault("paramGetValueAtTime");
  CaptureStderr();
  EXPECT_EQ(action(plugin, "OfxActionCreateInstance", other.handle()), kOfxStatFailed);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("Host action failed: Cannot read host parameter: color (1)\n"));
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

}  // namespace
}  // namespace vl::host
