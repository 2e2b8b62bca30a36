// The whole boundary with the host: the plug-in record, suite acquisition,
// dispatch and the error boundary that keeps every exception inside.
#include "Actions.h"
#include "Describe.h"
#include "Diagnostics.h"
#include "Resident.h"
#include "Suites.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace vl::ofx {

OfxHost* host = nullptr;
const OfxPropertySuiteV1* props = nullptr;
const OfxImageEffectSuiteV1* effects = nullptr;
const OfxParameterSuiteV1* params = nullptr;
std::atomic<std::uint64_t> renders{0};
std::atomic<std::int32_t> errors{0};

void check(OfxStatus status) {
  if (status != kOfxStatOK) throw std::runtime_error("Required OpenFX host operation failed");
}

namespace {

constexpr const char* kRender = "OfxImageEffectActionRender";

OfxStatus load() {
  props = nullptr;
  effects = nullptr;
  params = nullptr;
  if (host == nullptr) return kOfxStatErrMissingHostFeature;
  keepLibrariesResident();
  auto* p = static_cast<const OfxPropertySuiteV1*>(host->fetchSuite(host->host, "OfxPropertySuite", 1));
  auto* e = static_cast<const OfxImageEffectSuiteV1*>(host->fetchSuite(host->host, "OfxImageEffectSuite", 1));
  auto* a = static_cast<const OfxParameterSuiteV1*>(host->fetchSuite(host->host, "OfxParameterSuite", 1));
  if (p == nullptr || e == nullptr || a == nullptr) return kOfxStatErrMissingHostFeature;
  props = p;
  effects = e;
  params = a;
  return kOfxStatOK;
}

void echo(const char* action) {
  if (!diagnosticsOn()) return;
  if (std::strcmp(action, kRender) == 0 && renders.fetch_add(1) > 2) return;
  diagnose(action);
}

OfxStatus dispatch(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                   OfxPropertySetHandle outArgs) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  auto is = [action](const char* name) { return std::strcmp(action, name) == 0; };
  if (is("OfxActionLoad")) return load();
  if (is("OfxActionUnload")) return kOfxStatOK;
  // A host may carry on after a failed load; without all three suites nothing can be answered.
  if (props == nullptr || effects == nullptr || params == nullptr) return kOfxStatErrMissingHostFeature;
  if (is("OfxActionDescribe")) return describe(effect);
  if (is("OfxImageEffectActionDescribeInContext")) return describeInContext(effect);
  if (is("OfxActionCreateInstance")) return createInstance(effect);
  if (is("OfxActionDestroyInstance")) return destroyInstance(effect);
  if (is(kRender)) return render(effect, inArgs);
  if (is("OfxActionInstanceChanged")) return instanceChanged(effect, inArgs);
  if (is("OfxImageEffectActionGetClipPreferences")) return clipPreferences(effect, outArgs);
  if (is("OfxImageEffectActionGetRegionsOfInterest")) return regionsOfInterest(effect, inArgs, outArgs);
  if (is("OfxImageEffectActionBeginSequenceRender")) return beginSequence(effect, inArgs);
  if (is("OfxImageEffectActionEndSequenceRender")) return endSequence(effect);
  return kOfxStatReplyDefault;
}

void setHost(OfxHost* h) { host = h; }

OfxStatus mainEntry(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                    OfxPropertySetHandle outArgs) {
  try {
    if (action == nullptr) return kOfxStatReplyDefault;
    echo(action);
    return dispatch(action, handle, inArgs, outArgs);
  } catch (const std::bad_alloc&) {
    return kOfxStatErrMemory;
  } catch (const std::exception& e) {
    try {
      diagnose(std::string("Host action failed: ") + e.what());
    } catch (...) {
    }
    return kOfxStatFailed;
  } catch (...) {
    return kOfxStatFailed;
  }
}

OfxPlugin plugin{"OfxImageEffectPluginAPI", 1, "com.veltrane.send", 1, 0, setHost, mainEntry};

}  // namespace
}  // namespace vl::ofx

extern "C" {
__attribute__((visibility("default"))) OfxPlugin* OfxGetPlugin(int nth) {
  return nth == 0 ? &vl::ofx::plugin : nullptr;
}
__attribute__((visibility("default"))) int OfxGetNumberOfPlugins(void) { return 1; }
}
