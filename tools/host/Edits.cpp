#include "Edits.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace vl::host {
namespace {

[[noreturn]] void refuse(const Param& p, const std::string& text, const std::string& why) {
  throw std::runtime_error("The value \"" + text + "\" does not fit the parameter \"" + p.name + "\": " + why + ".");
}

template <typename T>
bool number(const std::string& text, T& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return !text.empty() && ec == std::errc() && ptr == end;
}

template <typename T>
void checkRange(const Param& p, const std::string& text, T v) {
  const PropType type = std::is_same_v<T, int> ? PropType::Int : PropType::Double;
  const Value* min = nullptr;
  const Value* max = nullptr;
  if (p.props.get("OfxParamPropMin", 0, type, &min) == kOfxStatOK && v < std::get<T>(*min))
    refuse(p, text, "it is below the minimum " + std::to_string(std::get<T>(*min)));
  if (p.props.get("OfxParamPropMax", 0, type, &max) == kOfxStatOK && v > std::get<T>(*max))
    refuse(p, text, "it is above the maximum " + std::to_string(std::get<T>(*max)));
}

}  // namespace

bool isButton(const Param& param) { return param.type == "OfxParamTypePushButton"; }

Value paramValue(const Param& p, const std::string& text) {
  if (p.type == "OfxParamTypeString") return text;
  if (p.type == "OfxParamTypeBoolean") {
    if (text == "1" || text == "true" || text == "on" || text == "yes") return 1;
    if (text == "0" || text == "false" || text == "off" || text == "no") return 0;
    refuse(p, text, "a boolean takes 0 or 1, true or false, on or off, yes or no");
  }
  if (p.type == "OfxParamTypeInteger") {
    int v = 0;
    if (!number(text, v)) refuse(p, text, "it is not a whole number");
    checkRange(p, text, v);
    return v;
  }
  if (p.type == "OfxParamTypeDouble") {
    double v = 0;
    if (!number(text, v) || !std::isfinite(v)) refuse(p, text, "it is not a finite number");
    checkRange(p, text, v);
    return v;
  }
  if (p.type == "OfxParamTypeChoice") {
    const std::vector<std::string> options = p.props.strings("OfxParamPropChoiceOption");
    for (size_t i = 0; i < options.size(); ++i)
      if (options[i] == text) return static_cast<int>(i);
    int v = 0;
    if (!number(text, v)) refuse(p, text, "it is neither an option's label nor an option's index");
    if (v < 0 || static_cast<size_t>(v) >= options.size())
      refuse(p, text, "the options are numbered 0 to " + std::to_string(static_cast<int>(options.size()) - 1));
    return v;
  }
  if (isButton(p)) refuse(p, text, "it is a push button; press it with --press");
  refuse(p, text, "parameters of type " + p.type + " take no value");
}

}  // namespace vl::host
