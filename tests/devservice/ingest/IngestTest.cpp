#include "SrtCaller.h"
#include "ingest/Ingest.h"

#include <srt/access_control.h>

#include <gtest/gtest.h>

#include <set>

namespace vl::dev {
namespace {

using namespace std::chrono_literals;
using test::connectCaller;
using test::readFile;
using test::waitFor;

// An ingest recording into a fresh folder that accepts a fixed set of identities.
struct IngestTest : testing::Test {
  test::TempDir dir;
  std::set<std::string> known{"good", "left", "right"};
  std::unique_ptr<Ingest> ingest = std::make_unique<Ingest>(
      0, [this](const std::string& id) { return known.count(id) != 0; }, dir.path / "rec");

  IngestConnection connection(std::size_t i) const { return ingest->stats().connections.at(i); }
  bool has(std::size_t connections) const {
    return ingest->stats().connections.size() >= connections;
  }
  test::Socket connect(const std::string& id) {
    test::Attempt a = connectCaller(ingest->port(), id);
    EXPECT_TRUE(a.socket) << id << " reject reason " << a.rejectReason;
    return std::move(a.socket);
  }
  // Sends the messages and waits until the ingest has them all: a caller that closes at
  // once would lose the last latency window at the listener.
  std::vector<char> sendAll(std::size_t i, const test::Socket& socket,
                            const std::vector<std::size_t>& sizes, std::uint32_t seed) {
    std::vector<char> sent;
    for (std::size_t size : sizes) {
      const std::vector<char> message = test::randomBytes(size, seed++);
      EXPECT_EQ(test::sendMessage(socket, message), int(size));
      sent.insert(sent.end(), message.begin(), message.end());
    }
    EXPECT_TRUE(waitFor([&] { return has(i + 1) && connection(i).bytes >= sent.size(); }))
        << "the ingest did not receive all " << sent.size() << " bytes";
    return sent;
  }
};

TEST_F(IngestTest, RecordsEveryMessageOfAnAcceptedStreamUntilTheCallerCloses) {
  test::Socket caller = connect("good");
  std::vector<std::size_t> sizes(40, 1316);
  sizes.insert(sizes.end(), {188, 1, 1315, 700, 1316, 376});
  const std::vector<char> sent = sendAll(0, caller, sizes, 7);
  const IngestConnection c = connection(0);
  EXPECT_EQ(c.streamId, "good");
  EXPECT_EQ(c.file, dir.path / "rec" / "1.ts");  // the folder is made when missing
  EXPECT_EQ(c.messages, sizes.size());
  EXPECT_EQ(c.bytes, sent.size());
  EXPECT_EQ(c.fullMessages, 41u);
  EXPECT_TRUE(c.open);
  EXPECT_EQ(readFile(c.file), sent);
  caller.reset();
  EXPECT_TRUE(waitFor([&] { return !connection(0).open; }));
  EXPECT_EQ(connection(0).bytes, sent.size());
}

TEST_F(IngestTest, RefusesUnknownIdentitiesWithForbiddenAndStillAcceptsKnownOnes) {
  // A prefix of a known identity is a different identity; a throwing check refuses too.
  ingest = std::make_unique<Ingest>(
      0,
      [](const std::string& id) {
        if (id == "boom") throw std::runtime_error("The account state is gone.");
        return id == "good";
      },
      dir.path);
  for (const std::string id : {"bad", "", "goo", "boom"}) {
    test::Attempt refused = connectCaller(ingest->port(), id);
    EXPECT_FALSE(refused.socket) << id;
    EXPECT_EQ(refused.rejectReason, SRT_REJX_FORBIDDEN) << id;
  }
  EXPECT_EQ(ingest->stats().rejected, 4u);
  EXPECT_FALSE(has(1));
  EXPECT_FALSE(std::filesystem::exists(dir.path / "1.ts"));
  test::Socket accepted = connect("good");
  EXPECT_EQ(readFile(dir.path / "1.ts"), sendAll(0, accepted, {1316, 1316, 100}, 1));
  EXPECT_EQ(ingest->stats().rejected, 4u);
}

TEST_F(IngestTest, CallersAtOnceAndOneAfterAnotherAreRecordedApartInNumberedFiles) {
  test::Socket a = connect("left");
  ASSERT_TRUE(waitFor([&] { return has(1); }));
  test::Socket b = connect("right");
  ASSERT_TRUE(waitFor([&] { return has(2); }));
  std::vector<char> left, right;
  for (std::uint32_t i = 0; i < 20; ++i) {
    const auto l = test::randomBytes(1316, 1000 + i), r = test::randomBytes(900, 2000 + i);
    ASSERT_EQ(test::sendMessage(a, l), 1316);
    ASSERT_EQ(test::sendMessage(b, r), 900);
    left.insert(left.end(), l.begin(), l.end());
    right.insert(right.end(), r.begin(), r.end());
  }
  ASSERT_TRUE(waitFor([&] {
    return connection(0).bytes >= left.size() && connection(1).bytes >= right.size();
  }));
  a.reset();
  ASSERT_TRUE(waitFor([&] { return !connection(0).open; }));
  const std::vector<char> third = sendAll(2, connect("good"), {200, 1316}, 200);

  // Connection, identity, messages, full ones, recording.
  const std::vector<std::tuple<std::string, std::size_t, std::size_t, std::vector<char>>> expected{
      {"left", 20, 20, left}, {"right", 20, 0, right}, {"good", 2, 1, third}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& [id, messages, full, bytes] = expected[i];
    const IngestConnection c = connection(i);
    EXPECT_EQ(c.streamId, id);
    EXPECT_EQ(c.file, dir.path / "rec" / (std::to_string(i + 1) + ".ts"));
    EXPECT_EQ(c.messages, messages) << id;
    EXPECT_EQ(c.fullMessages, full) << id;
    EXPECT_EQ(readFile(c.file), bytes) << id;
  }
}

TEST_F(IngestTest, DestroyingWhileACallerIsConnectedReturnsAndFreesThePort) {
  const int port = ingest->port();
  test::Socket caller = connect("good");
  sendAll(0, caller, {1316, 1316}, 9);
  // A generous bound: this guards against a hang, not a speed.
  const auto start = std::chrono::steady_clock::now();
  ingest.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  // The caller learns that the other side went away.
  EXPECT_TRUE(waitFor([&] {
    const SRT_SOCKSTATUS status = srt_getsockstate(caller.get().id);
    return status == SRTS_BROKEN || status == SRTS_CLOSED || status == SRTS_NONEXIST;
  })) << "state " << srt_getsockstate(caller.get().id);
  EXPECT_EQ(readFile(dir.path / "rec" / "1.ts").size(), 2u * 1316);
  // The same port can be listened on again.
  ingest = std::make_unique<Ingest>(port, [](const std::string&) { return true; }, dir.path / "b");
  EXPECT_EQ(ingest->port(), port);
  EXPECT_TRUE(connectCaller(port, "s").socket);
}

TEST_F(IngestTest, RefusesABusyOrImpossiblePortAndAnUnusableFolder) {
  const auto any = [](const std::string&) { return true; };
  for (int port : {ingest->port(), 70000, -1})
    EXPECT_THROW(Ingest(port, any, dir.path / "b"), std::runtime_error) << port;
  std::ofstream(dir.path / "plain") << "a file, not a folder";
  try {
    Ingest(0, any, dir.path / "plain");
    ADD_FAILURE() << "recording into a file was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("plain"), std::string::npos) << e.what();
  }
  // The first one is unharmed by its failed neighbours.
  EXPECT_TRUE(connect("good"));
}

}  // namespace
}  // namespace vl::dev
