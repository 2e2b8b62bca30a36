#include "InstanceFixture.h"

namespace vl::host {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// The record itself is checked by independent_host, which reads it through its own declarations.
TEST_F(BundleTest, LoadFetchesTheThreeSuitesEvenWithOneMissing) {
  // As in a fresh process image, where nothing has called setHost yet; a host that carries on
  // regardless gets a status, not a crash.
  plugin.setHost(nullptr);
  EXPECT_EQ(start(host, plugin, false).load, kOfxStatErrMissingHostFeature);
  EXPECT_TRUE(host.calls().empty());
  EXPECT_EQ(action(plugin, "OfxActionDescribe", host.descriptor().handle()), kOfxStatErrMissingHostFeature);

  EXPECT_EQ(load(), kOfxStatOK);
  const std::vector<std::string> three{"fetchSuite:OfxPropertySuite", "fetchSuite:OfxImageEffectSuite",
                                       "fetchSuite:OfxParameterSuite"};
  EXPECT_EQ(host.calls(), three);
  EXPECT_EQ(action(plugin, "OfxActionUnload"), kOfxStatOK);

  host.clearCalls();
  host.omitSuite("OfxParameterSuite");
  EXPECT_EQ(action(plugin, "OfxActionLoad"), kOfxStatErrMissingHostFeature);
  EXPECT_EQ(host.calls(), three) << "all three fetched";
  // A host that ignores the failure gets a status for each later action, not a crash.
  for (const char* name : {"OfxActionDescribe", "OfxImageEffectActionDescribeInContext", "OfxActionCreateInstance"})
    EXPECT_EQ(action(plugin, name, host.descriptor().handle()), kOfxStatErrMissingHostFeature) << name;
}

// With the variable set, whatever its value, each action is echoed, renders only three times;
// a failure is status 1 with one line.
TEST_F(InstanceTest, DiagnosticsEchoActionsButOnlyThreeRendersAndEachFailure) {
  CaptureStderr();
  create();
  EXPECT_EQ(render(), kOfxStatOK);
  EXPECT_EQ(GetCapturedStderr(), "") << "nothing is printed while the variable is unset";

  setenv("VELTRANE_OFX_DIAGNOSTICS", "", 1);
  CaptureStderr();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(render(i), kOfxStatOK);
  changed("latency");
  EXPECT_EQ(action(plugin, "OfxActionPurgeCaches", fx->handle()), kOfxStatReplyDefault);
  EXPECT_EQ(action(plugin, nullptr), kOfxStatReplyDefault);
  host.fault("getPropertySet");
  EXPECT_EQ(action(plugin, "OfxActionDescribe", host.descriptor().handle()), kOfxStatFailed);
  host.fault("getPropertySet", 1 << 30);
  const std::string render = "[veltrane OFX] OfxImageEffectActionRender\n";
  EXPECT_EQ(GetCapturedStderr(), render + render + render +
                                     "[veltrane OFX] OfxActionInstanceChanged\n[veltrane OFX] OfxActionPurgeCaches\n"
                                     "[veltrane OFX] OfxActionDescribe\n"
                                     "[veltrane OFX] Host action failed: Required OpenFX host operation failed\n");
}

}  // namespace
}  // namespace vl::host
