// srt-live-transmit as a caller that shares no code with ours.
#include "SrtCaller.h"
#include "ingest/Ingest.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vl::dev {
namespace {

using test::readFile;
using test::waitFor;

// srt-live-transmit reading our pipe on its stdin and sending to the ingest.
class LiveTransmit {
public:
  LiveTransmit(const std::string& target, const std::filesystem::path& log) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed.");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args{SRT_LIVE_TRANSMIT, "-a:no", "-chunk:1316", "file://con", target};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid_, SRT_LIVE_TRANSMIT, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (failed != 0) {
      close(fds[1]);
      throw std::runtime_error("srt-live-transmit did not start.");
    }
    input_ = fds[1];
  }
  ~LiveTransmit() {
    finish();
    if (pid_ > 0 && !wait(std::chrono::seconds(5))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  LiveTransmit(const LiveTransmit&) = delete;
  LiveTransmit& operator=(const LiveTransmit&) = delete;

  void write(const std::vector<char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) throw std::runtime_error("writing to srt-live-transmit failed.");
      done += std::size_t(n);
    }
  }
  void closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }
  // It does not always end at the end of its input, and an interrupt alone may leave it
  // blocked reading that input: both together make it close its socket and exit.
  void finish() {
    closeInput();
    if (pid_ > 0) kill(pid_, SIGINT);
  }
  // True once the process has ended within the time given.
  bool wait(std::chrono::milliseconds timeout) {
    return waitFor([&] {
      if (pid_ <= 0) return true;
      if (waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
      return pid_ <= 0;
    }, timeout);
  }

private:
  pid_t pid_ = -1;
  int input_ = -1;
  int status_ = 0;
};

std::string logOf(const std::filesystem::path& dir) {
  const std::vector<char> bytes = readFile(dir / "slt.log");
  return {bytes.begin(), bytes.end()};
}

std::string target(int port, const std::string& streamId) {
  return "srt://127.0.0.1:" + std::to_string(port) + "?streamid=" + streamId;
}

TEST(LiveTransmitTest, IndependentCallerIsRecordedByteForByte) {
  test::TempDir dir;
  Ingest ingest(0, [](const std::string& id) { return id == "live-42"; }, dir.path / "rec");
  LiveTransmit sender(target(ingest.port(), "live-42"), dir.path / "slt.log");
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections.size() == 1; }))
      << "srt-live-transmit never connected; its log:\n" << logOf(dir.path);

  // Whole 188-byte packets, seven to a read, as a transport stream arrives.
  std::vector<char> sent;
  for (int burst = 0; burst < 30; ++burst) {
    const std::vector<char> bytes = test::randomBytes(1316 * 5, 300 + burst);
    sender.write(bytes);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
  }
  // Keep it connected until everything is in: closing at once would drop the tail.
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections[0].bytes >= sent.size(); }))
      << "received " << ingest.stats().connections[0].bytes << " of " << sent.size();
  EXPECT_TRUE(ingest.stats().connections[0].open);
  sender.finish();
  EXPECT_TRUE(sender.wait(std::chrono::seconds(5)));
  EXPECT_TRUE(waitFor([&] { return !ingest.stats().connections[0].open; }));

  const IngestStats stats = ingest.stats();
  ASSERT_EQ(stats.connections.size(), 1u);
  const IngestConnection& c = stats.connections[0];
  EXPECT_EQ(c.streamId, "live-42");
  EXPECT_EQ(c.bytes, sent.size());
  EXPECT_EQ(c.messages, c.fullMessages);
  EXPECT_EQ(c.fullMessages, sent.size() / 1316);
  EXPECT_EQ(readFile(c.file), sent);
  EXPECT_EQ(stats.rejected, 0u);
}

TEST(LiveTransmitTest, IndependentCallerWithUnknownIdentityIsRejected) {
  test::TempDir dir;
  Ingest ingest(0, [](const std::string& id) { return id == "live-42"; }, dir.path / "rec");
  LiveTransmit sender(target(ingest.port(), "live-43"), dir.path / "slt.log");
  EXPECT_TRUE(waitFor([&] { return ingest.stats().rejected >= 1; }))
      << "its log:\n" << logOf(dir.path);
  sender.write(test::randomBytes(1316, 1));
  sender.finish();
  EXPECT_TRUE(sender.wait(std::chrono::seconds(5)));
  EXPECT_TRUE(ingest.stats().connections.empty());
  EXPECT_FALSE(std::filesystem::exists(dir.path / "rec" / "1.ts"));
}

}  // namespace
}  // namespace vl::dev
