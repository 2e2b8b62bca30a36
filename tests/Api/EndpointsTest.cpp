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

constexpr const char* kStreamsPath = "/api/accounts/streams";
constexpr const char* kTargetPath = "/api/accounts/streams/v";
constexpr const char* kLoginPath = "/api/accounts/login";
constexpr const char* kRevokePath = "/api/accounts/ofx/revoke";
constexpr const char* kDevicePath = "/api/accounts/ofx/device";
constexpr const char* kTokenPath = "/api/accounts/ofx/token";
const std::string kDeviceCode(64, 'd');
const std::string kTypeError = "[json.exception.type_error";
const std::string kOutOfRange = "[json.exception.out_of_range";

std::string targetReply(const std::string& secret, const json& limits = nullptr, bool wrapped = true) {
  json stream = {{"lifecycle", "live"},
                 {"ingest", {{"protocols", {{"srt", {{"url", "srt://ingest.example:9000"}, {"secret", secret}}}}}}}};
  if (!limits.is_null()) stream["limits"] = limits;
  return (wrapped ? json{{"stream", stream}} : stream).dump();
}

// Each call's result on one line, so that a table can hold it.
std::string streams(const Api& api) {
  std::string all;
  for (const Stream& s : api.streams("t")) all += s.viewerId + ":" + s.label + " ";
  return all;
}
std::string target(const Api& api) {
  const Target t = api.target("t", "v");
  return t.url + " " + t.streamId + " " + t.passphrase + " " + std::to_string(t.maxIngestBitrateBps) + " " +
         std::to_string(t.maxWidth) + "x" + std::to_string(t.maxHeight);
}
std::string login(const Api& api) { return api.login("a", "b", ""); }
std::string revoke(const Api& api) { return api.revoke("ofx_abc"), ""; }
std::string deviceReply(const std::string& deviceCode, const std::string& userCode, const json& extra = {}) {
  json reply = {{"device_code", deviceCode}, {"user_code", userCode}};
  if (!extra.is_null()) reply.update(extra);
  return reply.dump();
}
std::string begin(const Api& api) {
  const BrowserLogin b = api.beginBrowserLogin();
  return b.verificationUrl + " " + std::to_string(b.expiresIn) + " " + std::to_string(b.interval);
}
std::string poll(const Api& api) {
  BrowserLogin attempt{kDeviceCode, "ABCD-2345", "", 300, 4};
  const auto token = api.pollBrowserLogin(attempt);
  return token.value_or("pending") + " " + std::to_string(attempt.interval);
}

TEST(Endpoints, RepliesBecomeValuesSentencesOrTheLibraryErrors) {
  TestServer server;
  const Api api(server.origin());
  const std::string invalidLimits = "The server returned invalid stream limits";
  const std::string noIdentity = "Missing or invalid SRT stream identity";
  const std::string noToken = "Login did not return an account token";
  const std::string srt = "=srt://ingest.example:9000 ";
  const std::string page = "=" + server.origin() + "/ofx/authorize?user_code=";
  const std::string token = "ofx_" + std::string(64, 'T');
  const std::string expired = "Browser sign-in expired. Start sign-in again.";
  const std::string noCredential = "The server did not return a plugin credential";
  const std::string invalidLogin = "The server returned an invalid browser sign-in request";
  // Nested within the size cap, each deep value where its reader copies it, which recurses once per level.
  const std::string deep = std::string(1024 * 1024 - 128, '[') + std::string(1024 * 1024 - 128, ']');
  const std::string parseError = "[json.exception.parse_error";
  json past = json::parse(targetReply("s"));
  past["stream"]["lifecycle"] = "past";
  struct Case {
    const char* path;
    Reply reply;
    std::string (*call)(const Api&);
    std::string expected;
  };
  std::vector<Case> cases = {
      {kStreamsPath, {200, R"({"streams":[{"viewerId":"one","label":"One","lifecycle":"past"},
          {"viewerId":"two","label":"Two","endedAt":"2024-01-01T00:00:00Z"}, {"label":"Four"},
          {"viewerId":"three","label":"Three","endedAt":null}, {"viewerId":"five"}, {"viewerId":"","label":"Eight"},
          {"viewerId":"six","label":"Six","endedAt":"","lifecycle":"live"}]})"},
       streams, "=three:Three five:five six:Six "},
      {kStreamsPath, {200, R"({"streams":[],"extra":)" + std::string(30, '[') + std::string(30, ']') + "}"}, streams,
       "="},
      {kStreamsPath, {200, R"({"streams":[)" + deep + "]}"}, streams, parseError},
      {kStreamsPath, {200, R"({"other":[]})"}, streams, kOutOfRange},
      {kTargetPath, {200, targetReply("s")}, target, srt + "s  0 0x0"},
      {kTargetPath,
       {200, targetReply("s", {{"maxIngestBitrateBps", 18446744073709551615u}, {"maxWidth", 2147483647}}, false)},
       target, srt + "s  18446744073709551615 2147483647x0"},
      {kTargetPath, {200, targetReply("s", {{"maxIngestBitrateBps", 8e6}, {"maxHeight", 720}})}, target,
       srt + "s  8000000 0x720"},
      {kTargetPath, {200, targetReply("s", {{"maxIngestBitrateBps", -1}})}, target, invalidLimits},
      {kTargetPath, {200, targetReply("s", {{"maxWidth", 2147483648u}})}, target, invalidLimits},
      {kTargetPath, {200, targetReply("s", {{"maxHeight", 1.5}})}, target, invalidLimits},
      {kTargetPath, {200, targetReply("s", {{"maxIngestBitrateBps", 1.8446744073709552e19}})}, target, invalidLimits},
      {kTargetPath, {200, past.dump()}, target, "Choose an active veltrane stream"},
      {kTargetPath, {200, targetReply(std::string(512, 'k'))}, target, srt + std::string(512, 'k') + "  0 0x0"},
      {kTargetPath, {200, targetReply(std::string(513, 'k'))}, target, noIdentity},
      {kTargetPath, {200, targetReply("")}, target, noIdentity},
      {kTargetPath, {200, R"({"stream":{"ingest":{"protocols":{"rtmp":{}}}}})"}, target, kOutOfRange},
      {kTargetPath, {200, R"({"ingest":{"protocols":{"srt":{"url":"srt://x:1","secret":"s"}}},"limits":)" + deep + "}"},
       target, parseError},
      {kLoginPath, {200, R"({"token":"acct_123","user":{"id":1}})"}, login, "=acct_123"},
      {kLoginPath, {200, R"({"token":)" + deep + "}"}, login, parseError},
      {kLoginPath, {200, "{}"}, login, noToken},
      {kLoginPath, {200, R"({"token":""})"}, login, noToken},
      {kLoginPath, {200, R"({"token":42})"}, login, kTypeError},
      {kRevokePath, {200, "not json at all"}, revoke, "="},
      {kRevokePath, {404}, revoke, test::kBackendOutdated},
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
      {kDevicePath, {200, R"({"user_code":"ABCD-2345"})"}, begin, kOutOfRange},
      {kDevicePath, {200, deviceReply(kDeviceCode, "ABCD-2345").replace(1, 0, R"("expires_in":)" + deep + ",")}, begin,
       parseError},
      {kTokenPath, {400, R"({"error":"authorization_pending","interval":99})"}, poll, "=pending 4"},
      // Five seconds more, or the server's figure, within [1, 300].
      {kTokenPath, {400, R"({"error":"slow_down"})"}, poll, "=pending 9"},
      {kTokenPath, {200, R"({"error":"slow_down","interval":0})"}, poll, "=pending 1"},
      {kTokenPath, {200, R"({"error":"slow_down","interval":)" + deep + "}"}, poll, parseError},
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
  for (const char* userCode : {"abcd-2345", "ABCD-2340", "ABC8-2345", "ABCD2345", "ABCD-23456", "ABÇD-234", ""})
    cases.push_back({kDevicePath, {200, deviceReply(kDeviceCode, userCode)}, begin, invalidLogin});
  for (const std::size_t length : {0u, 63u, 65u})
    cases.push_back({kDevicePath, {200, deviceReply(std::string(length, 'd'), "ABCD-2345")}, begin, invalidLogin});
  for (const Case& c : cases) {
    server.answer(c.path, c.reply);
    EXPECT_EQ(test::outcome([&] { return c.call(api); }), c.expected)
        << c.path << " " << c.reply.body.substr(0, 200);
  }

  BrowserLogin attempt{kDeviceCode, "ABCD-2345", "", 300, 2147483647};
  server.answer(kTokenPath, Reply(400, R"({"error":"slow_down"})"));
  api.pollBrowserLogin(attempt);
  EXPECT_EQ(attempt.interval, 300);
  // Cancelling never throws: not on an error reply, nor with the server gone.
  static_assert(noexcept(api.cancelBrowserLogin(attempt)));
  api.cancelBrowserLogin(attempt);
  server.stop();
  api.cancelBrowserLogin(attempt);
}

TEST(Endpoints, EachCallSendsItsOwnRequestAndNothingUnsendable) {
  TestServer server;
  const Api api(server.origin() + "/");
  server.answer(kDevicePath, Reply(200, deviceReply(kDeviceCode, "ABCD-2345")));
  server.answer(kTokenPath, Reply(200, R"({"error":"authorization_pending"})"));
  // Unscripted calls fail, but the requests they sent are what counts here.
  test::failure([&] { api.streams("tok_s"); });
  test::failure([&] { api.target("tok_t", "a/b c?#%"); });
  for (const char* token : {"ofx_abc", "", "ofx", "acct_abcdef", "OFX_abc", "xofx_abc"})
    test::failure([&] { api.revoke(token); });
  test::failure([&] { api.login("me@example.com", "p\"w", "123456"); });
  EXPECT_EQ(test::failure([&] { api.login("a", "pass\xff", ""); }),
            "Email, password and code must be valid UTF-8 text");
  BrowserLogin attempt = api.beginBrowserLogin();
  api.pollBrowserLogin(attempt);
  api.cancelBrowserLogin(attempt);
  attempt.deviceCode = "\xff\xfe";
  api.cancelBrowserLogin(attempt);

  const std::string codes = R"("device_code":")" + kDeviceCode + R"(","user_code":"ABCD-2345"})";
  std::vector<std::string> sent;
  for (const test::Recorded& r : server.requests()) {
    sent.push_back(r.summary());
    for (const char* name : {"Accept", "Content-Type"})
      EXPECT_EQ(r.headers.count(name) == 1 ? r.headers.find(name)->second : "", "application/json") << name;
  }
  EXPECT_EQ(sent, (std::vector<std::string>{
                      "GET /api/accounts/streams  | Bearer tok_s",
                      "GET /api/accounts/streams/a%2Fb%20c%3F%23%25  | Bearer tok_t",
                      "POST /api/accounts/ofx/revoke {} | Bearer ofx_abc",
                      "POST /api/accounts/login "
                          R"({"email":"me@example.com","password":"p\"w","totpCode":"123456"} | no token)",
                      "POST /api/accounts/ofx/device {} | no token",
                      "POST /api/accounts/ofx/token {" + codes + " | no token",
                      R"(POST /api/accounts/ofx/token {"cancel":true,)" + codes + " | no token",
                  }));
}

}  // namespace
}  // namespace vl
