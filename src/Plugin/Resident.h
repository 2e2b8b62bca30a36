#pragma once

namespace vl::ofx {

// Keeps the GLib-based libraries the bundle links loaded for the life of the process.
// GLib itself never unloads and keeps pointers into their static data (interned type
// names), so unloading them with the bundle would crash its next load in the same host.
void keepLibrariesResident();

}  // namespace vl::ofx
