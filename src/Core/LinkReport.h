#pragma once
// The link figures of the status dialog, in words a colourist can act on.
#include "Core/Sender.h"

#include <string>

namespace vl {

// One line per figure, each introduced by a line feed; empty while no session runs.
// Ends with a suggested "Network recovery buffer" when one would help.
std::string linkReport(const Sender::Stats& stats);

// The recovery buffer to suggest, or 0 when the one in force (the larger of the
// panel's and the negotiated one) looks enough. SRT's rule of thumb: several round
// trips, four at up to 3 % loss and more at higher loss; after drops, also half as
// much again as now. Rounded up, at most the panel's 2000 ms.
int suggestedLatencyMs(const Sender::Stats& stats);

}  // namespace vl
