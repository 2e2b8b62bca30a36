#pragma once
// Parameter values typed from command-line text, checked as a host's panel would.
#include "Host.h"

#include <string>

namespace vl::host {

// The value of text for the parameter's declared type and range; throws a
// sentence naming the parameter when the text does not fit. Choices take an
// index or an option's exact label, booleans 0/1, true/false, on/off, yes/no.
Value paramValue(const Param& param, const std::string& text);

bool isButton(const Param& param);

}  // namespace vl::host
