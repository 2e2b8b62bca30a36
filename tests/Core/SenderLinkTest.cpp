// The worker's view of a bad link: a UDP relay between the connection and the
// development service's ingest loses, delays and swallows datagrams while the
// status and the link figures are watched.
#include "Core/LinkReport.h"
#include "Core/Sender.h"
#include "Core/TokenStore.h"
#include "Transport/Connection.h"

#include "DevService.h"
#include "UdpRelay.h"
#include "Wait.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
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
  Frame frame;
  frame.width = 320;
  frame.height = 180;
  frame.pixels.resize(320 * 180 * 3);
  for (std::size_t i = 0; i < frame.pixels.size(); ++i)
    frame.pixels[i] = static_cast<std::uint16_t>((i * 2654435761u + static_cast<std::size_t>(n) * 40503u) >> 8);
  return frame;
}

using test::waitFor;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// What the service's ingest has received; 0 from a service that is gone.
std::uint64_t received(const test::DevService& service) {
  std::uint64_t bytes = 0;
  try {
    for (const auto& c : service.ingestStats().connections) bytes += c.bytes;
  } catch (const std::exception&) {
  }
  return bytes;
}

class SenderLink : public ::testing::Test {
protected:
  void SetUp() override {
    start();
    saveToken(service_->origin(), kToken);
    settings_.apiBase = service_->origin();
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

  void start(std::vector<std::string> ports = {}) {
    ports.insert(ports.end(), {"--token", kToken, "--target-port", std::to_string(relay_.port())});
    service_ = std::make_unique<test::DevService>(ports);
    relay_.forwardTo(service_->ingestPort());
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
  std::unique_ptr<test::DevService> service_;
  Settings settings_;
  Sender sender_;
  std::atomic<bool> stop_ = false;
  std::thread feeder_;
};

TEST_F(SenderLink, LossShowsTheRepairsAndSuggestsALargerBuffer) {
  relay_.impair(0.05, 20ms);  // 40 ms round trips
  settings_.bitrateKbps = 2000;  // enough packets for a loss figure sooner
  send();
  const auto suggests = [&] { return linkReport(sender_.stats()).find("recovery buffer to") != std::string::npos; };
  const bool suggested = waitFor(suggests, 20s);
  const Sender::Stats s = sender_.stats();
  const std::string report = linkReport(s);
  ASSERT_TRUE(suggested) << s.status << report;
  EXPECT_NEAR(static_cast<double>(s.retransmittedPackets) / static_cast<double>(s.sentPackets), 0.05, 0.025)
      << report;
  EXPECT_GE(s.rttMs, 30) << report;
  // Six round trips at this loss, rounded up to a step of the panel.
  const int suggestion = suggestedLatencyMs(s);
  EXPECT_GE(suggestion, 6 * s.rttMs) << report;
  EXPECT_GT(suggestion, 120) << report;
  EXPECT_EQ(suggestion % 10, 0) << report;
  EXPECT_NE(report.find("set Network recovery buffer to " + std::to_string(suggestion) + " ms or more."),
            std::string::npos)
      << report;
}

TEST_F(SenderLink, ABadButLiveLinkIsNeitherStalledNorBroken) {
  send();
  relay_.impair(0.2, 150ms);
  // The condition never comes true unless the link is wrongly given up on.
  const auto givenUp = waitFor(
      [&] {
        const Sender::Stats s = sender_.stats();
        return s.status != "Sending SRT / libx264" || s.reconnectAttempts > 0;
      },
      10s);
  EXPECT_FALSE(givenUp) << sender_.stats().status;
  EXPECT_GE(sender_.stats().rttMs, 250);
}

TEST_F(SenderLink, ACleanLinkShowsItsFiguresAndAStallBeforeTheSessionIsDeclaredBroken) {
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
}

TEST_F(SenderLink, AnIngestBackWithinASecondCostsUnderFourSecondsOfStream) {
  send();
  // The ingest vanishes without closing right after a picture arrived, and a new
  // one (which knows nothing of the old connection) listens 0.5 s later.
  const std::uint64_t before = received(*service_);
  ASSERT_TRUE(waitFor([&] { return received(*service_) > before; }, 2s));
  const auto lastPicture = Clock::now();
  const std::string api = std::to_string(service_->port()), ingest = std::to_string(service_->ingestPort());
  service_->stop(SIGKILL);
  std::this_thread::sleep_for(500ms);
  start({"--port", api, "--ingest-port", ingest});
  ASSERT_TRUE(waitFor([&] { return received(*service_) > 0; }, 15s)) << sender_.stats().status;
  EXPECT_LT(secondsSince(lastPicture), 4.0);
  EXPECT_EQ(sender_.stats().reconnectAttempts, 1u);
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
