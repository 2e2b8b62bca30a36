#pragma once
#include <string_view>

namespace vl::ofx {

// Read at every use so a host session can switch it without reloading.
bool diagnosticsOn();
// Writes "[veltrane OFX] " + text + "\n" to stderr when diagnostics are on.
void diagnose(std::string_view text);

}  // namespace vl::ofx
