#pragma once
// A real libsrt listener for the connection tests: accepts one caller and records
// its stream identity, the latency it asked for, and every message it sends.
#include "Wait.h"

#include <gtest/gtest.h>
#include <srt/srt.h>

#include <arpa/inet.h>
#include <sys/syslog.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vl::test {

// One libsrt reference for the whole run, so the library is not torn down between tests.
class SrtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    ASSERT_GE(srt_startup(), 0);
    srt_setloglevel(LOG_CRIT);  // rejections the tests provoke are expected
  }
  void TearDown() override { srt_cleanup(); }
};

class SrtListener {
public:
  // `address` is a numeric IPv4 or IPv6 literal; the port is chosen by the system.
  explicit SrtListener(const std::string& address, const std::string& passphrase = "") {
    socket_ = srt_create_socket();
    if (socket_ == SRT_INVALID_SOCK) throw std::runtime_error("srt_create_socket failed");
    const int latencyMs = 20;
    srt_setsockflag(socket_, SRTO_RCVLATENCY, &latencyMs, sizeof latencyMs);
    if (!passphrase.empty())
      srt_setsockflag(socket_, SRTO_PASSPHRASE, passphrase.data(), static_cast<int>(passphrase.size()));
    const bool v6 = address.find(':') != std::string::npos;
    sockaddr_storage storage{};
    auto* a4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&storage);
    storage.ss_family = v6 ? AF_INET6 : AF_INET;
    inet_pton(storage.ss_family, address.c_str(), v6 ? static_cast<void*>(&a6->sin6_addr) : &a4->sin_addr);
    const int length = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in), v6only = 1;
    if (v6) srt_setsockflag(socket_, SRTO_IPV6ONLY, &v6only, sizeof v6only);
    if (srt_bind(socket_, reinterpret_cast<sockaddr*>(&storage), length) == SRT_ERROR ||
        srt_listen(socket_, 4) == SRT_ERROR) {
      srt_close(socket_);
      throw std::runtime_error(std::string("listener set-up failed: ") + srt_getlasterror_str());
    }
    int boundLength = sizeof storage;
    srt_getsockname(socket_, reinterpret_cast<sockaddr*>(&storage), &boundLength);
    port_ = ntohs(v6 ? a6->sin6_port : a4->sin_port);
    thread_ = std::thread([this] { run(); });
  }

  ~SrtListener() { drop(); }

  SrtListener(const SrtListener&) = delete;
  SrtListener& operator=(const SrtListener&) = delete;

  int port() const { return port_; }

  // Closes the accepted connection and the listening socket: the peer goes away.
  void drop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (peer_ != SRT_INVALID_SOCK) srt_close(peer_);
    if (socket_ != SRT_INVALID_SOCK) srt_close(socket_);
    peer_ = socket_ = SRT_INVALID_SOCK;
  }

  bool accepted() const { return accepted_; }
  std::string streamId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streamId_;
  }
  int peerLatencyMs() const { return latencyMs_; }
  std::vector<std::size_t> messageSizes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sizes_;
  }
  std::vector<std::uint8_t> bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  std::size_t byteCount() const { return bytes().size(); }

private:
  void run() {
    const int poll = srt_epoll_create();
    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(poll, socket_, &events);
    while (!stop_ && peer_ == SRT_INVALID_SOCK) {
      SRTSOCKET ready[1];
      int count = 1;
      if (srt_epoll_wait(poll, ready, &count, nullptr, nullptr, 50, nullptr, nullptr, nullptr, nullptr) <= 0)
        continue;
      sockaddr_storage from{};
      int fromLength = sizeof from;
      const SRTSOCKET peer = srt_accept(socket_, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (peer == SRT_INVALID_SOCK) continue;
      char id[512] = {};
      int idLength = sizeof id, latency = 0, latencyLength = sizeof latency;
      const int timeoutMs = 50;
      srt_getsockflag(peer, SRTO_STREAMID, id, &idLength);
      srt_getsockflag(peer, SRTO_RCVLATENCY, &latency, &latencyLength);
      srt_setsockflag(peer, SRTO_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
      latencyMs_ = latency;
      std::lock_guard<std::mutex> lock(mutex_);
      streamId_.assign(id, static_cast<std::size_t>(idLength));
      peer_ = peer;
      accepted_ = true;
    }
    srt_epoll_release(poll);
    char buffer[1500];
    while (!stop_ && peer_ != SRT_INVALID_SOCK) {
      const int n = srt_recvmsg(peer_, buffer, sizeof buffer);
      if (n == SRT_ERROR) {
        if (srt_getlasterror(nullptr) == SRT_EASYNCRCV) continue;  // time-out, look at stop_ again
        break;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      sizes_.push_back(static_cast<std::size_t>(n));
      bytes_.insert(bytes_.end(), buffer, buffer + n);
    }
  }

  SRTSOCKET socket_ = SRT_INVALID_SOCK;
  SRTSOCKET peer_ = SRT_INVALID_SOCK;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepted_{false};
  std::atomic<int> latencyMs_{0};
  mutable std::mutex mutex_;
  std::string streamId_;
  std::vector<std::size_t> sizes_;
  std::vector<std::uint8_t> bytes_;
  std::thread thread_;
};

}  // namespace vl::test
