#pragma once
// The per-instance streaming worker: host threads hand it settings and pictures,
// its own thread does everything slow.
#include "Core/Image.h"
#include "Core/Settings.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vl {

struct LinkFigures;

class Sender {
public:
  struct Stats {
    std::uint64_t hostFrames = 0;
    std::uint64_t encodedFrames = 0;
    std::uint64_t queueReplacements = 0;
    std::uint64_t reconnectAttempts = 0;
    std::string status;
    // The running session's link, from libsrt; linkUp is false while none runs.
    bool linkUp = false;
    double rttMs = 0;
    double sendRateMbps = 0;
    std::int32_t bitrateKbps = 0;  // the chosen one, beside the measured rate
    std::uint64_t sentPackets = 0;  // retransmissions included
    std::uint64_t retransmittedPackets = 0;
    std::uint64_t droppedPackets = 0;  // too late to resend
    std::int32_t negotiatedLatencyMs = 0;
    std::int32_t latencyMs = 0;  // the panel's recovery buffer
  };

  Sender();
  ~Sender();
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  // Never wait for the network or the encoder.
  void configure(Settings settings, bool enabled);
  void submit(Frame frame);
  Stats stats() const;

private:
  struct Session;
  void run();
  // Builds everything a session needs; slow (network), runs unlocked.
  std::unique_ptr<Session> open(const Settings& settings, const Frame& first);
  // Sends pictures until the session is over; called and returns with the lock held.
  void stream(std::unique_lock<std::mutex>& lock, Session& session, const Frame& first, double fps,
              std::uint64_t generation);
  // Takes in the link figures read after a picture; lock held.
  void observe(Session& session, const LinkFigures& link, std::uint64_t generation);
  // Waits until the deadline or until the session's generation is over.
  void pause(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point until,
             std::uint64_t generation);
  // The same, ending early too when a picture other than sent has arrived.
  void pauseForNew(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point until,
                   std::uint64_t generation, const std::shared_ptr<const Frame>& sent);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool enabled_ = false;
  std::uint64_t generation_ = 0;
  Settings settings_;
  std::shared_ptr<const Frame> pending_;
  std::chrono::steady_clock::time_point pendingSince_;  // when pending_ arrived
  std::uint64_t hostFrames_ = 0;
  std::uint64_t encodedFrames_ = 0;
  std::uint64_t queueReplacements_ = 0;
  std::uint64_t reconnectAttempts_ = 0;
  std::string status_ = "Stopped";
  Stats link_;  // only the link figures are used
  std::thread worker_;
};

} // namespace vl
