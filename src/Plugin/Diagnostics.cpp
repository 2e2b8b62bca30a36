#include "Diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vl::ofx {

bool diagnosticsOn() { return std::getenv("VELTRANE_OFX_DIAGNOSTICS") != nullptr; }

void diagnose(std::string_view text) {
  if (!diagnosticsOn()) return;
  // One fprintf per line keeps lines from parallel host threads whole.
  std::fprintf(stderr, "[veltrane OFX] %.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace vl::ofx
