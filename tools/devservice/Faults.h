#pragma once
#include "Options.h"
#include "Shutdown.h"

#include <httplib.h>

namespace vl::dev {

bool pathMatches(const std::string& pattern, const std::string& path);

// Makes matching requests misbehave. Call before the real routes are added.
void installFaults(httplib::Server& server, const Faults& faults, Shutdown& shutdown);

}  // namespace vl::dev
