// The effect's description and its 28-parameter panel.
#include "Describe.h"

#include "Core/Defaults.h"
#include "Suites.h"

#include <array>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace vl::ofx {
namespace {

constexpr const char* kBoolean = "OfxParamTypeBoolean";
constexpr const char* kButton = "OfxParamTypePushButton";
constexpr const char* kString = "OfxParamTypeString";
constexpr const char* kDouble = "OfxParamTypeDouble";
constexpr const char* kChoice = "OfxParamTypeChoice";
constexpr const char* kInteger = "OfxParamTypeInteger";
constexpr const char* kGroup = "OfxParamTypeGroup";

OfxPropertySetHandle define(OfxParamSetHandle set, const char* type, const char* name,
                            const char* label, const char* hint = "") {
  OfxPropertySetHandle p = nullptr;
  check(params->paramDefine(set, type, name, &p));
  props->propSetString(p, "OfxPropLabel", 0, label);
  props->propSetString(p, "OfxParamPropHint", 0, hint);
  if (std::strcmp(type, kButton) != 0) props->propSetInt(p, "OfxParamPropAnimates", 0, 0);
  return p;
}

void setDefault(OfxPropertySetHandle p, int value) { props->propSetInt(p, "OfxParamPropDefault", 0, value); }
void setDefault(OfxPropertySetHandle p, double value) {
  props->propSetDouble(p, "OfxParamPropDefault", 0, value);
}
void setDefault(OfxPropertySetHandle p, const char* value) {
  props->propSetString(p, "OfxParamPropDefault", 0, value);
}
void range(OfxPropertySetHandle p, double min, double max) {
  props->propSetDouble(p, "OfxParamPropMin", 0, min);
  props->propSetDouble(p, "OfxParamPropMax", 0, max);
}
void range(OfxPropertySetHandle p, int min, int max) {
  props->propSetInt(p, "OfxParamPropMin", 0, min);
  props->propSetInt(p, "OfxParamPropMax", 0, max);
}
void parent(OfxPropertySetHandle p, const char* group) { props->propSetString(p, "OfxParamPropParent", 0, group); }
void hidden(OfxPropertySetHandle p) { props->propSetInt(p, "OfxParamPropSecret", 0, 1); }
void stringMode(OfxPropertySetHandle p, const char* mode) {
  props->propSetString(p, "OfxParamPropStringMode", 0, mode);
}
void disabled(OfxPropertySetHandle p) { props->propSetInt(p, "OfxParamPropEnabled", 0, 0); }
void options(OfxPropertySetHandle p, std::initializer_list<const char*> labels) {
  int i = 0;
  for (const char* label : labels) props->propSetString(p, "OfxParamPropChoiceOption", i++, label);
}
void groupOpen(OfxPropertySetHandle p, int open) { props->propSetInt(p, "OfxParamPropGroupOpen", 0, open); }

std::vector<const char*> usableDepths() {
  int n = 0;
  props->propGetDimension(host->host, "OfxImageEffectPropSupportedPixelDepths", &n);
  std::vector<const char*> usable;
  for (const char* candidate : {"OfxBitDepthFloat", "OfxBitDepthHalf", "OfxBitDepthShort", "OfxBitDepthByte"}) {
    bool found = n == 0;
    for (int i = 0; i < n && !found; ++i) {
      char* value = nullptr;
      props->propGetString(host->host, "OfxImageEffectPropSupportedPixelDepths", i, &value);
      found = std::strcmp(value != nullptr ? value : "", candidate) == 0;
    }
    if (found) usable.push_back(candidate);
  }
  return usable;
}

}  // namespace

OfxStatus describe(OfxImageEffectHandle descriptor) {
  OfxPropertySetHandle effect = nullptr;
  check(effects->getPropertySet(descriptor, &effect));
  props->propSetString(effect, "OfxPropLabel", 0, "veltrane");
  props->propSetString(effect, "OfxImageEffectPluginPropGrouping", 0, "veltrane");
  props->propSetString(effect, "OfxPropPluginDescription", 0,
                       "Send the incoming timeline image directly to your veltrane account. Place after "
                       "the output color transform. Video only; OFX exposes no timeline audio. Disable "
                       "render caching for this node while live.");
  const std::array<const char*, 2> contexts{"OfxImageEffectContextFilter", "OfxImageEffectContextGeneral"};
  check(props->propSetStringN(effect, "OfxImageEffectPropSupportedContexts", 2, contexts.data()));

  const std::vector<const char*> depths = usableDepths();
  if (depths.empty()) return kOfxStatErrUnsupported;
  check(props->propSetStringN(effect, "OfxImageEffectPropSupportedPixelDepths",
                              static_cast<int>(depths.size()), depths.data()));

  props->propSetString(effect, "OfxImageEffectPluginRenderThreadSafety", 0, "OfxImageEffectRenderInstanceSafe");
  props->propSetInt(effect, "OfxImageEffectPluginPropHostFrameThreading", 0, 0);
  props->propSetInt(effect, "OfxImageEffectPropSupportsTiles", 0, 0);
  props->propSetInt(effect, "OfxImageEffectPropSupportsMultiResolution", 0, 0);
  props->propSetInt(effect, "OfxImageEffectPropMultipleClipDepths", 0, 0);
  // No Metal on Linux: the processor path is the only one.
  props->propSetString(effect, "OfxImageEffectPropMetalRenderSupported", 0, "false");
  props->propSetInt(effect, "OfxImageEffectInstancePropSequentialRender", 0, 2);
  return kOfxStatOK;
}

OfxStatus describeInContext(OfxImageEffectHandle descriptor) {
  for (const char* name : {"Source", "Output"}) {
    OfxPropertySetHandle clip = nullptr;
    check(effects->clipDefine(descriptor, name, &clip));
    props->propSetString(clip, "OfxImageEffectPropSupportedComponents", 0, "OfxImageComponentRGBA");
    props->propSetString(clip, "OfxImageEffectPropSupportedComponents", 1, "OfxImageComponentRGB");
    props->propSetInt(clip, "OfxImageEffectPropSupportsTiles", 0, 0);
    props->propSetInt(clip, "OfxImageClipPropIsMask", 0, 0);
  }
  OfxParamSetHandle set = nullptr;
  check(effects->getParamSet(descriptor, &set));

  OfxPropertySetHandle p = define(set, kBoolean, "enabled", "Send to veltrane",
                                  "Stream the full incoming resolution. Disable node caching while live.");
  setDefault(p, 0);
  define(set, kButton, "login", "Sign in using the browser\u2026");
  define(set, kButton, "choose", "Choose stream\u2026");
  p = define(set, kString, "streamLabel", "Selected stream");
  setDefault(p, "Choose a stream");
  stringMode(p, "OfxParamStringIsLabel");
  disabled(p);
  define(set, kButton, "status", "Connection status\u2026");
  p = define(set, kDouble, "maxBitrateMbit", "Account bitrate limit");
  setDefault(p, 0.0);
  range(p, 0.0, 1000000.0);
  hidden(p);
  p = define(set, kChoice, "bitratePreset", "Video quality",
             "Target bitrate only; resolution always follows the incoming image. Advanced settings allow "
             "a custom bitrate.");
  setDefault(p, 1);
  options(p, {"Low (4 Mbit/s)", "Medium (8 Mbit/s)", "High (16 Mbit/s)"});
  p = define(set, kChoice, "color", "Incoming picture",
             "Choose the display signal at this node. Match the output transform before this node; no "
             "tone mapping is applied.");
  setDefault(p, 0);
  options(p, {"SDR (Rec.709)", "HDR PQ (Rec.2020)", "HDR HLG (Rec.2020)"});
  p = define(set, kString, "signalInfo", "Signal");
  setDefault(p, "Full input resolution \u2022 Video only (no audio)");
  stringMode(p, "OfxParamStringIsLabel");
  disabled(p);

  p = define(set, kGroup, "hdr", "HDR metadata");
  groupOpen(p, 1);
  hidden(p);
  p = define(set, kDouble, "masteringMin", "Display minimum (nits)");
  setDefault(p, 0.005);
  range(p, 0.0, 10000.0);
  parent(p, "hdr");
  hidden(p);
  p = define(set, kDouble, "masteringMax", "Display maximum (nits)");
  setDefault(p, 1000.0);
  range(p, 1.0, 10000.0);
  parent(p, "hdr");
  hidden(p);
  p = define(set, kInteger, "maxCLL", "Peak content brightness (MaxCLL, nits)");
  setDefault(p, 1000);
  range(p, 0, 65535);
  parent(p, "hdr");
  hidden(p);
  p = define(set, kInteger, "maxFALL", "Peak frame brightness (MaxFALL, nits)");
  setDefault(p, 400);
  range(p, 0, 65535);
  parent(p, "hdr");
  hidden(p);

  p = define(set, kBoolean, "showAdvanced", "Advanced settings");
  setDefault(p, 0);
  hidden(p);
  define(set, kButton, "advancedToggle", "Advanced settings\u2026");
  p = define(set, kGroup, "advanced", "Advanced");
  groupOpen(p, 0);
  p = define(set, kBoolean, "useCustomBitrate", "Use custom bitrate");
  parent(p, "advanced");
  hidden(p);
  setDefault(p, 0);
  p = define(set, kDouble, "customBitrate", "Custom bitrate (Mbit/s)");
  setDefault(p, 8.0);
  range(p, 0.25, 200.0);
  parent(p, "advanced");
  hidden(p);
  p = define(set, kDouble, "keyframeSeconds", "Keyframe interval (seconds)");
  setDefault(p, 1.0);
  range(p, 0.1, 5.0);
  parent(p, "advanced");
  hidden(p);
  p = define(set, kInteger, "latency", "Network recovery buffer (ms)");
  setDefault(p, 60);
  range(p, 20, 2000);
  parent(p, "advanced");
  hidden(p);
  p = define(set, kDouble, "fps", "Frame rate (0 = incoming)");
  setDefault(p, 0.0);
  range(p, 0.0, 120.0);
  parent(p, "advanced");
  hidden(p);
  p = define(set, kChoice, "codec", "SDR encoding");
  parent(p, "advanced");
  hidden(p);
  setDefault(p, 0);
  options(p, {"H.264 (fast browser playback)", "HEVC 10-bit"});
  p = define(set, kString, "metadata", "Custom JSON metadata",
             "Optional JSON object, up to 4096 bytes. Travels in the encoded signal; do not include secrets.");
  parent(p, "advanced");
  hidden(p);
  setDefault(p, "{}");
  stringMode(p, "OfxParamStringIsMultiLine");
  p = define(set, kString, "apiBase", "veltrane server");
  parent(p, "advanced");
  hidden(p);
  setDefault(p, kDefaultApiBase);
  p = define(set, kString, "viewerId", "Stream ID",
             "Normally filled by Choose stream. This is a public ID; credentials stay in Keychain.");
  parent(p, "advanced");
  hidden(p);
  setDefault(p, "");
  p = define(set, kBoolean, "sendExports", "Send during export",
             "Also publish renders the host marks as non-interactive.");
  parent(p, "advanced");
  hidden(p);
  setDefault(p, 0);
  p = define(set, kButton, "logout", "Sign out");
  parent(p, "advanced");
  hidden(p);
  return kOfxStatOK;
}

}  // namespace vl::ofx
