// The ingest inside the running development service, reached as the plug-in would:
// a target from the account API, then SRT with its stream identity.
#include "Http.h"
#include "SrtCaller.h"

#include <srt/access_control.h>

#include <gtest/gtest.h>

#include <sys/socket.h>

namespace vl::dev {
namespace {

using test::DevService;
using test::waitFor;

const std::string token = "acct_ingest_test_token";

struct SrtTarget {
  std::string url;
  std::string streamId;
};

SrtTarget fetchTarget(const DevService& service, const std::string& viewerId) {
  auto c = test::client(service);
  auto result = c.Get("/api/accounts/streams/" + viewerId, test::bearer(token));
  EXPECT_EQ(test::answer(result).status, 200) << result->body;
  const auto srt = test::parsed(result).at("stream").at("ingest").at("protocols").at("srt");
  return {srt.at("url").get<std::string>(), srt.at("secret").get<std::string>()};
}

TEST(IngestServiceTest, RecordsWhatArrivesWithATargetsStreamIdentity) {
  test::TempDir dir;
  DevService service({"--token", token, "--record-dir", dir.path.string()});
  const SrtTarget target = fetchTarget(service, "dev-main");
  EXPECT_EQ(target.url, "srt://127.0.0.1:" + std::to_string(service.ingestPort()));
  EXPECT_TRUE(service.ingestStats().connections.empty());

  test::Attempt caller = test::connectCaller(service.ingestPort(), target.streamId);
  ASSERT_TRUE(caller.socket) << "reject reason " << caller.rejectReason;
  std::vector<char> sent;
  for (std::uint32_t i = 0; i < 25; ++i) {
    const auto message = test::randomBytes(i == 24 ? 564 : 1316, i);
    ASSERT_EQ(test::sendMessage(caller.socket, message), int(message.size()));
    sent.insert(sent.end(), message.begin(), message.end());
  }
  ASSERT_TRUE(waitFor([&] {
    const IngestStats s = service.ingestStats();
    return !s.connections.empty() && s.connections[0].bytes >= sent.size();
  }));
  IngestStats stats = service.ingestStats();
  ASSERT_EQ(stats.connections.size(), 1u);
  EXPECT_EQ(stats.connections[0].streamId, target.streamId);
  EXPECT_EQ(stats.connections[0].file, dir.path / "1.ts");
  EXPECT_EQ(stats.connections[0].messages, 25u);
  EXPECT_EQ(stats.connections[0].fullMessages, 24u);
  EXPECT_EQ(stats.connections[0].bytes, sent.size());
  EXPECT_TRUE(stats.connections[0].open);
  EXPECT_EQ(test::readFile(dir.path / "1.ts"), sent);

  caller.socket.reset();
  EXPECT_TRUE(waitFor([&] { return !service.ingestStats().connections[0].open; }));
  EXPECT_EQ(service.ingestStats().rejected, 0u);
}

TEST(IngestServiceTest, StopsCleanlyWhileACallerIsConnected) {
  test::TempDir dir;
  DevService service({"--token", token, "--record-dir", dir.path.string()});
  test::Attempt caller = test::connectCaller(service.ingestPort(), fetchTarget(service, "dev-main").streamId);
  ASSERT_TRUE(caller.socket);
  ASSERT_TRUE(waitFor([&] { return service.ingestStats().connections.size() == 1; }));
  EXPECT_EQ(service.stop(), 0);
  EXPECT_TRUE(waitFor([&] {
    const SRT_SOCKSTATUS status = srt_getsockstate(caller.socket.get().id);
    return status == SRTS_BROKEN || status == SRTS_CLOSED || status == SRTS_NONEXIST;
  }));
}

TEST(IngestServiceTest, RefusesIdentitiesOfPastAndEndedStreamsAndUnknownOnes) {
  test::TempDir dir;
  DevService service({"--token", token, "--record-dir", dir.path.string()});
  const std::vector<std::string> refused{fetchTarget(service, "dev-past").streamId,
                                         fetchTarget(service, "dev-ended").streamId, "dev_unknown"};
  for (const std::string& id : refused) {
    test::Attempt caller = test::connectCaller(service.ingestPort(), id);
    EXPECT_FALSE(caller.socket) << id;
    EXPECT_EQ(caller.rejectReason, SRT_REJX_FORBIDDEN) << id;
  }
  const IngestStats stats = service.ingestStats();
  EXPECT_EQ(stats.rejected, refused.size());
  EXPECT_TRUE(stats.connections.empty());
  // A stream that is merely scheduled may be sent to.
  EXPECT_TRUE(test::connectCaller(service.ingestPort(), fetchTarget(service, "studio%20b%2F2").streamId).socket);
}

int freeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

TEST(IngestServiceTest, ListensOnTheIngestPortAskedForAndRefusesABusyOne) {
  test::TempDir dir;
  const int port = freeUdpPort();
  DevService service({"--token", token, "--ingest-port", std::to_string(port), "--record-dir",
                      dir.path.string()});
  EXPECT_EQ(service.ingestPort(), port);
  EXPECT_EQ(fetchTarget(service, "dev-main").url, "srt://127.0.0.1:" + std::to_string(port));
  EXPECT_TRUE(test::connectCaller(port, fetchTarget(service, "dev-main").streamId).socket);

  EXPECT_THROW(DevService({"--ingest-port", std::to_string(port), "--record-dir", dir.path.string()}),
               std::runtime_error);
}

TEST(IngestServiceTest, RecordsIntoAFreshTemporaryFolderByDefault) {
  DevService service({"--token", token});
  test::Attempt caller = test::connectCaller(service.ingestPort(), fetchTarget(service, "dev-main").streamId);
  ASSERT_TRUE(caller.socket);
  ASSERT_TRUE(waitFor([&] { return service.ingestStats().connections.size() == 1; }));
  const std::filesystem::path file = service.ingestStats().connections[0].file;
  const std::filesystem::path folder = file.parent_path();
  EXPECT_EQ(file.filename(), "1.ts");
  EXPECT_EQ(folder.parent_path(), std::filesystem::temp_directory_path());
  EXPECT_EQ(folder.filename().string().rfind("veltrane-ingest-", 0), 0u) << folder;
  EXPECT_TRUE(std::filesystem::exists(file));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vl::dev
