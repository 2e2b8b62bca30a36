#include "Api/Api.h"
#include "TestServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace vl {
namespace {

using nlohmann::json;
using test::Reply;
using test::TestServer;

constexpr const char* kDevicePath = "/api/accounts/ofx/device";
constexpr const char* kTokenPath = "/api/accounts/ofx/token";
const std::string kDeviceCode(64, 'd');

std::string deviceReply(const std::string& deviceCode, const std::string& userCode, const json& extra = {}) {
  json reply = {{"device_code", deviceCode}, {"user_code", userCode}};
  if (!extra.is_null()) reply.update(extra);
  return reply.dump();
}

// Each call's result on one line, so that a table can hold it.
std::string begin(const Api& api) {
  const BrowserLogin b = api.beginBrowserLogin();
  return b.verificationUrl + " " + std::to_string(b.expiresIn) + " " + std::to_string(b.interval);
}
std::string poll(const Api& api) {
  BrowserLogin attempt{kDeviceCode, "ABCD-2345", "", 300, 4};
  const auto token = api.pollBrowserLogin(attempt);
  return token.value_or("pending") + " " + std::to_string(attempt.interval);
}

TEST(BrowserLogin, RepliesBecomeAttemptsTokensOrSentences) {
  TestServer server;
  const Api api(server.origin());
  const std::string page = "=" + server.origin() + "/ofx/authorize?user_code=";
  const std::string token = "ofx_" + std::string(64, 'T');
  const std::string expired = "Browser sign-in expired. Start sign-in again.";
  const std::string noCredential = "The server did not return a plugin credential";
  struct Case {
    const char* path;
    Reply reply;
    std::string (*call)(const Api&);
    std::string expected;
  };
  std::vector<Case> cases = {
      {kDevicePath, {200, deviceReply(kDeviceCode, "WXYZ-7AB2", {{"verification_uri", "https://x.example/"}})}, begin,
       page + "WXYZ-7AB2 300 2"},
      // expires_in within [1, 600], interval within [1, 30], fractions cut.
      {kDevicePath, {200, deviceReply(kDeviceCode, "ABCD-2345", {{"expires_in", 0}, {"interval", -1}})}, begin,
       page + "ABCD-2345 1 1"},
      {kDevicePath,
       {200, deviceReply(kDeviceCode, "ABCD-2345", {{"expires_in", 4294967297u}, {"interval", 18446744073709551615u}})},
       begin, page + "ABCD-2345 600 30"},
      {kDevicePath, {200, deviceReply(kDeviceCode, "ABCD-2345", {{"expires_in", -4294967295LL}, {"interval", 1e300}})},
       begin, page + "ABCD-2345 1 30"},
      {kDevicePath, {200, deviceReply(kDeviceCode, "ABCD-2345", {{"expires_in", 90.7}, {"interval", 5}})}, begin,
       page + "ABCD-2345 90 5"},
      {kDevicePath, {200, R"({"user_code":"ABCD-2345"})"}, begin, "[json.exception.out_of_range"},
      {kDevicePath, {404}, begin, test::kBackendOutdated},
      {kTokenPath, {400, R"({"error":"authorization_pending","interval":99})"}, poll, "=pending 4"},
      {kTokenPath, {200, R"({"error":"authorization_pending"})"}, poll, "=pending 4"},
      // Five seconds more, or the server's figure, within [1, 300].
      {kTokenPath, {400, R"({"error":"slow_down"})"}, poll, "=pending 9"},
      {kTokenPath, {200, R"({"error":"slow_down","interval":0})"}, poll, "=pending 1"},
      {kTokenPath, {400, R"({"error":"slow_down","interval":1e12})"}, poll, "=pending 300"},
      {kTokenPath, {200, json{{"access_token", token}, {"error", ""}}.dump()}, poll, "=" + token + " 4"},
      {kTokenPath, {400, R"({"error":"access_denied"})"}, poll,
       "Browser sign-in was cancelled or your browser session expired. Start sign-in again."},
      {kTokenPath, {200, R"({"error":"expired_token"})"}, poll, expired},
      {kTokenPath, {400, R"({"error":"x"})"}, poll, expired},
      {kTokenPath, {200, json{{"access_token", "acct" + std::string(64, 'T')}}.dump()}, poll, noCredential},
      {kTokenPath, {200, json{{"access_token", token.substr(0, 67) + "\n"}}.dump()}, poll, noCredential},
      {kTokenPath, {200, "{}"}, poll, noCredential},
      {kTokenPath, {403, R"({"error":"authorization_pending"})"}, poll, test::kAuthFailed},
      {kTokenPath, {500, R"({"error":"authorization_pending"})"}, poll, "veltrane API returned HTTP 500"},
  };
  const std::string invalid = "The server returned an invalid browser sign-in request";
  for (const char* userCode : {"abcd-2345", "ABCD-2340", "ABC8-2345", "ABCD2345", "ABCD-23456", "ABÇD-234", ""})
    cases.push_back({kDevicePath, {200, deviceReply(kDeviceCode, userCode)}, begin, invalid});
  for (const std::size_t length : {0u, 63u, 65u})
    cases.push_back({kDevicePath, {200, deviceReply(std::string(length, 'd'), "ABCD-2345")}, begin, invalid});
  for (const Case& c : cases) {
    server.answer(c.path, c.reply);
    EXPECT_EQ(test::outcome([&] { return c.call(api); }), c.expected) << c.path << " " << c.reply.body;
  }

  BrowserLogin attempt{kDeviceCode, "ABCD-2345", "", 300, 2147483647};
  server.answer(kTokenPath, Reply(400, R"({"error":"slow_down"})"));
  api.pollBrowserLogin(attempt);
  EXPECT_EQ(attempt.interval, 300);
}

TEST(BrowserLogin, CancelNeverThrows) {
  static_assert(noexcept(std::declval<const Api&>().cancelBrowserLogin(std::declval<const BrowserLogin&>())));
  TestServer server;
  const Api api(server.origin());
  const BrowserLogin attempt{kDeviceCode, "ABCD-2345", "", 300, 2};
  for (const int status : {200, 404, 500}) {
    server.answer(kTokenPath, Reply(status, "garbage"));
    api.cancelBrowserLogin(attempt);
  }
  BrowserLogin broken = attempt;
  broken.deviceCode = "\xff\xfe";
  api.cancelBrowserLogin(broken);
  EXPECT_EQ(server.requests().size(), 3u);  // the broken one is not sent
  server.stop();
  api.cancelBrowserLogin(attempt);
}

}  // namespace
}  // namespace vl
