#include "Api/Api.h"
#include "Failure.h"
#include "TestServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <type_traits>

namespace vl {
namespace {

using nlohmann::json;
using test::failure;
using test::Reply;
using test::TestServer;

constexpr const char* kDevicePath = "/api/accounts/ofx/device";
constexpr const char* kTokenPath = "/api/accounts/ofx/token";
const std::string kDeviceCode(64, 'd');
const std::string kPluginToken = "ofx_" + std::string(64, 'T');

std::string deviceReply(const std::string& deviceCode, const std::string& userCode, const json& extra = json::object()) {
  json reply = {{"device_code", deviceCode}, {"user_code", userCode}};
  reply.update(extra);
  return reply.dump();
}

BrowserLogin begin(TestServer& server, const json& extra) {
  server.answer(kDevicePath, Reply(200, deviceReply(kDeviceCode, "ABCD-2345", extra)));
  return Api(server.origin()).beginBrowserLogin();
}

TEST(BrowserLogin, BeginPostsAnEmptyObjectAndBuildsTheAuthorisationAddress) {
  TestServer server;
  server.answer(kDevicePath, Reply(200, deviceReply(kDeviceCode, "WXYZ-7AB2",
                                                    {{"verification_uri", "https://evil.example/"}})));
  const BrowserLogin attempt = Api(server.origin() + "/").beginBrowserLogin();
  EXPECT_EQ(attempt.deviceCode, kDeviceCode);
  EXPECT_EQ(attempt.userCode, "WXYZ-7AB2");
  EXPECT_EQ(attempt.verificationUrl, server.origin() + "/ofx/authorize?user_code=WXYZ-7AB2");
  EXPECT_EQ(attempt.expiresIn, 300);
  EXPECT_EQ(attempt.interval, 2);
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].summary(), std::string("POST ") + kDevicePath + " {} | no token");
}

TEST(BrowserLogin, BeginRejectsMalformedCodes) {
  TestServer server;
  const Api api(server.origin());
  const std::string invalid = "The server returned an invalid browser sign-in request";
  for (const char* userCode : {"abcd-2345", "ABCD-2340", "ABCD-2341", "ABC8-2345", "ABCD-9345", "ABCD2345",
                               "ABCD-234", "ABCD-23456", "ABCDE2345", "ABCD_2345", "ABÇD-234", ""}) {
    server.answer(kDevicePath, Reply(200, deviceReply(kDeviceCode, userCode)));
    EXPECT_EQ(failure([&] { api.beginBrowserLogin(); }), invalid) << userCode;
  }
  for (const std::size_t length : {0u, 63u, 65u}) {
    server.answer(kDevicePath, Reply(200, deviceReply(std::string(length, 'd'), "ABCD-2345")));
    EXPECT_EQ(failure([&] { api.beginBrowserLogin(); }), invalid) << length;
  }
  server.answer(kDevicePath, Reply(200, R"({"user_code":"ABCD-2345"})"));
  EXPECT_THROW(api.beginBrowserLogin(), json::out_of_range);
  server.answer(kDevicePath, Reply(200, json{{"device_code", kDeviceCode}}.dump()));
  EXPECT_THROW(api.beginBrowserLogin(), json::out_of_range);
  server.answer(kDevicePath, Reply(200, json{{"device_code", 5}, {"user_code", "ABCD-2345"}}.dump()));
  EXPECT_THROW(api.beginBrowserLogin(), json::type_error);
  server.answer(kDevicePath, Reply(200, "device_code=x"));
  EXPECT_THROW(api.beginBrowserLogin(), json::parse_error);
  server.answer(kDevicePath, Reply(404, "{}"));
  EXPECT_EQ(failure([&] { api.beginBrowserLogin(); }), test::kBackendOutdated);
}

TEST(BrowserLogin, BeginClampsExpiryAndInterval) {
  TestServer server;
  struct Case {
    json extra;
    std::int32_t expiresIn;
    std::int32_t interval;
  };
  for (const Case& c : {Case{{{"expires_in", 0}, {"interval", 0}}, 1, 1},
                        Case{{{"expires_in", -5}, {"interval", -1}}, 1, 1},
                        Case{{{"expires_in", 3600}, {"interval", 60}}, 600, 30},
                        Case{{{"expires_in", 120}, {"interval", 5}}, 120, 5},
                        Case{{{"expires_in", 600}, {"interval", 30}}, 600, 30},
                        Case{{{"expires_in", 4294967297u}, {"interval", 18446744073709551615u}}, 600, 30},
                        Case{{{"expires_in", -4294967295LL}, {"interval", 1e300}}, 1, 30},
                        Case{{{"expires_in", 90.7}}, 90, 2}}) {
    const BrowserLogin attempt = begin(server, c.extra);
    EXPECT_EQ(attempt.expiresIn, c.expiresIn) << c.extra.dump();
    EXPECT_EQ(attempt.interval, c.interval) << c.extra.dump();
  }
  server.answer(kDevicePath, Reply(200, deviceReply(kDeviceCode, "ABCD-2345", {{"interval", "5"}})));
  EXPECT_THROW(Api(server.origin()).beginBrowserLogin(), json::type_error);
}

TEST(BrowserLogin, PollSendsTheCodesAndKeepsWaitingWhilePending) {
  TestServer server;
  BrowserLogin attempt = begin(server, {{"interval", 4}});
  const Api api(server.origin());
  for (const int status : {400, 200}) {
    server.answer(kTokenPath, Reply(status, R"({"error":"authorization_pending","interval":99})"));
    EXPECT_EQ(api.pollBrowserLogin(attempt), std::nullopt);
    EXPECT_EQ(attempt.interval, 4);
  }
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].summary(), std::string("POST ") + kTokenPath + R"( {"device_code":")" + kDeviceCode +
                                  R"(","user_code":"ABCD-2345"} | no token)");
}

TEST(BrowserLogin, SlowDownRaisesTheIntervalWithinBounds) {
  TestServer server;
  BrowserLogin attempt = begin(server, {{"interval", 5}});
  const Api api(server.origin());
  server.answer(kTokenPath, Reply(400, R"({"error":"slow_down"})"));
  EXPECT_EQ(api.pollBrowserLogin(attempt), std::nullopt);
  EXPECT_EQ(attempt.interval, 10);
  EXPECT_EQ(api.pollBrowserLogin(attempt), std::nullopt);
  EXPECT_EQ(attempt.interval, 15);
  for (const auto& [sent, expected] : {std::pair{json(1000), 300}, std::pair{json(0), 1}, std::pair{json(7), 7},
                                       std::pair{json(-3), 1}, std::pair{json(1e12), 300}}) {
    server.answer(kTokenPath, Reply(200, json{{"error", "slow_down"}, {"interval", sent}}.dump()));
    EXPECT_EQ(api.pollBrowserLogin(attempt), std::nullopt);
    EXPECT_EQ(attempt.interval, expected) << sent.dump();
  }
  attempt.interval = 298;
  server.answer(kTokenPath, Reply(400, R"({"error":"slow_down"})"));
  api.pollBrowserLogin(attempt);
  EXPECT_EQ(attempt.interval, 300);
  attempt.interval = 2147483647;
  api.pollBrowserLogin(attempt);
  EXPECT_EQ(attempt.interval, 300);
}

TEST(BrowserLogin, PollEndsOnDenialExpiryAndOtherErrors) {
  TestServer server;
  BrowserLogin attempt = begin(server, json::object());
  const Api api(server.origin());
  for (const int status : {400, 200}) {
    server.answer(kTokenPath, Reply(status, R"({"error":"access_denied"})"));
    EXPECT_EQ(failure([&] { api.pollBrowserLogin(attempt); }),
              "Browser sign-in was cancelled or your browser session expired. Start sign-in again.");
    for (const char* error : {"expired_token", "invalid_grant", "x"}) {
      server.answer(kTokenPath, Reply(status, json{{"error", error}}.dump()));
      EXPECT_EQ(failure([&] { api.pollBrowserLogin(attempt); }), "Browser sign-in expired. Start sign-in again.");
    }
  }
  server.answer(kTokenPath, Reply(404, "{}"));
  EXPECT_EQ(failure([&] { api.pollBrowserLogin(attempt); }), test::kBackendOutdated);
  server.answer(kTokenPath, Reply(403, R"({"error":"authorization_pending"})"));
  EXPECT_EQ(failure([&] { api.pollBrowserLogin(attempt); }), test::kAuthFailed);
  server.answer(kTokenPath, Reply(500, R"({"error":"authorization_pending"})"));
  EXPECT_EQ(failure([&] { api.pollBrowserLogin(attempt); }), "veltrane API returned HTTP 500");
  server.answer(kTokenPath, Reply(400, R"({"error":3})"));
  EXPECT_THROW(api.pollBrowserLogin(attempt), json::type_error);
}

TEST(BrowserLogin, PollAcceptsOnlyAWellFormedPluginToken) {
  TestServer server;
  BrowserLogin attempt = begin(server, json::object());
  const Api api(server.origin());
  server.answer(kTokenPath, Reply(200, json{{"access_token", kPluginToken}, {"error", ""}}.dump()));
  EXPECT_EQ(api.pollBrowserLogin(attempt), kPluginToken);

  const std::string noCredential = "The server did not return a plugin credential";
  for (const std::string& token : {"acct" + std::string(64, 'T'), "ofx_" + std::string(63, 'T'),
                                   "ofx_" + std::string(65, 'T'), "ofx_" + std::string(63, 'T') + " ",
                                   "ofx_" + std::string(63, 'T') + "\n", std::string()}) {
    server.answer(kTokenPath, Reply(200, json{{"access_token", token}}.dump()));
    const std::string message = failure([&] { api.pollBrowserLogin(attempt); });
    EXPECT_EQ(message, noCredential) << token;
  }
  server.answer(kTokenPath, Reply(200, "{}"));
  EXPECT_EQ(failure([&] { api.pollBrowserLogin(attempt); }), noCredential);
}

TEST(BrowserLogin, CancelSendsTheFlagAndNeverThrows) {
  static_assert(noexcept(std::declval<const Api&>().cancelBrowserLogin(std::declval<const BrowserLogin&>())));
  TestServer server;
  const BrowserLogin attempt = begin(server, json::object());
  const Api api(server.origin());
  for (const int status : {200, 400, 401, 404, 500}) {
    server.answer(kTokenPath, Reply(status, "garbage"));
    api.cancelBrowserLogin(attempt);
  }
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[1].summary(), std::string("POST ") + kTokenPath + R"( {"cancel":true,"device_code":")" +
                                  kDeviceCode + R"(","user_code":"ABCD-2345"} | no token)");

  BrowserLogin broken = attempt;
  broken.deviceCode = "\xff\xfe";
  api.cancelBrowserLogin(broken);
  EXPECT_EQ(server.requests().size(), 6u);

  server.stop();
  api.cancelBrowserLogin(attempt);
}

}  // namespace
}  // namespace vl
