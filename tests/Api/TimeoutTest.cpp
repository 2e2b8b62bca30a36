#include "Api/Api.h"
#include "Failure.h"
#include "Transport/Connection.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vl {
namespace {

using Clock = std::chrono::steady_clock;

class Socket {
public:
  explicit Socket(int fd = -1) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Socket& operator=(Socket&&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

// A loopback listener on a free port with the given accept backlog.
Socket listener(int backlog, int& port) {
  Socket s(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (s.get() < 0 || ::bind(s.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(s.get(), backlog) != 0 || ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("The test listener could not be opened.");
  port = ntohs(address.sin_port);
  return s;
}

// Accepts every connection and never sends a byte.
class SilentServer {
public:
  SilentServer() : listen_(listener(16, port_)) {
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{listen_.get(), POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        const int fd = ::accept(listen_.get(), nullptr, nullptr);
        if (fd < 0) continue;
        const std::lock_guard lock(mutex_);
        accepted_.emplace_back(fd);
      }
    });
  }
  ~SilentServer() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return port_; }
  std::size_t accepted() const {
    const std::lock_guard lock(mutex_);
    return accepted_.size();
  }

private:
  int port_ = 0;
  Socket listen_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<Socket> accepted_;
  std::thread thread_;
};

// Connects without waiting; true once the connection completed within the wait.
bool connectWithin(const Socket& s, int port, int waitMs) {
  ::fcntl(s.get(), F_SETFL, O_NONBLOCK);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  pollfd p{s.get(), POLLOUT, 0};
  return ::poll(&p, 1, waitMs) == 1;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Timeout, AServerThatNeverAnswersEndsWithinTheTotalTimeOut) {
  SilentServer server;
  const Api api("http://127.0.0.1:" + std::to_string(server.port()));
  const auto start = Clock::now();
  EXPECT_EQ(test::failure([&] { api.request("/api/accounts/streams", "tok", std::nullopt, false); }),
            test::kConnectionFailed);
  const double elapsed = secondsSince(start);
  EXPECT_EQ(server.accepted(), 1u);
  EXPECT_GE(elapsed, 4.5);   // it did wait for an answer
  EXPECT_LT(elapsed, 12.0);  // 5 s total plus a generous margin on a loaded machine
}

TEST(Timeout, AConnectionThatNeverCompletesGivesUpBeforeTheTotalTimeOut) {
  int port = 0;
  const Socket full = listener(0, port);
  // Fill the accept queue; once it is full the kernel drops further SYNs unanswered.
  std::vector<Socket> fillers;
  bool hanging = false;
  for (int i = 0; i < 8 && !hanging; ++i) {
    fillers.emplace_back(::socket(AF_INET, SOCK_STREAM, 0));
    hanging = !connectWithin(fillers.back(), port, 300);
  }
  // Linux drops SYNs beyond a full accept queue unless tcp_abort_on_overflow is set.
  ASSERT_TRUE(hanging) << "the kernel completed every connection beyond the accept backlog";

  const Api api("http://127.0.0.1:" + std::to_string(port));
  const auto start = Clock::now();
  EXPECT_EQ(test::failure([&] { api.request("/api/accounts/streams", "tok", std::nullopt, false); }),
            test::kConnectionFailed);
  const double elapsed = secondsSince(start);
  EXPECT_GE(elapsed, 1.5);  // the 2 s connect limit, not an immediate refusal
  EXPECT_LT(elapsed, 4.5);  // and not the 5 s limit of the whole exchange
}

// Run through dead-resolver.sh, where name lookups go to a port this test holds.
TEST(Timeout, AResolverThatNeverAnswersEndsWithinTheConnectTimeOut) {
  // Outside the script the lookups below would reach the machine's real resolver.
  ASSERT_NE(std::getenv("VELTRANE_DEAD_RESOLVER"), nullptr) << "run this case through dead-resolver.sh";
  const Socket resolver(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(53);
  ASSERT_EQ(::bind(resolver.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  // The account service, then the SRT ingest, as the sending worker reaches them.
  const std::pair<std::function<void()>, std::string> calls[] = {
      {[] { Api("https://veltrane.example").streams("tok"); }, test::kConnectionFailed},
      {[] { Connection(Target{"srt://ingest.veltrane.example:9000", "s", "", 0, 0, 0}, 120, 8000); },
       "SRT server DNS lookup failed"}};
  for (const auto& [call, failure] : calls) {
    const auto start = Clock::now();
    EXPECT_EQ(test::failure(call), failure);
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 1.5);  // it waited for the lookup
    EXPECT_LT(elapsed, 4.5);  // a limit of 2 s covers the lookup, clean-up included
  }
  char query[512];
  EXPECT_GT(::recv(resolver.get(), query, sizeof query, MSG_DONTWAIT), 0) << "the lookup never reached the resolver";
}

}  // namespace
}  // namespace vl
