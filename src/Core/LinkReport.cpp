#include "Core/LinkReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vl {

namespace {

constexpr std::uint64_t kLossSamplePackets = 1000;

std::string decimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// Every packet the ingest missed is sent again (NAK counts overstate: they repeat).
double lossFraction(const Sender::Stats& s) {
  if (s.sentPackets <= s.retransmittedPackets) return 0.0;
  return static_cast<double>(s.retransmittedPackets) / static_cast<double>(s.sentPackets - s.retransmittedPackets);
}

}  // namespace

int suggestedLatencyMs(const Sender::Stats& s) {
  const int current = std::max(s.latencyMs, s.negotiatedLatencyMs);
  const double loss = lossFraction(s);
  const int roundTrips = loss <= 0.03 ? 4 : loss <= 0.07 ? 6 : loss <= 0.10 ? 8 : 10;
  // A few hundred packets in, one loss would read as several per cent.
  double wanted = s.retransmittedPackets > 0 && s.sentPackets >= kLossSamplePackets ? roundTrips * s.rttMs : 0.0;
  if (s.droppedPackets > 0) wanted = std::max(wanted, 1.5 * current);
  if (wanted <= current || current >= 2000) return 0;
  // Coarser steps for larger values, so the number reads like a setting.
  const double step = wanted < 200 ? 10 : 50;
  return std::min(static_cast<int>(std::ceil(wanted / step) * step), 2000);
}

std::string linkReport(const Sender::Stats& s) {
  if (!s.linkUp) return {};
  std::string text =
      "\nRound trip: " + std::to_string(std::lround(s.rttMs)) + " ms" + "\nSend rate: " + decimal(s.sendRateMbps) +
      " of " + decimal(s.bitrateKbps / 1000.0) + " Mbit/s" + "\nRetransmitted packets: " +
      std::to_string(s.retransmittedPackets) + " of " + std::to_string(s.sentPackets) + " (" +
      decimal(100 * lossFraction(s)) + " % lost)" + "\nDropped packets: " + std::to_string(s.droppedPackets) +
      "\nNegotiated latency: " + std::to_string(s.negotiatedLatencyMs) + " ms";
  if (const int suggested = suggestedLatencyMs(s); suggested > 0)
    text += "\nTo recover lost packets in time, set Network recovery buffer to " + std::to_string(suggested) +
            " ms or more.";
  return text;
}

}  // namespace vl
