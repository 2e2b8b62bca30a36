#include "Transport/Connection.h"
#include "Transport/Muxer.h"

#include "Linux/Child.h"

#include "Failure.h"
#include "SrtListener.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>

namespace vl {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
using test::SrtListener;
using test::waitFor;

const ::testing::Environment* const srtEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::SrtEnvironment);

Target targetFor(const std::string& url, const std::string& streamId = "", const std::string& passphrase = "") {
  return {url, streamId, passphrase};
}

// Bursts as the worker sends them: real muxer output around made-up access units.
std::vector<Bytes> bursts(int count, std::uint32_t seed) {
  std::mt19937 random(seed);
  Muxer muxer(false);
  std::vector<Bytes> out;
  for (int i = 0; i < count; ++i) {
    Bytes au(static_cast<std::size_t>(random() % 9000) + (i % 10 == 0 ? 20000 : 0));
    for (auto& b : au) b = static_cast<std::uint8_t>(random());
    out.push_back(muxer.packetize(au, i % 10 == 0, 900000 + i * 3000));
  }
  return out;
}

// The message sizes a burst must turn into.
std::vector<std::size_t> messagesFor(std::size_t size) {
  std::vector<std::size_t> out;
  for (; size > 1316; size -= 1316) out.push_back(1316);
  if (size > 0) out.push_back(size);
  return out;
}

// A port that nothing holds right now (a plain UDP socket, released at once).
int freeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

TEST(ConnectionValues, BandwidthAndSendBuffer) {
  // 1 kbit/s truncates; no overflow at the largest bitrate an int holds.
  for (auto [kbps, bytesPerSecond] : {std::pair{6000, 825000LL}, {8000, 1100000LL}, {1, 137LL}, {2147483647, 295279001462LL}})
    EXPECT_EQ(inputBandwidthBytesPerSecond(kbps), bytesPerSecond) << kbps;
  for (auto [kbps, latencyMs, bytes] : {std::tuple{6000, 2000, 1650000}, {6000, 50, 262144}, {8000, 60, 262144},
                                        {200000, 2000, 8388608}, {20000, 1000, 2750000}, {2147483647, 2147483647, 8388608}})
    EXPECT_EQ(sendBufferBytes(kbps, latencyMs), bytes) << kbps << " kbit/s, " << latencyMs << " ms";
}

TEST(ConnectionDescriptor, RefusedBeforeAnyNetworkAndNobodyListening) {
  for (const std::string url :
       {"", "not a descriptor", "srt://127.0.0.1", "srt://127.0.0.1/", "udp://127.0.0.1:9000",
        "SRTX://127.0.0.1:9000", "srt://127.0.0.1:9000/live", "srt://127.0.0.1:9000//",
        "srt://127.0.0.1:9000?mode=caller", "srt://127.0.0.1:9000/?latency=20", "srt://:9000",
        "srt://127.0.0.1:99999", "127.0.0.1:9000"}) {
    EXPECT_EQ(test::failure([&] { Connection(targetFor(url), 60, 8000); }), "Invalid SRT server descriptor") << url;
  }
  // Nobody listens on this port: every address times out. Lookup failures run in local-names.sh.
  const int port = freeUdpPort();
  EXPECT_EQ(test::failure([&] { Connection(targetFor("srt://127.0.0.1:" + std::to_string(port)), 60, 8000); }),
            "SRT connection failed; check stream, firewall and ingest server");
}

// IPv4 with a trailing slash and an identity; IPv6 with neither.
class ConnectionToListener : public ::testing::TestWithParam<const char*> {};

TEST_P(ConnectionToListener, DeliversIdentityMessagesAndBytes) {
  const std::string address = GetParam();
  const bool v6 = address.find(':') != std::string::npos;
  SrtListener listener(address);
  const std::string url = "srt://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(listener.port());
  const std::string id = v6 ? "" : "#!::r=live/stream-7,m=publish";
  Connection connection(targetFor(v6 ? url : url + "/", id), 120, 6000);
  ASSERT_TRUE(waitFor([&] { return listener.accepted(); }, 2s));
  EXPECT_EQ(listener.streamId(), id);
  EXPECT_EQ(listener.peerLatencyMs(), 120);  // the caller's latency wins over the listener's 20

  std::vector<Bytes> sent = bursts(30, 7);
  sent.insert(sent.begin(), {Bytes(2820, 0x47), Bytes(1316, 0x11), Bytes(188, 0x22), Bytes(1316 + 188, 0x33)});
  connection.send({});  // nothing at all
  Bytes all;
  std::vector<std::size_t> sizes;
  for (const Bytes& burst : sent) {
    connection.send(burst);
    all.insert(all.end(), burst.begin(), burst.end());
    for (std::size_t size : messagesFor(burst.size())) sizes.push_back(size);
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_TRUE(waitFor([&] { return listener.byteCount() >= all.size(); }, 3s)) << listener.byteCount();
  const std::vector<std::size_t> got = listener.messageSizes();
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ((std::vector<std::size_t>(got.begin(), got.begin() + 3)), (std::vector<std::size_t>{1316, 1316, 188}));
  EXPECT_EQ(got, sizes);
  EXPECT_TRUE(listener.bytes() == all);
}

INSTANTIATE_TEST_SUITE_P(Loopback, ConnectionToListener, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) { return std::string(info.index == 0 ? "IPv4" : "IPv6"); });

// A wrong or missing passphrase is refused; the encrypted stream arrives intact, and the
// listener going away fails the send.
TEST(ConnectionToListener, PassphraseMustMatchAndTheEncryptedStreamArrivesUntilTheListenerGoes) {
  const std::string secret = "correct horse battery";
  SrtListener listener("127.0.0.1", secret);
  const std::string url = "srt://127.0.0.1:" + std::to_string(listener.port());
  for (const std::string wrong : {"wrong passphrase!", ""})
    EXPECT_EQ(test::failure([&] { Connection(targetFor(url, "x", wrong), 60, 8000); }),
              "SRT connection failed; check stream, firewall and ingest server");
  EXPECT_FALSE(listener.accepted());
  Connection connection(targetFor(url, "enc", secret), 60, 8000);
  ASSERT_TRUE(waitFor([&] { return listener.accepted(); }, 2s));
  Bytes all;
  for (const Bytes& burst : bursts(10, 3)) {
    connection.send(burst);
    all.insert(all.end(), burst.begin(), burst.end());
  }
  ASSERT_TRUE(waitFor([&] { return listener.byteCount() >= all.size(); }, 3s));
  EXPECT_TRUE(listener.bytes() == all);
  listener.drop();
  std::string message;
  waitFor([&] { return (message = test::failure([&] { connection.send(Bytes(188 * 20, 0x47)); })) != "no error"; }, 8s);
  EXPECT_EQ(message, "SRT sender congested or disconnected; reconnecting");
}

// srt-live-transmit as an ingest we did not write: what it receives comes out on its standard output.
TEST(ConnectionToSrtLiveTransmit, StreamArrivesIntact) {
  const int port = freeUdpPort();
  Child ingest({"srt-live-transmit", "-a:no", "-ll:error",
                "srt://127.0.0.1:" + std::to_string(port) + "?mode=listener&latency=20", "file://con"});
  // Its listening UDP socket shows in the kernel's table once it is ready.
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  ASSERT_TRUE(waitFor([&] {
    std::ifstream table("/proc/net/udp");
    return std::string(std::istreambuf_iterator<char>(table), {}).find(hex) != std::string::npos;
  }, 5s));
  Bytes all;
  {
    Connection connection(targetFor("srt://127.0.0.1:" + std::to_string(port), "#!::r=live"), 80, 8000);
    for (const Bytes& burst : bursts(40, 11)) {
      connection.send(burst);
      all.insert(all.end(), burst.begin(), burst.end());
      ingest.poll();
      std::this_thread::sleep_for(3ms);
    }
    // Its output is buffered in 4 KiB blocks; the rest is written when it exits.
    ASSERT_TRUE(waitFor([&] { return !ingest.poll() && ingest.output().size() + 4096 >= all.size(); }, 5s));
    // Closing at once would lose the last latency window at the listener.
    std::this_thread::sleep_for(500ms);
  }
  // Without auto-reconnect it ends when its caller goes away.
  ASSERT_TRUE(waitFor([&] { return ingest.poll().has_value(); }, 5s));
  EXPECT_TRUE(Bytes(ingest.output().begin(), ingest.output().end()) == all)
      << ingest.output().size() << " of " << all.size() << " bytes";
}

}  // namespace
}  // namespace vl
