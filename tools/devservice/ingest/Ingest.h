#pragma once
// The development service's SRT listener: accepts only stream identities the
// account part issued and records what each connection sends.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vl::dev {

struct IngestConnection {
  std::string streamId;
  std::filesystem::path file;      // every payload byte received, in order
  std::uint64_t messages = 0;
  std::uint64_t bytes = 0;
  std::uint64_t fullMessages = 0;  // messages of exactly 1316 bytes
  int latencyMs = 0;               // the receive latency agreed with the caller
  bool open = false;
};

struct IngestStats {
  std::uint64_t rejected = 0;  // callers refused for their stream identity
  std::vector<IngestConnection> connections;  // in accept order
};

class Ingest {
public:
  // port 0 picks a free one. Accepted streams are recorded into recordDir as
  // "<n>.ts", n counting connections from 1.
  Ingest(int port, std::function<bool(const std::string& streamId)> accept,
         std::filesystem::path recordDir);
  ~Ingest();  // stops the listener and joins its thread
  Ingest(const Ingest&) = delete;
  Ingest& operator=(const Ingest&) = delete;

  int port() const;
  IngestStats stats() const;

private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vl::dev
