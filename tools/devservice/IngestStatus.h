#pragma once
// What the SRT ingest received, as JSON over HTTP for tests and the demo.
#include "ingest/Ingest.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace vl::dev {

nlohmann::json ingestJson(const IngestStats& stats);

// GET /dev/ingest answers with ingestJson of the current stats.
void installIngestStatus(httplib::Server& server, const Ingest& ingest);

}  // namespace vl::dev
