#pragma once
// One connected SRT caller socket in live mode.
#include "Api/Api.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace vl {

// The video bitrate in bytes per second plus 10 %, as libsrt's input bandwidth.
std::int64_t inputBandwidthBytesPerSecond(int bitrateKbps);
// One latency window (at least 100 ms) of input, kept between 256 KiB and 8 MiB.
std::int64_t sendBufferBytes(int bitrateKbps, int latencyMs);

// The ingest answered the handshake with "forbidden": the stream identity is not
// (or no longer) valid there, so retrying the same target cannot help.
struct StreamRefused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What libsrt knows about the link at one moment, totals since the connection began.
struct LinkFigures {
  double rttMs = 0;
  double sendRateMbps = 0;
  std::uint64_t sentPackets = 0;  // retransmissions included
  std::uint64_t retransmittedPackets = 0;
  std::uint64_t droppedPackets = 0;    // too late to resend
  std::uint64_t acknowledgements = 0;  // ACKs received; stops growing while the peer is silent
  std::int32_t latencyMs = 0;          // as negotiated with the peer
};

class Connection {
public:
  // Connected on return; throws the user-facing sentence and leaves no socket open.
  Connection(const Target& target, int latencyMs, int bitrateKbps);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Hands the whole burst to libsrt in 1316-byte messages (the last may be shorter).
  void send(const std::vector<std::uint8_t>& burst);
  // Never waits on the network; safe beside a send on another thread.
  LinkFigures link() const;

private:
  int socket_ = -1;
  std::int32_t latencyMs_ = 0;
};

}  // namespace vl
