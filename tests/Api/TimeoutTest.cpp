#include "Api/Api.h"
#include "TestServer.h"
#include "Transport/Connection.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

namespace vl {
namespace {

// The account call's failure, and that it took between low and high seconds.
void expectFailsWithin(const std::function<void()>& call, const std::string& failure, double low, double high) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(test::failure(call), failure);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

// Run through dead-resolver.sh, where name lookups go to a port this test holds.
TEST(Timeout, AResolverThatNeverAnswersEndsWithinTheConnectTimeOut) {
  // Outside the script the lookups below would reach the machine's real resolver.
  ASSERT_NE(std::getenv("VELTRANE_DEAD_RESOLVER"), nullptr) << "run this case through dead-resolver.sh";
  const int resolver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(53);
  ASSERT_EQ(::bind(resolver, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  // The account service, then the SRT ingest, as the sending worker reaches them; the 2 s
  // connect limit covers the lookup, clean-up included, well before the 5 s of the whole exchange.
  expectFailsWithin([] { Api("https://veltrane.example").streams("tok"); }, test::kConnectionFailed, 1.5, 4.5);
  expectFailsWithin([] { Connection(Target{"srt://ingest.veltrane.example:9000", "s", "", 0, 0, 0}, 120, 8000); },
                    "SRT server DNS lookup failed", 1.5, 4.5);
  char query[512];
  EXPECT_GT(::recv(resolver, query, sizeof query, MSG_DONTWAIT), 0) << "the lookup never reached the resolver";
  ::close(resolver);
}

}  // namespace
}  // namespace vl
