#pragma once
// One connected SRT caller socket in live mode.
#include "Api/Api.h"

#include <cstdint>
#include <vector>

namespace vl {

// The video bitrate in bytes per second plus 10 %, as libsrt's input bandwidth.
std::int64_t inputBandwidthBytesPerSecond(int bitrateKbps);
// One latency window (at least 100 ms) of input, kept between 256 KiB and 8 MiB.
std::int64_t sendBufferBytes(int bitrateKbps, int latencyMs);

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
