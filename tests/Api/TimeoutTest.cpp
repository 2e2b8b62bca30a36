#include "Api/Api.h"
#include "TestServer.h"
#include "Transport/Connection.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vl {
namespace {

using Clock = std::chrono::steady_clock;
using Socket = std::unique_ptr<int, decltype([](int* fd) { ::close(*fd), delete fd; })>;

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

Socket open(int type) {
  const int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) throw std::runtime_error("The test socket could not be opened.");
  return Socket(new int(fd));
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The account call's failure, and that it took between low and high seconds.
void expectFailsWithin(const std::function<void()>& call, const std::string& failure, double low, double high) {
  const auto start = Clock::now();
  EXPECT_EQ(test::failure(call), failure);
  const double elapsed = secondsSince(start);
  EXPECT_GE(elapsed, low);   // it did wait
  EXPECT_LT(elapsed, high);  // and gave up in time, with a margin for a loaded machine
}

TEST(Timeout, AServerThatNeverAnswersEndsWithinTheTotalTimeOut) {
  test::TestServer server;
  test::Reply silent;
  silent.delay = std::chrono::minutes(1);
  server.answer("/api/accounts/streams", silent);
  const Api api(server.origin());
  expectFailsWithin([&] { api.streams("tok"); }, test::kConnectionFailed, 4.5, 12.0);  // 5 s in all
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(Timeout, AConnectionThatNeverCompletesGivesUpBeforeTheTotalTimeOut) {
  const Socket full = open(SOCK_STREAM);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(*full, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(*full, 0), 0);
  ASSERT_EQ(::getsockname(*full, reinterpret_cast<sockaddr*>(&address), &length), 0);
  // Fill the accept queue; Linux then drops further SYNs unanswered (unless tcp_abort_on_overflow is set).
  std::vector<Socket> fillers;
  bool hanging = false;
  for (int i = 0; i < 8 && !hanging; ++i) {
    const int fd = *fillers.emplace_back(open(SOCK_STREAM | SOCK_NONBLOCK));
    pollfd p{fd, POLLOUT, 0};
    hanging = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 && ::poll(&p, 1, 300) != 1;
  }
  ASSERT_TRUE(hanging) << "the kernel completed every connection beyond the accept backlog";

  const Api api("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
  // The 2 s connect limit, not an immediate refusal nor the 5 s limit of the whole exchange.
  expectFailsWithin([&] { api.streams("tok"); }, test::kConnectionFailed, 1.5, 4.5);
}

// Run through dead-resolver.sh, where name lookups go to a port this test holds.
TEST(Timeout, AResolverThatNeverAnswersEndsWithinTheConnectTimeOut) {
  // Outside the script the lookups below would reach the machine's real resolver.
  ASSERT_NE(std::getenv("VELTRANE_DEAD_RESOLVER"), nullptr) << "run this case through dead-resolver.sh";
  const Socket resolver = open(SOCK_DGRAM);
  const sockaddr_in address = loopback(53);
  ASSERT_EQ(::bind(*resolver, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  // The account service, then the SRT ingest, as the sending worker reaches them; a limit
  // of 2 s covers the lookup, clean-up included.
  expectFailsWithin([] { Api("https://veltrane.example").streams("tok"); }, test::kConnectionFailed, 1.5, 4.5);
  expectFailsWithin([] { Connection(Target{"srt://ingest.veltrane.example:9000", "s", "", 0, 0, 0}, 120, 8000); },
                    "SRT server DNS lookup failed", 1.5, 4.5);
  char query[512];
  EXPECT_GT(::recv(*resolver, query, sizeof query, MSG_DONTWAIT), 0) << "the lookup never reached the resolver";
}

}  // namespace
}  // namespace vl
