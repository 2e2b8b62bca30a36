#include "Http.h"

#include <gtest/gtest.h>

namespace vl::test {
namespace {

using nlohmann::json;

const std::string token = "ofx_" + std::string(64, 'T');
const std::string streams = "/api/accounts/streams";

TEST(DevServiceAccount, StreamsAndTargetsNeedAnIssuedTokenUntilItIsRevoked) {
  DevService service({"--token", token});
  auto c = client(service);
  auto get = [&](const std::string& path, const httplib::Headers& h) {
    return answer(c.Get(path, h)).status;
  };
  auto revoke = [&](const httplib::Headers& h) {
    return answer(c.Post("/api/accounts/ofx/revoke", h, "{}", "application/json")).status;
  };
  for (const std::string& path : {streams, streams + "/dev-main"}) {
    EXPECT_EQ(get(path, {}), 401) << path;
    EXPECT_EQ(get(path, bearer(token + "x")), 401) << path;
    EXPECT_EQ(get(path, {{"Authorization", token}}), 401) << path;
    EXPECT_EQ(get(path, bearer(token)), 200) << path;
  }
  EXPECT_EQ(get("/api/accounts/nothing", bearer(token)), 404);
  EXPECT_EQ(get("/api/accounts/ofx/device", {}), 404);  // POST only
  EXPECT_EQ(revoke({}), 401);
  EXPECT_EQ(revoke(bearer(token)), 200);
  EXPECT_EQ(get(streams, bearer(token)), 401);
  EXPECT_EQ(get(streams + "/dev-main", bearer(token)), 401);
  EXPECT_EQ(revoke(bearer(token)), 401);
}

TEST(DevServiceAccount, ListAndTargetsCarryWhatThePluginReads) {
  DevService service({"--token", token, "--ingest-port", "9123", "--max-bitrate", "8000000",
                      "--max-width", "1920", "--max-height", "1080"});
  auto c = client(service);
  auto result = c.Get(streams, bearer(token));
  EXPECT_EQ(answer(result).get_header_value("Content-Type"), "application/json");
  json list = parsed(result).at("streams");
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0], (json{{"viewerId", "dev-main"}, {"label", "veltrane dev stream"},
                           {"lifecycle", "live"}, {"endedAt", nullptr}}));
  EXPECT_EQ(list[1].at("lifecycle"), "past");
  EXPECT_TRUE(list[2].at("endedAt").is_string());
  EXPECT_NE(list[2].at("lifecycle"), "past");
  EXPECT_EQ(list[3], (json{{"viewerId", "studio b/2"}, {"lifecycle", "scheduled"}}));
  EXPECT_FALSE(list[4].contains("viewerId"));

  auto stream = [&](const std::string& id) {
    return parsed(c.Get(streams + "/" + id, bearer(token))).at("stream");
  };
  json main = stream("dev-main");
  EXPECT_EQ(main.at("lifecycle"), "live");
  json srt = main.at("ingest").at("protocols").at("srt");
  EXPECT_EQ(srt.at("url"), "srt://127.0.0.1:9123");
  std::string secret = srt.at("secret");
  EXPECT_GE(secret.size(), 1u);
  EXPECT_LE(secret.size(), 512u);
  EXPECT_EQ(main.at("limits"), (json{{"maxIngestBitrateBps", 8000000}, {"maxWidth", 1920},
                                     {"maxHeight", 1080}}));
  // The plug-in escapes the viewer id; the service must find it decoded.
  json studio = stream("studio%20b%2F2");
  EXPECT_EQ(studio.at("viewerId"), "studio b/2");
  EXPECT_FALSE(studio.contains("limits"));
  EXPECT_NE(studio.at("ingest").at("protocols").at("srt").at("secret"), secret);
  EXPECT_EQ(stream("dev-past").at("lifecycle"), "past");
  EXPECT_EQ(answer(c.Get(streams + "/no-such-stream", bearer(token))).status, 404);

  // Zero limits are left out, and without a port a free one is named.
  DevService other({"--token", token, "--max-bitrate", "0", "--max-width", "0"});
  json defaults = parsed(client(other).Get(streams + "/dev-main", bearer(token))).at("stream");
  EXPECT_EQ(defaults.at("limits"), (json{{"maxHeight", 2160}}));
  EXPECT_EQ(defaults.at("ingest").at("protocols").at("srt").at("url"),
            "srt://127.0.0.1:" + std::to_string(other.ingestPort()));
  EXPECT_GT(other.ingestPort(), 0);
}

TEST(DevServiceAccount, PasswordLoginIssuesAnAccountTokenThatSignOutKeeps) {
  DevService service({"--email", "me@example.invalid", "--password", "pw"});
  auto c = client(service);
  auto login = [&](const std::string& body) {
    return c.Post("/api/accounts/login", body, "application/json");
  };
  json good = {{"email", "me@example.invalid"}, {"password", "pw"}, {"totpCode", ""}};
  auto result = login(good.dump());
  ASSERT_EQ(answer(result).status, 200);
  std::string account = parsed(result).at("token");
  EXPECT_FALSE(account.empty());
  EXPECT_EQ(answer(c.Get(streams, bearer(account))).status, 200);

  json wrong = good;
  wrong["password"] = "PW";
  json defaults = {{"email", "dev@veltrane.invalid"}, {"password", "veltrane-dev"}};
  for (const std::string& body : {wrong.dump(), defaults.dump()})
    EXPECT_EQ(answer(login(body)).status, 401) << body;
  for (const char* body : {"{\"email\":", "[]"})
    EXPECT_EQ(answer(login(body)).status, 400) << body;

  // Sign-out revokes plug-in tokens only; an account token stays valid.
  EXPECT_EQ(answer(c.Post("/api/accounts/ofx/revoke", bearer(account), "{}", "application/json"))
                .status,
            400);
  EXPECT_EQ(answer(c.Get(streams, bearer(account))).status, 200);
}

}  // namespace
}  // namespace vl::test
