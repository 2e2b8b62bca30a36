#include "Api/Api.h"
#include "TestServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace vl {
namespace {

using nlohmann::json;
using test::failure;
using test::Reply;
using test::TestServer;

constexpr const char* kDevicePath = "/api/accounts/ofx/device";
constexpr const char* kTokenPath = "/api/accounts/ofx/token";
const std::string kDeviceCode(64, 'd');
const std::string kCodes = R"("device_code":")" + kDeviceCode + R"(","user_code":"ABCD-2345"})";

std::string deviceReply(const std::string& deviceCode, const std::string& userCode, const json& extra = {}) {
  json reply = {{"device_code", deviceCode}, {"user_code", userCode}};
  if (!extra.is_null()) reply.update(extra);
  return reply.dump();
}

TEST(BrowserLogin, BeginPostsAnEmptyObjectChecksTheCodesAndClampsTheTimes) {
  TestServer server;
  const Api api(server.origin() + "/");
  server.answer(kDevicePath, Reply(200, deviceReply(kDeviceCode, "WXYZ-7AB2", {{"verification_uri", "https://x.example/"}})));
  const BrowserLogin attempt = api.beginBrowserLogin();
  EXPECT_EQ(attempt.deviceCode, kDeviceCode);
  EXPECT_EQ(attempt.verificationUrl, server.origin() + "/ofx/authorize?user_code=WXYZ-7AB2");
  EXPECT_EQ(std::pair(attempt.expiresIn, attempt.interval), std::pair(300, 2));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].summary(), std::string("POST ") + kDevicePath + " {} | no token");

  const std::string invalid = "The server returned an invalid browser sign-in request";
  for (const char* userCode : {"abcd-2345", "ABCD-2340", "ABC8-2345", "ABCD2345", "ABCD-23456", "ABÇD-234", ""}) {
    server.answer(kDevicePath, Reply(200, deviceReply(kDeviceCode, userCode)));
    EXPECT_EQ(failure([&] { api.beginBrowserLogin(); }), invalid) << userCode;
  }
  for (const std::size_t length : {0u, 63u, 65u}) {
    server.answer(kDevicePath, Reply(200, deviceReply(std::string(length, 'd'), "ABCD-2345")));
    EXPECT_EQ(failure([&] { api.beginBrowserLogin(); }), invalid) << length;
  }
  server.answer(kDevicePath, Reply(200, R"({"user_code":"ABCD-2345"})"));
  EXPECT_THROW(api.beginBrowserLogin(), json::out_of_range);
  server.answer(kDevicePath, Reply(404, "{}"));
  EXPECT_EQ(failure([&] { api.beginBrowserLogin(); }), test::kBackendOutdated);

  // expires_in within [1, 600], interval within [1, 30], fractions cut.
  for (const auto& [extra, expiresIn, interval] :
       {std::tuple{json{{"expires_in", 0}, {"interval", -1}}, 1, 1}, std::tuple{json{{"expires_in", 120}}, 120, 2},
        std::tuple{json{{"expires_in", 4294967297u}, {"interval", 18446744073709551615u}}, 600, 30},
        std::tuple{json{{"expires_in", -4294967295LL}, {"interval", 1e300}}, 1, 30},
        std::tuple{json{{"expires_in", 90.7}, {"interval", 5}}, 90, 5}}) {
    server.answer(kDevicePath, Reply(200, deviceReply(kDeviceCode, "ABCD-2345", extra)));
    const BrowserLogin clamped = api.beginBrowserLogin();
    EXPECT_EQ(std::pair(clamped.expiresIn, clamped.interval), std::pair(expiresIn, interval)) << extra.dump();
  }
}

TEST(BrowserLogin, PollWaitsSlowsDownAndEndsOnATokenOrAnError) {
  TestServer server;
  const Api api(server.origin());
  BrowserLogin attempt{kDeviceCode, "ABCD-2345", "", 300, 4};
  for (const int status : {400, 200}) {
    server.answer(kTokenPath, Reply(status, R"({"error":"authorization_pending","interval":99})"));
    EXPECT_EQ(api.pollBrowserLogin(attempt), std::nullopt);
    EXPECT_EQ(attempt.interval, 4);
  }
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0].summary(), std::string("POST ") + kTokenPath + " {" + kCodes + " | no token");

  // Plus five seconds, or the server's figure, within [1, 300].
  for (const auto& [reply, expected] : {std::pair{R"({"error":"slow_down"})", 9}, std::pair{R"({"error":"slow_down"})", 14},
                                        std::pair{R"({"error":"slow_down","interval":0})", 1},
                                        std::pair{R"({"error":"slow_down","interval":1e12})", 300}}) {
    server.answer(kTokenPath, Reply(400, reply));
    EXPECT_EQ(api.pollBrowserLogin(attempt), std::nullopt);
    EXPECT_EQ(attempt.interval, expected) << reply;
  }
  attempt.interval = 2147483647;
  server.answer(kTokenPath, Reply(400, R"({"error":"slow_down"})"));
  api.pollBrowserLogin(attempt);
  EXPECT_EQ(attempt.interval, 300);

  const std::string token = "ofx_" + std::string(64, 'T');
  const std::string expired = "Browser sign-in expired. Start sign-in again.";
  const std::string noCredential = "The server did not return a plugin credential";
  for (const auto& [status, reply, outcome] : std::vector<std::tuple<int, json, std::string>>{
           {200, {{"access_token", token}, {"error", ""}}, token},
           {400, {{"error", "access_denied"}},
            "Browser sign-in was cancelled or your browser session expired. Start sign-in again."},
           {200, {{"error", "expired_token"}}, expired},
           {400, {{"error", "x"}}, expired},
           {200, {{"access_token", "acct" + std::string(64, 'T')}}, noCredential},
           {200, {{"access_token", "ofx_" + std::string(63, 'T') + "\n"}}, noCredential},
           {200, json::object(), noCredential},
           {403, {{"error", "authorization_pending"}}, test::kAuthFailed},
           {500, {{"error", "authorization_pending"}}, "veltrane API returned HTTP 500"}}) {
    server.answer(kTokenPath, Reply(status, reply.dump()));
    EXPECT_EQ(failure([&] {
                if (const auto got = api.pollBrowserLogin(attempt)) throw std::runtime_error(*got);
              }),
              outcome)
        << status << " " << reply.dump();
  }
}

TEST(BrowserLogin, CancelSendsTheFlagAndNeverThrows) {
  static_assert(noexcept(std::declval<const Api&>().cancelBrowserLogin(std::declval<const BrowserLogin&>())));
  TestServer server;
  const Api api(server.origin());
  const BrowserLogin attempt{kDeviceCode, "ABCD-2345", "", 300, 2};
  for (const int status : {200, 404, 500}) {
    server.answer(kTokenPath, Reply(status, "garbage"));
    api.cancelBrowserLogin(attempt);
  }
  ASSERT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(server.requests()[2].summary(),
            std::string("POST ") + kTokenPath + R"( {"cancel":true,)" + kCodes + " | no token");

  BrowserLogin broken = attempt;
  broken.deviceCode = "\xff\xfe";
  api.cancelBrowserLogin(broken);
  EXPECT_EQ(server.requests().size(), 3u);
  server.stop();
  api.cancelBrowserLogin(attempt);
}

}  // namespace
}  // namespace vl
