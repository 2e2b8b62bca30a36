// Run through local-names.sh, where "localhost" resolves to two addresses and no
// other name resolves.
#include "Transport/Connection.h"

#include "Failure.h"
#include "Wait.h"
#include "ingest/Ingest.h"

#include <gtest/gtest.h>

#include <srt/srt.h>
#include <unistd.h>

#include <filesystem>

namespace vl {
namespace {

using namespace std::chrono_literals;
using test::waitFor;

TEST(ConnectionFallback, UnknownNameFailsAndLocalhostFallsBackToItsSecondAddress) {
  EXPECT_EQ(test::failure([&] { Connection(Target{"srt://no-such-host.invalid:9000", "", ""}, 60, 8000); }),
            "SRT server DNS lookup failed");
  // localhost is ::1, then 127.0.0.1: only the second address has a listener, the first times out.
  const auto dir = std::filesystem::temp_directory_path() / ("veltrane-fallback-" + std::to_string(getpid()));
  dev::Ingest ingest(0, [](const std::string&) { return true; }, dir);
  // libsrt leaves a socket whose connect failed open until it is closed, and hands out
  // socket identities counting down: the connection's two attempts get the two below a probe's.
  const SRTSOCKET probe = srt_create_socket();
  srt_close(probe);
  Connection connection(Target{"srt://localhost:" + std::to_string(ingest.port()), "fallback", ""}, 60, 8000);
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections.size() == 1; }, 2s));
  EXPECT_EQ(ingest.stats().connections[0].streamId, "fallback");
  EXPECT_EQ(srt_getsockstate(probe - 2), SRTS_CONNECTED);
  const SRT_SOCKSTATUS refused = srt_getsockstate(probe - 1);
  EXPECT_TRUE(refused == SRTS_CLOSED || refused == SRTS_NONEXIST) << "the refused attempt's socket was left open";

  connection.send(std::vector<std::uint8_t>(188 * 10, 0x47));
  EXPECT_TRUE(waitFor([&] { return ingest.stats().connections[0].bytes == 188 * 10; }, 2s));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vl
