// A second, minimal effect for the runner's tests: copies Source to Output in
// any depth, so that what the runner feeds and collects can be compared. It
// fails the render at the frame named by PASSTHROUGH_FAIL_AT.
#include "Plugin/ofx.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

OfxHost* host = nullptr;
const OfxPropertySuiteV1* props = nullptr;
const OfxImageEffectSuiteV1* effects = nullptr;

OfxStatus describe(OfxImageEffectHandle effect) {
  OfxPropertySetHandle p = nullptr;
  if (effects->getPropertySet(effect, &p) != kOfxStatOK) return kOfxStatFailed;
  props->propSetString(p, "OfxImageEffectPropSupportedContexts", 0, "OfxImageEffectContextFilter");
  const char* depths[] = {"OfxBitDepthByte", "OfxBitDepthShort", "OfxBitDepthHalf", "OfxBitDepthFloat"};
  props->propSetStringN(p, "OfxImageEffectPropSupportedPixelDepths", 4, depths);
  return kOfxStatOK;
}

OfxStatus describeInContext(OfxImageEffectHandle effect) {
  for (const char* name : {"Source", "Output"}) {
    OfxPropertySetHandle clip = nullptr;
    if (effects->clipDefine(effect, name, &clip) != kOfxStatOK) return kOfxStatFailed;
    props->propSetString(clip, "OfxImageEffectPropSupportedComponents", 0, "OfxImageComponentRGBA");
  }
  return kOfxStatOK;
}

// Copies the rows of the output's bounds; both images cover the whole frame.
OfxStatus copy(OfxPropertySetHandle src, OfxPropertySetHandle dst) {
  void *from = nullptr, *to = nullptr;
  int fromRow = 0, toRow = 0;
  OfxRectI bounds{};
  char* depth = nullptr;
  if (props->propGetPointer(src, "OfxImagePropData", 0, &from) != kOfxStatOK ||
      props->propGetPointer(dst, "OfxImagePropData", 0, &to) != kOfxStatOK ||
      props->propGetInt(src, "OfxImagePropRowBytes", 0, &fromRow) != kOfxStatOK ||
      props->propGetInt(dst, "OfxImagePropRowBytes", 0, &toRow) != kOfxStatOK ||
      props->propGetIntN(dst, "OfxImagePropBounds", 4, &bounds.x1) != kOfxStatOK ||
      props->propGetString(dst, "OfxImageEffectPropPixelDepth", 0, &depth) != kOfxStatOK)
    return kOfxStatFailed;
  const std::string d = depth;
  const long pixel = d == "OfxBitDepthByte" ? 4 : d == "OfxBitDepthFloat" ? 16 : 8;
  for (long y = 0; y < bounds.y2 - bounds.y1; ++y)
    std::memcpy(static_cast<char*>(to) + y * toRow, static_cast<const char*>(from) + y * fromRow,
                static_cast<size_t>(pixel * (bounds.x2 - bounds.x1)));
  return kOfxStatOK;
}

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle in) {
  double time = 0;
  if (props->propGetDouble(in, "OfxPropTime", 0, &time) != kOfxStatOK) return kOfxStatFailed;
  if (const char* at = std::getenv("PASSTHROUGH_FAIL_AT"); at != nullptr && std::atof(at) == time)
    return kOfxStatFailed;
  OfxImageClipHandle source = nullptr, output = nullptr;
  OfxPropertySetHandle src = nullptr, dst = nullptr;
  if (effects->clipGetHandle(effect, "Source", &source, nullptr) != kOfxStatOK ||
      effects->clipGetHandle(effect, "Output", &output, nullptr) != kOfxStatOK ||
      effects->clipGetImage(source, time, nullptr, &src) != kOfxStatOK)
    return kOfxStatFailed;
  const OfxStatus status =
      effects->clipGetImage(output, time, nullptr, &dst) == kOfxStatOK ? copy(src, dst) : kOfxStatFailed;
  if (dst != nullptr) effects->clipReleaseImage(dst);
  effects->clipReleaseImage(src);
  return status;
}

OfxStatus mainEntry(const char* action, const void* handle, OfxPropertySetHandle in, OfxPropertySetHandle) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  const std::string a = action != nullptr ? action : "";
  if (a == "OfxActionLoad") {
    if (host == nullptr) return kOfxStatErrMissingHostFeature;
    props = static_cast<const OfxPropertySuiteV1*>(host->fetchSuite(host->host, "OfxPropertySuite", 1));
    effects = static_cast<const OfxImageEffectSuiteV1*>(host->fetchSuite(host->host, "OfxImageEffectSuite", 1));
    return props != nullptr && effects != nullptr ? kOfxStatOK : kOfxStatErrMissingHostFeature;
  }
  if (a == "OfxActionDescribe") return describe(effect);
  if (a == "OfxImageEffectActionDescribeInContext") return describeInContext(effect);
  if (a == "OfxImageEffectActionRender") return render(effect, in);
  if (a == "OfxActionCreateInstance" || a == "OfxActionDestroyInstance" || a == "OfxActionUnload") return kOfxStatOK;
  return kOfxStatReplyDefault;
}

void setHost(OfxHost* h) { host = h; }

OfxPlugin plugin{"OfxImageEffectPluginAPI", 1, "com.veltrane.test.passthrough", 1, 0, setHost, mainEntry};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) OfxPlugin* OfxGetPlugin(int nth) { return nth == 0 ? &plugin : nullptr; }
__attribute__((visibility("default"))) int OfxGetNumberOfPlugins(void) { return 1; }
}
