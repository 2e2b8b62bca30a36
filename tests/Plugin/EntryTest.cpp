#include "InstanceFixture.h"

#include <sys/resource.h>

#include <cstdlib>
#include <string>

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

  for (const char* suite : {"OfxParameterSuite", "OfxPropertySuite"}) {
    SCOPED_TRACE(suite);
    host.clearCalls();
    host.omitSuite(suite);
    EXPECT_EQ(action(plugin, "OfxActionLoad"), kOfxStatErrMissingHostFeature);
    EXPECT_EQ(host.calls(), three);
  }
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

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Uses up the heap in a child process once the host has done its own
// allocations, so that the plug-in's next allocation fails.
void exhaustMemory() {
  rlimit limit{};
  getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = 1ull << 33;
  setrlimit(RLIMIT_AS, &limit);
  void* volatile last = nullptr;
  for (size_t size = 1ull << 31; size > 0; size /= 2) {
    for (void* p = std::malloc(size); p != nullptr; p = std::malloc(size)) last = p;
  }
  (void)last;
}

TEST_F(BundleTest, OutOfMemoryIsStatusEightWithoutALine) {
  ASSERT_EQ(load(), kOfxStatOK);
  // One throw first, so the plug-in's thread-local exception state exists before memory runs out.
  host.fault("clipDefine");
  ASSERT_EQ(action(plugin, "OfxImageEffectActionDescribeInContext", host.descriptor().handle()), kOfxStatFailed);
  setenv("VELTRANE_OFX_DIAGNOSTICS", "1", 1);
  host.before("propGetDimension", exhaustMemory);
  EXPECT_EXIT(std::_Exit(action(plugin, "OfxActionDescribe", host.descriptor().handle())),
              testing::ExitedWithCode(kOfxStatErrMemory), "^\\[veltrane OFX\\] OfxActionDescribe\n$");
}
#endif

}  // namespace
}  // namespace vl::host
