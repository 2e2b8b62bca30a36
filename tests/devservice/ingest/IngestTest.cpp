#include "SrtCaller.h"
#include "ingest/Ingest.h"

#include <srt/access_control.h>

#include <gtest/gtest.h>

#include <mutex>
#include <set>

namespace vl::dev {
namespace {

using namespace std::chrono_literals;
using test::connectCaller;
using test::readFile;
using test::sendMessage;
using test::waitFor;

// Accepts a fixed set of identities and remembers every identity it was asked about.
class Identities {
public:
  explicit Identities(std::set<std::string> known) : known_(std::move(known)) {}


  std::function<bool(const std::string&)> predicate() {
    return [this](const std::string& id) {
      std::lock_guard lock(mutex_);
      asked_.push_back(id);
      return known_.count(id) != 0;
    };
  }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex_);
    return asked_;
  }

private:
  std::set<std::string> known_;
  std::mutex mutex_;
  std::vector<std::string> asked_;
};

bool receivedBytes(const Ingest& ingest, std::size_t connection, std::uint64_t bytes) {
  const IngestStats s = ingest.stats();
  return s.connections.size() > connection && s.connections[connection].bytes >= bytes;
}

bool closed(const Ingest& ingest, std::size_t connection) {
  const IngestStats s = ingest.stats();
  return s.connections.size() > connection && !s.connections[connection].open;
}

// Sends the messages and waits until the ingest has them all: a caller that closes at
// once would lose the last latency window at the listener.
std::vector<char> sendAll(const Ingest& ingest, std::size_t connection, const test::Socket& socket,
                          const std::vector<std::size_t>& sizes, std::uint32_t seed) {
  std::vector<char> sent;
  for (std::size_t size : sizes) {
    const std::vector<char> message = test::randomBytes(size, seed++);
    EXPECT_EQ(sendMessage(socket, message), int(size));
    sent.insert(sent.end(), message.begin(), message.end());
  }
  EXPECT_TRUE(waitFor([&] { return receivedBytes(ingest, connection, sent.size()); }))
      << "the ingest did not receive all " << sent.size() << " bytes";
  return sent;
}

TEST(IngestTest, RecordsEveryMessageOfAnAcceptedStream) {
  test::TempDir dir;
  Identities ids({"stream-abc"});
  const auto recordDir = dir.path / "not" / "yet" / "there";
  Ingest ingest(0, ids.predicate(), recordDir);
  ASSERT_GT(ingest.port(), 0);

  test::Attempt caller = connectCaller(ingest.port(), "stream-abc");
  ASSERT_TRUE(caller.socket) << "reject reason " << caller.rejectReason;

  std::vector<std::size_t> sizes(40, 1316);
  for (std::size_t size : {188, 1, 1315, 700, 1316, 376}) sizes.push_back(size);
  const std::vector<char> sent = sendAll(ingest, 0, caller.socket, sizes, 7);

  const IngestStats stats = ingest.stats();
  EXPECT_EQ(stats.rejected, 0u);
  ASSERT_EQ(stats.connections.size(), 1u);
  const IngestConnection& c = stats.connections[0];
  EXPECT_EQ(c.streamId, "stream-abc");
  EXPECT_EQ(c.file, recordDir / "1.ts");
  EXPECT_EQ(c.messages, sizes.size());
  EXPECT_EQ(c.bytes, sent.size());
  EXPECT_EQ(c.fullMessages, 41u);
  EXPECT_TRUE(c.open);
  EXPECT_EQ(readFile(c.file), sent);
  EXPECT_EQ(ids.seen(), std::vector<std::string>{"stream-abc"});
}

TEST(IngestTest, RefusesUnknownIdentityWithForbiddenAndStillAcceptsKnownOnes) {
  test::TempDir dir;
  Identities ids({"good"});
  Ingest ingest(0, ids.predicate(), dir.path);

  test::Attempt refused = connectCaller(ingest.port(), "bad");
  EXPECT_FALSE(refused.socket);
  EXPECT_EQ(refused.rejectReason, SRT_REJX_FORBIDDEN);
  test::Attempt empty = connectCaller(ingest.port(), "");
  EXPECT_FALSE(empty.socket);
  EXPECT_EQ(empty.rejectReason, SRT_REJX_FORBIDDEN);
  // A prefix of a known identity is a different identity.
  test::Attempt prefix = connectCaller(ingest.port(), "goo");
  EXPECT_FALSE(prefix.socket);

  IngestStats stats = ingest.stats();
  EXPECT_EQ(stats.rejected, 3u);
  EXPECT_TRUE(stats.connections.empty());
  EXPECT_FALSE(std::filesystem::exists(dir.path / "1.ts"));

  test::Attempt accepted = connectCaller(ingest.port(), "good");
  ASSERT_TRUE(accepted.socket);
  const std::vector<char> sent = sendAll(ingest, 0, accepted.socket, {1316, 1316, 100}, 1);
  stats = ingest.stats();
  EXPECT_EQ(stats.rejected, 3u);
  ASSERT_EQ(stats.connections.size(), 1u);
  EXPECT_EQ(stats.connections[0].file, dir.path / "1.ts");
  EXPECT_EQ(readFile(stats.connections[0].file), sent);
}

TEST(IngestTest, PredicateThatThrowsRefusesTheCaller) {
  test::TempDir dir;
  Ingest ingest(
      0,
      [](const std::string& id) {
        if (id == "boom") throw std::runtime_error("The account state is gone.");
        return id == "fine";
      },
      dir.path);
  test::Attempt refused = connectCaller(ingest.port(), "boom");
  EXPECT_FALSE(refused.socket);
  EXPECT_EQ(refused.rejectReason, SRT_REJX_FORBIDDEN);
  EXPECT_EQ(ingest.stats().rejected, 1u);
  EXPECT_TRUE(connectCaller(ingest.port(), "fine").socket);
}

TEST(IngestTest, ConnectionsOneAfterAnotherGetNumberedFiles) {
  test::TempDir dir;
  Identities ids({"first", "second"});
  Ingest ingest(0, ids.predicate(), dir.path);

  std::vector<char> first, second;
  {
    test::Attempt a = connectCaller(ingest.port(), "first");
    ASSERT_TRUE(a.socket);
    first = sendAll(ingest, 0, a.socket, {1316, 1316, 1316, 500}, 100);
  }
  ASSERT_TRUE(waitFor([&] { return closed(ingest, 0); }));
  {
    test::Attempt b = connectCaller(ingest.port(), "second");
    ASSERT_TRUE(b.socket);
    second = sendAll(ingest, 1, b.socket, {200, 1316}, 200);
  }
  ASSERT_TRUE(waitFor([&] { return closed(ingest, 1); }));

  const IngestStats stats = ingest.stats();
  ASSERT_EQ(stats.connections.size(), 2u);
  EXPECT_EQ(stats.connections[0].streamId, "first");
  EXPECT_EQ(stats.connections[1].streamId, "second");
  EXPECT_EQ(stats.connections[0].file, dir.path / "1.ts");
  EXPECT_EQ(stats.connections[1].file, dir.path / "2.ts");
  EXPECT_EQ(stats.connections[0].messages, 4u);
  EXPECT_EQ(stats.connections[0].fullMessages, 3u);
  EXPECT_EQ(stats.connections[1].messages, 2u);
  EXPECT_EQ(stats.connections[1].fullMessages, 1u);
  EXPECT_EQ(readFile(dir.path / "1.ts"), first);
  EXPECT_EQ(readFile(dir.path / "2.ts"), second);
}

TEST(IngestTest, TwoCallersAtOnceAreRecordedApart) {
  test::TempDir dir;
  Identities ids({"left", "right"});
  Ingest ingest(0, ids.predicate(), dir.path);
  test::Attempt a = connectCaller(ingest.port(), "left");
  ASSERT_TRUE(a.socket);
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections.size() == 1; }));
  test::Attempt b = connectCaller(ingest.port(), "right");
  ASSERT_TRUE(b.socket);
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections.size() == 2; }));

  std::vector<char> left, right;
  for (int i = 0; i < 20; ++i) {
    const auto l = test::randomBytes(1316, 1000 + i), r = test::randomBytes(900, 2000 + i);
    ASSERT_EQ(sendMessage(a.socket, l), 1316);
    ASSERT_EQ(sendMessage(b.socket, r), 900);
    left.insert(left.end(), l.begin(), l.end());
    right.insert(right.end(), r.begin(), r.end());
  }
  ASSERT_TRUE(waitFor([&] { return receivedBytes(ingest, 0, left.size()) && receivedBytes(ingest, 1, right.size()); }));
  const IngestStats stats = ingest.stats();
  EXPECT_EQ(stats.connections[0].streamId, "left");
  EXPECT_EQ(stats.connections[0].fullMessages, 20u);
  EXPECT_EQ(stats.connections[1].fullMessages, 0u);
  EXPECT_EQ(stats.connections[1].messages, 20u);
  EXPECT_EQ(readFile(stats.connections[0].file), left);
  EXPECT_EQ(readFile(stats.connections[1].file), right);
}

TEST(IngestTest, CallerClosingMarksTheConnectionClosed) {
  test::TempDir dir;
  Identities ids({"s"});
  Ingest ingest(0, ids.predicate(), dir.path);
  test::Attempt caller = connectCaller(ingest.port(), "s");
  ASSERT_TRUE(caller.socket);
  ASSERT_TRUE(waitFor([&] { return ingest.stats().connections.size() == 1; }));
  EXPECT_TRUE(ingest.stats().connections[0].open);
  sendAll(ingest, 0, caller.socket, {1316}, 5);
  EXPECT_TRUE(ingest.stats().connections[0].open);

  caller.socket.reset();
  EXPECT_TRUE(waitFor([&] { return closed(ingest, 0); }));
  const IngestStats stats = ingest.stats();
  EXPECT_EQ(stats.connections[0].messages, 1u);
  EXPECT_EQ(stats.connections[0].bytes, 1316u);
}

TEST(IngestTest, DestroyingWhileACallerIsConnectedReturnsAndFreesThePort) {
  test::TempDir dir;
  Identities ids({"s"});
  auto ingest = std::make_unique<Ingest>(0, ids.predicate(), dir.path);
  const int port = ingest->port();
  test::Attempt caller = connectCaller(port, "s");
  ASSERT_TRUE(caller.socket);
  sendAll(*ingest, 0, caller.socket, {1316, 1316}, 9);

  // A generous bound: this guards against a hang, not a speed.
  const auto start = std::chrono::steady_clock::now();
  ingest.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

  // The caller learns that the other side went away.
  EXPECT_TRUE(waitFor([&] {
    const SRT_SOCKSTATUS status = srt_getsockstate(caller.socket.get().id);
    return status == SRTS_BROKEN || status == SRTS_CLOSED || status == SRTS_NONEXIST;
  })) << "state " << srt_getsockstate(caller.socket.get().id);
  EXPECT_EQ(readFile(dir.path / "1.ts").size(), 2u * 1316);

  // The same port can be listened on again.
  Ingest again(port, ids.predicate(), dir.path / "again");
  EXPECT_EQ(again.port(), port);
  EXPECT_TRUE(connectCaller(port, "s").socket);
}

TEST(IngestTest, RefusesABusyOrImpossiblePortAndAnUnusableFolder) {
  test::TempDir dir;
  Ingest first(0, [](const std::string&) { return true; }, dir.path);
  EXPECT_THROW(Ingest(first.port(), [](const std::string&) { return true; }, dir.path / "b"),
               std::runtime_error);
  EXPECT_THROW(Ingest(70000, [](const std::string&) { return true; }, dir.path), std::runtime_error);
  EXPECT_THROW(Ingest(-1, [](const std::string&) { return true; }, dir.path), std::runtime_error);

  std::ofstream(dir.path / "plain") << "a file, not a folder";
  try {
    Ingest(0, [](const std::string&) { return true; }, dir.path / "plain");
    ADD_FAILURE() << "recording into a file was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("plain"), std::string::npos) << e.what();
  }
  // The first one is unharmed by its failed neighbours.
  EXPECT_TRUE(connectCaller(first.port(), "x").socket);
}

}  // namespace
}  // namespace vl::dev
