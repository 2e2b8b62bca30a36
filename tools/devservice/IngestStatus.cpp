#include "IngestStatus.h"

namespace vl::dev {

nlohmann::json ingestJson(const IngestStats& stats) {
  nlohmann::json connections = nlohmann::json::array();
  for (const IngestConnection& c : stats.connections)
    connections.push_back({{"streamId", c.streamId},
                           {"file", c.file.string()},
                           {"messages", c.messages},
                           {"bytes", c.bytes},
                           {"fullMessages", c.fullMessages},
                           {"latencyMs", c.latencyMs},
                           {"open", c.open}});
  return {{"rejected", stats.rejected}, {"connections", connections}};
}

void installIngestStatus(httplib::Server& server, const Ingest& ingest) {
  server.Get("/dev/ingest", [&ingest](const httplib::Request&, httplib::Response& res) {
    res.set_content(ingestJson(ingest.stats()).dump(), "application/json");
  });
}

}  // namespace vl::dev
