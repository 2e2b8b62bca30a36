// Run through local-names.sh, where "localhost" resolves to two addresses and no
// other name resolves.
#include "Transport/Connection.h"

#include "Failure.h"
#include "Wait.h"
#include "ingest/Ingest.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <srt/srt.h>
#include <unistd.h>

#include <filesystem>

namespace vl {
namespace {

using namespace std::chrono_literals;
using test::waitFor;

std::vector<std::string> resolve(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  std::vector<std::string> out;
  if (getaddrinfo(name.c_str(), "9", &hints, &list) != 0) return out;
  for (const addrinfo* a = list; a; a = a->ai_next) {
    char text[NI_MAXHOST];
    getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    out.push_back(text);
  }
  freeaddrinfo(list);
  return out;
}

bool gone(SRTSOCKET socket) {
  const SRT_SOCKSTATUS state = srt_getsockstate(socket);
  return state == SRTS_CLOSED || state == SRTS_NONEXIST;
}

TEST(ConnectionFallback, UnknownNameFailsTheLookup) {
  ASSERT_TRUE(resolve("no-such-host.invalid").empty());
  EXPECT_EQ(test::failure([&] { Connection(Target{"srt://no-such-host.invalid:9000", "", ""}, 60, 8000); }),
            "SRT server DNS lookup failed");
}

TEST(ConnectionFallback, SecondAddressAfterARefusingFirstAndTheFirstSocketClosed) {
  ASSERT_EQ(resolve("localhost"), (std::vector<std::string>{"::1", "127.0.0.1"}));
  // Only the second address has a listener; the first one times out.
  const auto dir = std::filesystem::temp_directory_path() / ("veltrane-fallback-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  dev::Ingest ingest(0, [](const std::string&) { return true; }, dir);
  // libsrt leaves a socket whose connect failed open until it is closed, and hands out
  // socket identities counting down: the connection's two attempts get the two below a probe's.
  const SRTSOCKET probe = srt_create_socket();
  srt_close(probe);
  Connection connection(Target{"srt://localhost:" + std::to_string(ingest.port()), "fallback", ""}, 60, 8000);
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections.size() == 1; }, 2s));
  EXPECT_EQ(ingest.stats().connections[0].streamId, "fallback");
  EXPECT_EQ(srt_getsockstate(probe - 2), SRTS_CONNECTED);
  EXPECT_TRUE(gone(probe - 1)) << "the refused attempt's socket was left open";

  connection.send(std::vector<std::uint8_t>(188 * 10, 0x47));
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections[0].bytes >= 188 * 10; }, 2s));
  EXPECT_EQ(ingest.stats().connections[0].messages, 2u);  // 1316 and 564 bytes
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vl
