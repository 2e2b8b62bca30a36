#pragma once
// A loopback UDP relay between one caller and a listener that can lose, delay and
// swallow datagrams in both directions, standing in for a bad network.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vl::test {

class UdpRelay {
public:
  using Clock = std::chrono::steady_clock;

  UdpRelay() : front_(open()), back_(open()) {
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    getsockname(front_, reinterpret_cast<sockaddr*>(&bound), &size);
    port_ = ntohs(bound.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~UdpRelay() {
    stop_ = true;
    thread_.join();
    close(front_);
    close(back_);
  }

  int port() const { return port_; }
  void forwardTo(int listenerPort) {
    std::lock_guard lock(mutex_);
    listener_ = address(listenerPort);
  }
  // Applies to each direction on its own: the round trip gains twice the delay.
  void impair(double lossFraction, std::chrono::milliseconds oneWayDelay) {
    std::lock_guard lock(mutex_);
    loss_ = lossFraction;
    delay_ = oneWayDelay;
  }
  // Swallows everything, queued datagrams included, like a pulled cable.
  void blackhole(bool on) {
    std::lock_guard lock(mutex_);
    blackhole_ = on;
    if (on) queue_.clear();
  }

private:
  struct Datagram {
    Clock::time_point due;
    bool toListener;
    std::vector<char> bytes;
  };

  static sockaddr_in address(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  static int open() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = address(0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("The relay cannot open a UDP socket.");
    return fd;
  }

  void receive(int fd, bool toListener) {
    for (;;) {
      std::vector<char> bytes(2048);
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t got =
          recvfrom(fd, bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &size);
      if (got < 0) return;
      bytes.resize(static_cast<std::size_t>(got));
      std::lock_guard lock(mutex_);
      if (toListener) caller_ = from;  // the newest caller gets the answers
      if (blackhole_ || std::uniform_real_distribution<double>(0, 1)(random_) < loss_) continue;
      queue_.push_back({Clock::now() + delay_, toListener, std::move(bytes)});
    }
  }

  void run() {
    while (!stop_) {
      pollfd fds[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
      poll(fds, 2, 1);
      if (fds[0].revents & POLLIN) receive(front_, true);
      if (fds[1].revents & POLLIN) receive(back_, false);
      std::lock_guard lock(mutex_);
      // Constant delay keeps the queue in due order.
      while (!queue_.empty() && queue_.front().due <= Clock::now()) {
        const Datagram& d = queue_.front();
        const sockaddr_in& to = d.toListener ? listener_ : caller_;
        sendto(d.toListener ? back_ : front_, d.bytes.data(), d.bytes.size(), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to);
        queue_.pop_front();
      }
    }
  }

  int front_;  // faces the caller
  int back_;   // faces the listener
  int port_ = 0;
  sockaddr_in listener_{};
  std::atomic<bool> stop_ = false;
  std::mutex mutex_;
  sockaddr_in caller_{};
  double loss_ = 0;
  std::chrono::milliseconds delay_{0};
  bool blackhole_ = false;
  std::deque<Datagram> queue_;
  std::mt19937 random_{20};
  std::thread thread_;
};

}  // namespace vl::test
