// Parameter reads by name, and the panel read into a streaming configuration.
#include "Instance.h"
#include "Suites.h"

#include <stdexcept>

namespace vl::ofx {
namespace {

[[noreturn]] void unreadable(const char* name, OfxStatus status) {
  throw std::runtime_error(std::string("Cannot read host parameter: ") + name + " (" + std::to_string(status) +
                           ")");
}

template <typename T>
T read(const Instance& in, const char* name, T value, ReadTime time) {
  OfxParamHandle p = param(in, name);
  const OfxStatus status = time ? params->paramGetValueAtTime(p, *time, &value) : params->paramGetValue(p, &value);
  if (status != kOfxStatOK) unreadable(name, status);
  return value;
}

double clipFrameRate(const Instance& in) {
  OfxPropertySetHandle clip = nullptr;
  check(effects->clipGetPropertySet(in.sourceClip, &clip));
  double fps = 25.0;
  props->propGetDouble(clip, "OfxImageEffectPropFrameRate", 0, &fps);
  return fps;
}

}  // namespace

OfxParamHandle param(const Instance& in, const char* name) {
  OfxParamHandle handle = nullptr;
  const OfxStatus status = params->paramGetHandle(in.paramSet, name, &handle, nullptr);
  if (status != kOfxStatOK)
    throw std::runtime_error(std::string("Missing host parameter: ") + name + " (" + std::to_string(status) + ")");
  return handle;
}

int integer(const Instance& in, const char* name, ReadTime time) { return read<int>(in, name, 0, time); }

double number(const Instance& in, const char* name, ReadTime time) { return read<double>(in, name, 0.0, time); }

std::string text(const Instance& in, const char* name, ReadTime time) {
  const char* value = read<const char*>(in, name, nullptr, time);
  return value != nullptr ? std::string(value) : std::string();
}

void visibility(const Instance& in, const char* name, bool visible, bool enabled) {
  OfxParamHandle handle = nullptr;
  OfxPropertySetHandle p = nullptr;
  check(params->paramGetHandle(in.paramSet, name, &handle, &p));
  props->propSetInt(p, "OfxParamPropSecret", 0, visible ? 0 : 1);
  props->propSetInt(p, "OfxParamPropEnabled", 0, enabled ? 1 : 0);
}

Settings settings(const Instance& in, ReadTime time) {
  Settings s;
  s.apiBase = text(in, "apiBase", time);
  s.viewerId = text(in, "viewerId", time);
  s.streamLabel = text(in, "streamLabel", time);
  const int preset = integer(in, "bitratePreset", time);
  const int custom = integer(in, "useCustomBitrate", time);
  const double customMbit = number(in, "customBitrate", time);
  const double limitMbit = number(in, "maxBitrateMbit", time);
  s.bitrateKbps = selectedBitrateKbps(preset, custom != 0, customMbit, limitMbit);
  s.keyframeSeconds = number(in, "keyframeSeconds", time);
  s.latencyMs = integer(in, "latency", time);
  s.color = integer(in, "color", time);
  // HDR always goes out as HEVC, so the codec choice only matters for SDR.
  s.hevc = s.color != 0 || integer(in, "codec", time) == 1;
  s.masteringMin = number(in, "masteringMin", time);
  s.masteringMax = number(in, "masteringMax", time);
  s.maxCLL = integer(in, "maxCLL", time);
  s.maxFALL = integer(in, "maxFALL", time);
  s.metadata = text(in, "metadata", time);
  s.fps = number(in, "fps", time);
  if (s.fps == 0.0) s.fps = clipFrameRate(in);
  return s;
}

}  // namespace vl::ofx
