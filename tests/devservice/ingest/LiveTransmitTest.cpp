// srt-live-transmit as a caller that shares no code with ours.
#include "Wait.h"
#include "ingest/Ingest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vl::dev {
namespace {

using test::waitFor;

// srt-live-transmit reading our pipe on its stdin and sending to the ingest.
class LiveTransmit {
public:
  LiveTransmit(int port, const std::string& streamId, const std::filesystem::path& log) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed.");
    const std::string target = "srt://127.0.0.1:" + std::to_string(port) + "?latency=1000&streamid=" + streamId;
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fds[0], 0), dup2(out, 1), dup2(out, 2), close(fds[1]);
      execl(SRT_LIVE_TRANSMIT, SRT_LIVE_TRANSMIT, "-a:no", "-chunk:1316", "file://con",
            target.c_str(), nullptr);
      _exit(127);
    }
    close(fds[0]);
    input_ = fds[1];
    if (pid_ < 0) throw std::runtime_error("srt-live-transmit did not start.");
  }
  ~LiveTransmit() {
    if (!finish()) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  }
  LiveTransmit(const LiveTransmit&) = delete;
  LiveTransmit& operator=(const LiveTransmit&) = delete;

  // A blocking pipe takes the whole write or fails.
  void write(const std::vector<char>& bytes) {
    if (::write(input_, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
      throw std::runtime_error("writing to srt-live-transmit failed.");
  }
  // It does not always end at the end of its input, and an interrupt alone may leave it
  // blocked reading that input: both together make it close its socket and exit.
  bool finish() {
    if (input_ >= 0) close(input_), input_ = -1;
    if (pid_ <= 0) return true;
    kill(pid_, SIGINT);
    if (!waitFor([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::seconds(5)))
      return false;
    pid_ = -1;
    return true;
  }

private:
  pid_t pid_ = -1;
  int input_ = -1;
};

// Our own caller's refusals are proven by the sender's tests; this one shows an
// independent caller is recorded exactly.
TEST(LiveTransmitTest, IndependentCallerIsRecordedByteForByte) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / ("live-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  Ingest ingest(0, [](const std::string& id) { return id == "live-42"; }, dir / "rec");
  LiveTransmit sender(ingest.port(), "live-42", dir / "slt.log");
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections.size() == 1; }))
      << "srt-live-transmit never connected; see " << (dir / "slt.log");
  // Whole 188-byte packets, seven to a read, as a transport stream arrives.
  std::mt19937 random(300);
  std::vector<char> sent;
  for (int burst = 0; burst < 30; ++burst) {
    std::vector<char> bytes(1316 * 5);
    for (char& b : bytes) b = char(random());
    sender.write(bytes);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    // Live mode drops what falls behind its latency: paced bursts, as a stream arrives.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Keep it connected until everything is in: closing at once would drop the tail.
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections[0].bytes >= sent.size(); }))
      << "received " << ingest.stats().connections[0].bytes << " of " << sent.size();
  EXPECT_TRUE(sender.finish());
  EXPECT_TRUE(waitFor([&] { return !ingest.stats().connections[0].open; }));

  const IngestStats stats = ingest.stats();
  const IngestConnection& c = stats.connections.at(0);
  EXPECT_EQ(c.streamId, "live-42");
  EXPECT_EQ(c.latencyMs, 1000);  // the caller's, above libsrt's 120
  EXPECT_EQ(c.bytes, sent.size());
  EXPECT_EQ(c.messages, c.fullMessages);
  EXPECT_EQ(c.fullMessages, sent.size() / 1316);
  std::ifstream recorded(c.file, std::ios::binary);
  EXPECT_EQ(std::vector<char>(std::istreambuf_iterator<char>(recorded), {}), sent);
  EXPECT_EQ(stats.rejected, 0u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vl::dev
