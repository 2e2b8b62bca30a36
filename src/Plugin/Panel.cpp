// The panel's appearance follows its values: what is shown, what is enabled,
// and labels that tell the bitrate each quality preset gives for the chosen stream.
#include "Instance.h"
#include "Suites.h"

#include <sstream>
#include <string>

namespace vl::ofx {
namespace {

OfxPropertySetHandle paramProps(const Instance& in, const char* name) {
  OfxParamHandle handle = nullptr;
  OfxPropertySetHandle p = nullptr;
  check(params->paramGetHandle(in.paramSet, name, &handle, &p));
  return p;
}

// Written as a default stream writes a double: 6 significant digits, no trailing zeros.
std::string mbit(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace

void updateUI(const Instance& in, ReadTime time) {
  const int color = integer(in, "color", time);
  const bool advanced = integer(in, "showAdvanced", time) != 0;
  const bool custom = integer(in, "useCustomBitrate", time) != 0;

  for (const char* name : {"hdr", "masteringMin", "masteringMax", "maxCLL", "maxFALL"})
    visibility(in, name, color != 0, true);
  for (const char* name : {"advanced", "useCustomBitrate", "keyframeSeconds", "latency", "fps", "metadata",
                           "apiBase", "viewerId", "sendExports", "logout"})
    visibility(in, name, advanced, true);
  visibility(in, "customBitrate", custom && advanced, true);
  visibility(in, "bitratePreset", true, !custom);
  visibility(in, "codec", color == 0 && advanced, true);

  props->propSetInt(paramProps(in, "advanced"), "OfxParamPropGroupOpen", 0, advanced ? 1 : 0);
  props->propSetString(paramProps(in, "advancedToggle"), "OfxPropLabel", 0,
                       advanced ? "Hide advanced settings" : "Advanced settings\xE2\x80\xA6");

  const double limitMbit = number(in, "maxBitrateMbit", time);
  OfxPropertySetHandle preset = paramProps(in, "bitratePreset");
  const char* names[] = {"Low", "Medium", "High"};
  for (int i = 0; i < 3; ++i) {
    const int kbps = selectedBitrateKbps(i, false, 8.0, limitMbit);
    const std::string option = std::string(names[i]) + " (" + mbit(kbps / 1000.0) + " Mbit/s)";
    props->propSetString(preset, "OfxParamPropChoiceOption", i, option.c_str());
  }
  std::string label = "Video quality";
  if (custom) label += " (custom: " + mbit(number(in, "customBitrate", time)) + " Mbit/s)";
  props->propSetString(preset, "OfxPropLabel", 0, label.c_str());
}

}  // namespace vl::ofx
