#pragma once
#include "Options.h"
#include "Shutdown.h"

#include <httplib.h>

namespace vl::dev {

bool pathMatches(const std::string& pattern, const std::string& path);

// Answers matching requests with the chosen misbehaviour before any route sees
// them; a delay alone lets the request go on to its route afterwards.
void installFaults(httplib::Server& server, const Faults& faults, Shutdown& shutdown);

}  // namespace vl::dev
