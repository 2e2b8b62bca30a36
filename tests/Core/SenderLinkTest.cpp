// The worker's view of a bad link: a UDP relay between the connection and the
// development service's ingest loses, delays and swallows datagrams while the
// status and the link figures are watched.
#include "Core/LinkReport.h"
#include "Core/Sender.h"
#include "Core/TokenStore.h"

#include "DevService.h"
#include "UdpRelay.h"
#include "Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace vl {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kToken = "ofx_link_test_token";
const std::string kStall = "The ingest is not answering; still sending.";

Frame pattern(int n) {
  Frame frame{320, 180, 0, Samples(320 * 180 * 3)};
  for (std::size_t i = 0; i < frame.pixels.size(); ++i)
    frame.pixels[i] = static_cast<std::uint16_t>((i * 2654435761u + static_cast<std::size_t>(n) * 40503u) >> 8);
  return frame;
}

using test::waitFor;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class SenderLink : public ::testing::Test {
protected:
  void SetUp() override {
    relay_.forwardTo(service_.ingestPort());
    saveToken(service_.origin(), kToken);
    settings_.apiBase = service_.origin();
    settings_.viewerId = "dev-main";
    settings_.streamLabel = "veltrane dev stream";
    // The send buffer then outlasts a second of silence; a full one would end the
    // session by itself.
    settings_.bitrateKbps = 1000;
  }
  void TearDown() override {
    stop_ = true;
    if (feeder_.joinable()) feeder_.join();
  }

  // Pictures that differ every time, so the stream keeps its bitrate.
  void send() {
    sender_.configure(settings_, true);
    feeder_ = std::thread([this] {
      for (int n = 0; !stop_; ++n) {
        sender_.submit(pattern(n));
        std::this_thread::sleep_for(40ms);
      }
    });
    ASSERT_TRUE(waitFor([&] { return sender_.stats().encodedFrames >= 25; }, 15s)) << sender_.stats().status;
  }

  test::UdpRelay relay_;
  test::DevService service_{{"--token", kToken, "--target-port", std::to_string(relay_.port())}};
  Settings settings_;
  Sender sender_;
  std::atomic<bool> stop_ = false;
  std::thread feeder_;
};

TEST_F(SenderLink, FiguresThenAStallThenABrokenSessionThenTheLinkBack) {
  send();
  ASSERT_TRUE(waitFor([&] { return sender_.stats().rttMs > 0; }, 3s));
  const Sender::Stats s = sender_.stats();
  EXPECT_EQ(s.negotiatedLatencyMs, 120) << "the ingest's default is larger than ours";
  EXPECT_GT(s.sendRateMbps, 0.1);
  const std::string report = linkReport(s);
  EXPECT_NE(report.find(" of 1.0 Mbit/s\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\nNegotiated latency: 120 ms"), std::string::npos) << report;
  EXPECT_EQ(report.find("recovery buffer"), std::string::npos) << report;

  relay_.blackhole(true);
  const auto silent = Clock::now();
  ASSERT_TRUE(waitFor([&] { return sender_.stats().status == kStall; }, 3s)) << sender_.stats().status;
  EXPECT_LT(secondsSince(silent), 2.0);
  ASSERT_TRUE(waitFor([&] { return sender_.stats().reconnectAttempts > 0; }, 10s));
  EXPECT_EQ(sender_.stats().status, "The ingest stopped answering; reconnecting.");
  // libsrt alone takes over 5 s.
  EXPECT_LT(secondsSince(silent), 4.0);

  // The link back: a later attempt streams again on a new connection.
  relay_.blackhole(false);
  ASSERT_TRUE(waitFor([&] {
    const auto connections = service_.ingestStats().connections;
    return connections.size() >= 2 && connections.back().bytes > 100000;
  }, 15s)) << sender_.stats().status;
  EXPECT_EQ(sender_.stats().status.rfind("Sending SRT / ", 0), 0u) << sender_.stats().status;
}

TEST_F(SenderLink, ARefusedStreamIsNamed) {
  // Another service's ingest knows none of this account's stream identities.
  test::DevService stranger({"--token", kToken});
  relay_.forwardTo(stranger.ingestPort());
  sender_.configure(settings_, true);
  sender_.submit(pattern(0));
  ASSERT_TRUE(waitFor([&] { return sender_.stats().reconnectAttempts > 0; }, 10s));
  EXPECT_EQ(sender_.stats().status,
            "The ingest refused the stream \"veltrane dev stream\"; it may have ended. Choose a stream again.");
  EXPECT_EQ(stranger.ingestStats().rejected, 1u);
}

}  // namespace
}  // namespace vl
