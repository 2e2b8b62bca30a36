#pragma once
// One connected SRT caller socket in live mode.
#include "Api/Api.h"

#include <cstdint>
#include <vector>

namespace vl {

class Connection {
public:
  // Connected on return; throws the user-facing sentence and leaves no socket open.
  Connection(const Target& target, int latencyMs, int bitrateKbps);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Hands the whole burst to libsrt in 1316-byte messages (the last may be shorter).
  void send(const std::vector<std::uint8_t>& burst);

private:
  int socket_ = -1;
};

}  // namespace vl
