#pragma once

namespace vl {

// The service's public origin; a deployment setting shared by the panel default and Settings.
inline constexpr const char* kDefaultApiBase = "https://veltrane.com";

}  // namespace vl
