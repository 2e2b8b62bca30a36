#include "Http.h"

#include <gtest/gtest.h>

namespace vl::test {
namespace {

using nlohmann::json;

const std::string token = "ofx_" + std::string(64, 'T');

TEST(DevServiceAccount, StreamsAndTargetsNeedAnIssuedToken) {
  DevService service({"--token", token});
  auto c = client(service);
  for (const char* path : {"/api/accounts/streams", "/api/accounts/streams/dev-main"}) {
    EXPECT_EQ(answer(c.Get(path)).status, 401) << path;
    EXPECT_EQ(answer(c.Get(path, bearer(token + "x"))).status, 401) << path;
    EXPECT_EQ(answer(c.Get(path, {{"Authorization", token}})).status, 401) << path;
    EXPECT_EQ(answer(c.Get(path, bearer(token))).status, 200) << path;
  }
}

TEST(DevServiceAccount, StreamListHasTheMembersThePluginReads) {
  DevService service({"--token", token});
  auto c = client(service);
  auto result = c.Get("/api/accounts/streams", bearer(token));
  EXPECT_EQ(answer(result).get_header_value("Content-Type"), "application/json");
  json list = parsed(result).at("streams");
  ASSERT_TRUE(list.is_array());
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0], (json{{"viewerId", "dev-main"}, {"label", "veltrane dev stream"},
                           {"lifecycle", "live"}, {"endedAt", nullptr}}));
  EXPECT_EQ(list[1].at("lifecycle"), "past");
  EXPECT_TRUE(list[2].at("endedAt").is_string());
  EXPECT_NE(list[2].at("lifecycle"), "past");
  EXPECT_EQ(list[3], (json{{"viewerId", "studio b/2"}, {"lifecycle", "scheduled"}}));
  EXPECT_FALSE(list[4].contains("viewerId"));
}

TEST(DevServiceAccount, TargetCarriesTheIngestAddressIdentityAndLimits) {
  DevService service({"--token", token, "--ingest-port", "9123", "--max-bitrate", "8000000",
                      "--max-width", "1920", "--max-height", "1080"});
  auto c = client(service);
  json stream = parsed(c.Get("/api/accounts/streams/dev-main", bearer(token))).at("stream");
  EXPECT_EQ(stream.at("lifecycle"), "live");
  json srt = stream.at("ingest").at("protocols").at("srt");
  EXPECT_EQ(srt.at("url"), "srt://127.0.0.1:9123");
  std::string secret = srt.at("secret");
  EXPECT_GE(secret.size(), 1u);
  EXPECT_LE(secret.size(), 512u);
  EXPECT_EQ(stream.at("limits"), (json{{"maxIngestBitrateBps", 8000000}, {"maxWidth", 1920},
                                       {"maxHeight", 1080}}));

  // The plug-in escapes the viewer id; the service must find it decoded.
  json studio = parsed(c.Get("/api/accounts/streams/studio%20b%2F2", bearer(token))).at("stream");
  EXPECT_EQ(studio.at("viewerId"), "studio b/2");
  EXPECT_FALSE(studio.contains("limits"));
  EXPECT_NE(studio.at("ingest").at("protocols").at("srt").at("secret"), secret);

  EXPECT_EQ(parsed(c.Get("/api/accounts/streams/dev-past", bearer(token)))
                .at("stream").at("lifecycle"),
            "past");
  EXPECT_EQ(answer(c.Get("/api/accounts/streams/no-such-stream", bearer(token))).status, 404);
}

TEST(DevServiceAccount, ZeroLimitsAreLeftOutAndAFreeIngestPortIsNamed) {
  DevService service({"--token", token, "--max-bitrate", "0", "--max-width", "0"});
  auto c = client(service);
  json stream = parsed(c.Get("/api/accounts/streams/dev-main", bearer(token))).at("stream");
  EXPECT_EQ(stream.at("limits"), (json{{"maxHeight", 2160}}));
  std::string url = stream.at("ingest").at("protocols").at("srt").at("url");
  ASSERT_EQ(url.rfind("srt://127.0.0.1:", 0), 0u) << url;
  EXPECT_GT(std::stoi(url.substr(16)), 0) << url;
}

TEST(DevServiceAccount, PasswordLoginIssuesAnAccountToken) {
  DevService service({"--email", "me@example.invalid", "--password", "pw"});
  auto c = client(service);
  json good = {{"email", "me@example.invalid"}, {"password", "pw"}, {"totpCode", ""}};
  auto result = postJson(c, "/api/accounts/login", good);
  ASSERT_EQ(answer(result).status, 200);
  std::string account = parsed(result).at("token");
  EXPECT_FALSE(account.empty());
  EXPECT_EQ(answer(c.Get("/api/accounts/streams", bearer(account))).status, 200);

  json wrong = good;
  wrong["password"] = "PW";
  EXPECT_EQ(answer(postJson(c, "/api/accounts/login", wrong)).status, 401);
  json defaults = {{"email", "dev@veltrane.invalid"}, {"password", "veltrane-dev"}};
  EXPECT_EQ(answer(postJson(c, "/api/accounts/login", defaults)).status, 401);
  EXPECT_EQ(answer(c.Post("/api/accounts/login", "{\"email\":", "application/json")).status, 400);
  EXPECT_EQ(answer(c.Post("/api/accounts/login", "[]", "application/json")).status, 400);

  // Sign-out revokes plug-in tokens only; an account token stays valid.
  EXPECT_EQ(answer(c.Post("/api/accounts/ofx/revoke", bearer(account), "{}", "application/json"))
                .status,
            400);
  EXPECT_EQ(answer(c.Get("/api/accounts/streams", bearer(account))).status, 200);
}

TEST(DevServiceAccount, DefaultCredentialsSignIn) {
  DevService service;
  auto c = client(service);
  json login = {{"email", "dev@veltrane.invalid"}, {"password", "veltrane-dev"}, {"totpCode", ""}};
  EXPECT_EQ(answer(postJson(c, "/api/accounts/login", login)).status, 200);
}

TEST(DevServiceAccount, RevokingAPluginTokenMakesItFail) {
  DevService service({"--token", token});
  auto c = client(service);
  auto revoke = [&] {
    return answer(c.Post("/api/accounts/ofx/revoke", bearer(token), "{}", "application/json"))
        .status;
  };
  EXPECT_EQ(revoke(), 200);
  EXPECT_EQ(answer(c.Get("/api/accounts/streams", bearer(token))).status, 401);
  EXPECT_EQ(answer(c.Get("/api/accounts/streams/dev-main", bearer(token))).status, 401);
  EXPECT_EQ(revoke(), 401);
  EXPECT_EQ(answer(c.Post("/api/accounts/ofx/revoke", "{}", "application/json")).status, 401);
}

TEST(DevServiceAccount, UnknownPathsAreNotFound) {
  DevService service({"--token", token});
  auto c = client(service);
  EXPECT_EQ(answer(c.Get("/api/accounts/nothing", bearer(token))).status, 404);
  EXPECT_EQ(answer(c.Get("/api/accounts/ofx/device")).status, 404);  // POST only
}

}  // namespace
}  // namespace vl::test
