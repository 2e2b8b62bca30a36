// The ingest inside the running development service, reached as the plug-in would:
// a target from the account API, then SRT with its stream identity.
#include "Http.h"
#include "SrtCaller.h"

#include <srt/access_control.h>

#include <gtest/gtest.h>

namespace vl::dev {
namespace {

using test::connectCaller;
using test::DevService;
using test::waitFor;

const std::string token = "acct_ingest_test_token";

nlohmann::json srtTarget(const DevService& service, const std::string& viewerId) {
  auto c = test::client(service);
  return test::parsed(c.Get("/api/accounts/streams/" + viewerId, test::bearer(token)))
      .at("stream").at("ingest").at("protocols").at("srt");
}
std::string streamId(const DevService& service, const std::string& viewerId) {
  return srtTarget(service, viewerId).at("secret");
}

TEST(IngestServiceTest, RecordsWhatArrivesWithATargetsStreamIdentityAndStopsWhileConnected) {
  test::TempDir dir;
  DevService service({"--token", token, "--record-dir", dir.path.string()});
  const std::string id = streamId(service, "dev-main");
  test::Attempt caller = connectCaller(service.ingestPort(), id);
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
  const IngestStats stats = service.ingestStats();
  ASSERT_EQ(stats.connections.size(), 1u);
  EXPECT_EQ(stats.connections[0].streamId, id);
  EXPECT_EQ(stats.connections[0].file, dir.path / "1.ts");
  EXPECT_EQ(stats.connections[0].messages, 25u);
  EXPECT_EQ(stats.connections[0].fullMessages, 24u);
  EXPECT_EQ(test::readFile(dir.path / "1.ts"), sent);

  EXPECT_EQ(service.stop(), 0);
  EXPECT_TRUE(waitFor([&] {
    const SRT_SOCKSTATUS status = srt_getsockstate(caller.socket.get().id);
    return status == SRTS_BROKEN || status == SRTS_CLOSED || status == SRTS_NONEXIST;
  }));
}

TEST(IngestServiceTest, RefusesIdentitiesOfPastAndEndedStreamsAndUnknownOnes) {
  test::TempDir dir;
  DevService service({"--token", token, "--record-dir", dir.path.string()});
  const std::vector<std::string> refused{streamId(service, "dev-past"),
                                         streamId(service, "dev-ended"), "dev_unknown"};
  for (const std::string& id : refused) {
    test::Attempt caller = connectCaller(service.ingestPort(), id);
    EXPECT_FALSE(caller.socket) << id;
    EXPECT_EQ(caller.rejectReason, SRT_REJX_FORBIDDEN) << id;
  }
  EXPECT_EQ(service.ingestStats().rejected, refused.size());
  EXPECT_TRUE(service.ingestStats().connections.empty());
  // A stream that is merely scheduled may be sent to.
  EXPECT_TRUE(connectCaller(service.ingestPort(), streamId(service, "studio%20b%2F2")).socket);
}

TEST(IngestServiceTest, ListensOnTheIngestPortAskedForAndRefusesABusyOne) {
  test::TempDir dir;
  DevService first({"--token", token, "--record-dir", dir.path.string()});
  const std::string port = std::to_string(first.ingestPort());
  EXPECT_THROW(DevService({"--ingest-port", port, "--record-dir", dir.path.string()}),
               std::runtime_error);
  ASSERT_EQ(first.stop(), 0);
  DevService service({"--token", token, "--ingest-port", port, "--record-dir", dir.path.string()});
  EXPECT_EQ(std::to_string(service.ingestPort()), port);
  EXPECT_EQ(srtTarget(service, "dev-main").at("url"), "srt://127.0.0.1:" + port);
  EXPECT_TRUE(connectCaller(service.ingestPort(), streamId(service, "dev-main")).socket);
}

TEST(IngestServiceTest, RecordsIntoAFreshTemporaryFolderByDefault) {
  DevService service({"--token", token});
  test::Attempt caller = connectCaller(service.ingestPort(), streamId(service, "dev-main"));
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
