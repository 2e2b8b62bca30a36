// The worker end to end: the development service's account API and SRT ingest,
// the real token store (a private keyring), encoder, muxer and connection, and
// libavformat reading back what the ingest recorded.
#include "Core/Sender.h"
#include "Core/TokenStore.h"
#include "Transport/MetadataSei.h"

#include "Av.h"
#include "DevService.h"
#include "Wait.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;
using test::waitFor;

const std::string kToken = "ofx_sender_test_token";

// Pictures that move from one to the next, so the encoder always has work.
Frame pattern(int width, int height, int n) {
  Frame frame{width, height, 0, Samples(static_cast<std::size_t>(width) * height * 3)};
  for (std::size_t i = 0; i < frame.pixels.size(); ++i)
    frame.pixels[i] = static_cast<std::uint16_t>((i % (width * 3) + n * 12) * 97 + i / (width * 3) * 211);
  return frame;
}

struct Packet {
  std::int64_t pts = 0;
  bool key = false;
  std::vector<std::uint8_t> data;
};

std::vector<Packet> readBack(const std::filesystem::path& file) {
  std::vector<Packet> packets;
  test::AvInput input = test::openInput(file.c_str());
  test::AvPacket packet(av_packet_alloc());
  for (; input && av_read_frame(input.get(), packet.get()) >= 0; av_packet_unref(packet.get()))
    packets.push_back({packet->pts, (packet->flags & AV_PKT_FLAG_KEY) != 0,
                       std::vector<std::uint8_t>(packet->data, packet->data + packet->size)});
  return packets;
}

bool contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

class SenderStream : public ::testing::Test {
protected:
  void start(std::vector<std::string> options = {}) {
    options.insert(options.end(), {"--token", kToken});
    service_ = std::make_unique<test::DevService>(options);
    saveToken(service_->origin(), kToken);
    settings_.apiBase = service_->origin();
    settings_.viewerId = "dev-main";
    settings_.bitrateKbps = 2000;
    settings_.metadata = R"({"show":"sender test"})";
  }

  // Switches sending on and plays until that many pictures went out.
  ::testing::AssertionResult stream(Sender& sender, int width, int height, std::uint64_t pictures) {
    sender.configure(settings_, true);
    return play(sender, width, height, [pictures](const Sender::Stats& s) { return s.encodedFrames >= pictures; });
  }

  // Feeds pictures at the settings' rate until the worker reports the condition.
  ::testing::AssertionResult play(Sender& sender, int width, int height,
                                  const std::function<bool(const Sender::Stats&)>& done,
                                  std::chrono::milliseconds limit = 15000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    const auto step = std::chrono::microseconds(static_cast<std::int64_t>(1e6 / settings_.fps));
    for (auto next = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() < end;) {
      sender.submit(pattern(width, height, frames_++));
      if (done(sender.stats())) return ::testing::AssertionSuccess();
      std::this_thread::sleep_until(next += step);
    }
    return ::testing::AssertionFailure() << sender.stats().status;
  }

  std::unique_ptr<test::DevService> service_;
  Settings settings_;
  int frames_ = 0;
};

TEST_F(SenderStream, SetupFailuresBecomeTheStatus) {
  start({"--max-bitrate", "6000000", "--max-width", "640", "--max-height", "360", "--fail",
         "/api/accounts/streams/broken=500"});
  Sender sender;
  // The same settings configured again change nothing; new ones take effect at once.
  const auto attempt = [&](int width, int height) {
    sender.configure(settings_, true);
    const auto before = sender.stats().reconnectAttempts;
    EXPECT_TRUE(play(sender, width, height, [&](const auto& s) { return s.reconnectAttempts > before; }, 5000ms));
    return sender.stats().status;
  };
  settings_.bitrateKbps = 8000;
  EXPECT_EQ(attempt(320, 180), "Selected bitrate exceeds this stream's account limit");
  settings_.bitrateKbps = 6000;
  EXPECT_EQ(attempt(320, 362), "Source resolution exceeds this stream's account limit");
  EXPECT_EQ(attempt(319, 180), "Streaming needs even image dimensions");
  // Limits are inclusive.
  EXPECT_TRUE(play(sender, 640, 360, [](const Sender::Stats& s) { return s.encodedFrames > 0; }));

  // Account service failures are retried.
  settings_.viewerId = "broken";
  EXPECT_EQ(attempt(320, 180), "veltrane API returned HTTP 500");

  forgetToken(service_->origin());
  settings_.viewerId = "dev-main";
  EXPECT_EQ(attempt(320, 180), "Sign in to veltrane first");
}

TEST_F(SenderStream, CountsOnlyPicturesReplacedUnsentAndStopsPromptly) {
  start();
  auto sender = std::make_unique<Sender>();
  ASSERT_TRUE(stream(*sender, 320, 180, 5));
  // A host at a quarter of the stream's rate: every picture is sent, repeatedly, and
  // none replaced unsent (one may be, should the worker miss a whole 160 ms).
  auto before = sender->stats();
  for (int i = 0; i < 8; ++i) {
    sender->submit(pattern(320, 180, frames_++));
    std::this_thread::sleep_for(160ms);
  }
  auto after = sender->stats();
  EXPECT_LE(after.queueReplacements - before.queueReplacements, 1u);
  EXPECT_GE(after.encodedFrames - before.encodedFrames, 12u);
  // A host about four times faster than the stream: one picture goes out per interval,
  // and every picture not taken is counted as replaced. Counted against the time the
  // loop really took, which a slow (sanitized) build stretches; a worker that fell behind
  // under load sends a few back to back as it catches up to the next keyframe's picture.
  before = after;
  const auto fastStart = std::chrono::steady_clock::now();
  for (int i = 0; i < 40; ++i) {
    sender->submit(pattern(320, 180, frames_++));
    std::this_thread::sleep_for(10ms);
  }
  after = sender->stats();
  const double intervals = std::chrono::duration<double>(std::chrono::steady_clock::now() - fastStart).count() *
                           settings_.fps;
  const std::uint64_t sent = after.encodedFrames - before.encodedFrames;
  EXPECT_EQ(after.hostFrames - before.hostFrames, 40u);
  EXPECT_LE(static_cast<double>(sent), intervals * 1.5 + 2);
  EXPECT_GE(after.queueReplacements - before.queueReplacements + sent, 39u);

  sender->configure(settings_, false);
  EXPECT_EQ(sender->stats().status, "Stopped");
  const auto start = std::chrono::steady_clock::now();
  sender.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// A paced stream with the metadata in front of every keyframe, in which the pictures due
// while the machine stalled are skipped, not sent late in a burst.
TEST_F(SenderStream, AfterAStallLatePicturesAreSkippedNotSentInABurst) {
  start();
  {
    Sender sender;
    ASSERT_TRUE(stream(sender, 320, 180, 30));
    EXPECT_EQ(sender.stats().status, "Sending SRT / libx264");
    // Every thread of this process stops for 600 ms.
    const pid_t self = getpid();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      kill(self, SIGSTOP);
      const timespec stall{0, 600'000'000};
      nanosleep(&stall, nullptr);
      kill(self, SIGCONT);
      _exit(0);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    const auto before = sender.stats().encodedFrames;
    ASSERT_TRUE(play(sender, 320, 180, [&](const Sender::Stats& s) { return s.encodedFrames >= before + 30; }));
    EXPECT_EQ(sender.stats().reconnectAttempts, 0u);
    // Let the last latency window reach the listener before closing.
    std::this_thread::sleep_for(300ms);
  }
  const auto stats = service_->ingestStats();
  ASSERT_EQ(stats.connections.size(), 1u);
  const auto& connection = stats.connections[0];
  EXPECT_EQ(connection.bytes % 188, 0u);
  const auto packets = readBack(connection.file);
  ASSERT_GE(packets.size(), 55u);
  EXPECT_LE(connection.messages - connection.fullMessages, packets.size()) << "bursts are cut into 1316-byte messages";
  const auto sei = metadataSEI(settings_, false);
  int keyframes = packets[0].key, single = 0;  // a loaded machine may skip a late picture, never send one twice
  std::int64_t largest = 0;
  for (std::size_t i = 1; i < packets.size(); ++i) {
    const auto step = packets[i].pts - packets[i - 1].pts;
    EXPECT_TRUE(step > 0 && step % 3600 == 0) << "picture " << i << " step " << step;
    single += step == 3600;
    largest = std::max(largest, step);
    EXPECT_EQ(contains(packets[i].data, sei), packets[i].key) << "picture " << i;
    keyframes += packets[i].key;
  }
  EXPECT_GE(largest, 90000 * 4 / 10) << "the pictures due during the stall went out late";
  EXPECT_GE(single, static_cast<int>(packets.size()) * 8 / 10);
  EXPECT_TRUE(packets.front().key && contains(packets.front().data, sei));
  EXPECT_GE(keyframes, 2);  // one a second at 25 fps
}

// Each change chosen while sending starts a new session carrying it; a new picture size
// does too, without a reconnect.
TEST_F(SenderStream, ChangesChosenWhileSendingTakeEffect) {
  start();
  Sender sender;
  const auto record = [](const dev::IngestConnection& c) {
    std::ifstream in(c.file, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), {});
  };
  const auto sending = [](const dev::IngestConnection& c) { return c.bytes > 0; };
  struct Change {
    const char* what;
    std::function<void(Settings&)> apply;
    std::function<bool(const dev::IngestConnection&)> arrived;
    int width = 160;
  };
  const std::vector<Change> changes{
      {"metadata", [](Settings& s) { s.metadata = R"({"show":"changed"})"; },
       [&](const dev::IngestConnection& c) { return contains(record(c), metadataSEI(settings_, false)); }},
      {"bitrate", [](Settings& s) { s.bitrateKbps = 3000; }, sending},
      {"stream", [](Settings& s) { s.viewerId = "studio b/2"; },
       [&](const dev::IngestConnection& c) {
         return c.bytes > 0 && c.streamId != service_->ingestStats().connections.at(0).streamId;
       }},
      {"size", [](Settings&) {}, sending, 320},
  };
  ASSERT_TRUE(stream(sender, 160, 90, 5));
  std::size_t connections = 1;
  for (const Change& change : changes) {
    change.apply(settings_);
    sender.configure(settings_, true);
    ++connections;
    EXPECT_TRUE(play(sender, change.width, 90, [&](const Sender::Stats&) {
      const auto stats = service_->ingestStats();
      return stats.connections.size() == connections && change.arrived(stats.connections.back());
    }, 8000ms)) << change.what;
  }
  EXPECT_EQ(sender.stats().reconnectAttempts, 0u);
}

}  // namespace
}  // namespace vl
