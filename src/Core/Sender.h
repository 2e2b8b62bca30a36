#pragma once
// The per-instance streaming worker: host threads hand it settings and pictures,
// its own thread does everything slow.
#include "Core/Image.h"
#include "Core/Settings.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vl {

class Sender {
public:
  struct Stats {
    std::uint64_t hostFrames = 0;
    std::uint64_t encodedFrames = 0;
    std::uint64_t queueReplacements = 0;
    std::uint64_t reconnectAttempts = 0;
    std::string status;
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
  void run();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool enabled_ = false;
  std::uint64_t generation_ = 0;
  Settings settings_;
  std::shared_ptr<const Frame> pending_;
  std::uint64_t hostFrames_ = 0;
  std::uint64_t encodedFrames_ = 0;
  std::uint64_t queueReplacements_ = 0;
  std::uint64_t reconnectAttempts_ = 0;
  std::string status_ = "Stopped";
  std::thread worker_;
};

} // namespace vl
