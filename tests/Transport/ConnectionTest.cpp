// Real SRT peers on loopback: the development service's ingest, and srt-live-transmit as
// a listener we did not write.
#include "Transport/Connection.h"
#include "Transport/Muxer.h"

#include "Linux/Child.h"

#include "Failure.h"
#include "Wait.h"
#include "ingest/Ingest.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace vl {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
using test::waitFor;

const std::string kRefused = "SRT connection failed; check stream, firewall and ingest server";

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

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Bitrate plus 10 % without overflow; the buffer holds one latency window, 256 KiB to 8 MiB.
TEST(ConnectionValues, BandwidthAndSendBuffer) {
  EXPECT_EQ(std::tuple(inputBandwidthBytesPerSecond(6000), inputBandwidthBytesPerSecond(2147483647)),
            std::tuple(825000, 295279001462));
  for (auto [kbps, latencyMs, bytes] :
       {std::tuple{6000, 2000, 1650000}, {6000, 50, 262144}, {2147483647, 2147483647, 8388608}})
    EXPECT_EQ(sendBufferBytes(kbps, latencyMs), bytes) << kbps << " kbit/s, " << latencyMs << " ms";
}

TEST(ConnectionDescriptor, RefusedBeforeAnyNetworkAndNobodyListening) {
  for (const std::string url : {"srt://127.0.0.1/", "udp://127.0.0.1:9000", "srt://127.0.0.1:9000/live",
                                 "srt://127.0.0.1:9000?mode=caller", "srt://:9000", "srt://127.0.0.1:99999"})
    EXPECT_EQ(test::failure([&] { Connection({url, "", ""}, 60, 8000); }), "Invalid SRT server descriptor") << url;
  // Nobody listens on this port: every address times out. Lookup failures run in local-names.sh.
  const int port = freeUdpPort();
  EXPECT_EQ(test::failure([&] { Connection({"srt://127.0.0.1:" + std::to_string(port), "", ""}, 60, 8000); }),
            kRefused);
}

// A trailing slash and an identity; the caller's latency wins over the ingest's 120 ms;
// bursts go out in 1316-byte messages but their last; the ingest going away fails the send.
TEST(ConnectionToIngest, DeliversIdentityMessagesAndBytesUntilTheIngestGoes) {
  const auto dir = std::filesystem::temp_directory_path() / ("veltrane-connection-" + std::to_string(getpid()));
  auto ingest = std::make_unique<dev::Ingest>(0, [](const std::string&) { return true; }, dir);
  const std::string id = "#!::r=live/stream-7,m=publish";
  Connection connection({"srt://127.0.0.1:" + std::to_string(ingest->port()) + "/", id, ""}, 250, 6000);
  ASSERT_TRUE(waitFor([&] { return ingest->stats().connections.size() == 1; }, 2s));

  std::vector<Bytes> sent = bursts(30, 7);
  sent.insert(sent.begin(), {Bytes(2820, 0x47), Bytes(1316, 0x11), Bytes(188, 0x22), Bytes(1316 + 188, 0x33)});
  connection.send({});  // nothing at all
  Bytes all;
  std::uint64_t messages = 0, full = 0;
  for (const Bytes& burst : sent) {
    connection.send(burst);
    all.insert(all.end(), burst.begin(), burst.end());
    messages += (burst.size() + 1315) / 1316;
    full += burst.size() / 1316;
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_TRUE(waitFor([&] { return ingest->stats().connections[0].bytes >= all.size(); }, 3s));
  const dev::IngestConnection got = ingest->stats().connections[0];
  EXPECT_EQ(got.streamId, id);
  EXPECT_EQ(got.latencyMs, 250);
  EXPECT_EQ(std::tuple(got.messages, got.fullMessages), std::tuple(messages, full));
  EXPECT_TRUE(fileText(got.file) == std::string(all.begin(), all.end()));

  ingest.reset();
  std::string message;
  waitFor([&] { return (message = test::failure([&] { connection.send(Bytes(188 * 20, 0x47)); })) != "no error"; }, 8s);
  EXPECT_EQ(message, "SRT sender congested or disconnected; reconnecting");
  std::filesystem::remove_all(dir);
}

// srt-live-transmit as the listener, its standard output what it received: over IPv6 with a
// passphrase that must match (IPv4 reaches the ingest above).
TEST(ConnectionToSrtLiveTransmit, StreamArrivesIntactOverIPv6WithPassphrase) {
  const std::string url = "srt://[::1]:" + std::to_string(freeUdpPort()), secret = "correct horse battery";
  Child ingest({"srt-live-transmit", "-a:no", "-ll:error", url + "?mode=listener&latency=20&passphrase=" + secret,
                "file://con"});
  // Its listening UDP socket shows in the kernel's table once it is ready.
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", std::stoi(url.substr(url.rfind(':') + 1)));
  ASSERT_TRUE(waitFor([&] { return fileText("/proc/net/udp6").find(hex) != std::string::npos; }, 5s));
  for (const std::string wrong : {"wrong passphrase!", ""})
    EXPECT_EQ(test::failure([&] { Connection({url, "x", wrong}, 60, 8000); }), kRefused);
  Bytes all;
  {
    Connection connection({url, "#!::r=live", secret}, 80, 8000);
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
