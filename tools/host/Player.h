#pragma once
// Plays a timeline through one instance of an effect, as a host's viewer or
// export does: create, edits, one render sequence of every frame in order, destroy.
#include "Host.h"
#include "Options.h"
#include "Tally.h"

#include <ostream>

namespace vl::host {

// Needs a host that has loaded and described the plug-in. Summary lines go to
// log. Returns the tally; a failed action shows in it. Throws for what stops
// play altogether (bad edits, unreadable input, a failed create-instance).
Tally play(Host& host, OfxPlugin& plugin, const Options& options, std::ostream& log);

}  // namespace vl::host
