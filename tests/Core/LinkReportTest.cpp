// The recovery-buffer advice of the status dialog, case by case.
#include "Core/LinkReport.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

TEST(LinkReport, SuggestsABufferOnlyWhenItWouldHelp) {
  struct Case {
    double rttMs;
    std::uint64_t sent, retransmitted, dropped;
    int latencyMs, negotiatedMs, suggested;
  };
  const Case cases[] = {
      {40, 5000, 0, 0, 60, 120, 0},         // no loss
      {40, 5000, 100, 0, 60, 120, 160},     // 2 %: four round trips
      {40, 5000, 250, 0, 60, 120, 250},     // 5 %: six, in steps of 50 from 200 ms
      {40, 5000, 750, 0, 60, 120, 400},     // 18 %: ten
      {40, 500, 50, 0, 60, 120, 0},         // too few packets to tell
      {10, 5000, 100, 0, 60, 120, 0},       // four round trips fit already
      {10, 5000, 100, 3, 60, 120, 180},     // yet drops: half as much again
      {10, 5000, 100, 3, 400, 120, 600},    // never below the panel's value
      {400, 5000, 1000, 9, 1000, 1000, 2000},  // capped at the panel's maximum
      {400, 5000, 1000, 9, 2000, 2000, 0},     // nothing larger to suggest
  };
  for (const Case& c : cases) {
    Sender::Stats s;
    s.linkUp = true;
    s.rttMs = c.rttMs;
    s.sentPackets = c.sent;
    s.retransmittedPackets = c.retransmitted;
    s.droppedPackets = c.dropped;
    s.latencyMs = c.latencyMs;
    s.negotiatedLatencyMs = c.negotiatedMs;
    const std::string report = linkReport(s);
    EXPECT_EQ(suggestedLatencyMs(s), c.suggested) << report;
    EXPECT_EQ(report.find("set Network recovery buffer to " + std::to_string(c.suggested) + " ms or more.") !=
                  std::string::npos,
              c.suggested > 0)
        << report;
  }
  EXPECT_EQ(linkReport(Sender::Stats{}), "");
}

}  // namespace
}  // namespace vl
