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

TEST(Endpoints, RepliesBecomeValuesSentencesOrTheLibraryErrors) {
  const std::string invalidLimits = "The server returned invalid stream limits";
  const std::string noIdentity = "Missing or invalid SRT stream identity";
  const std::string noToken = "Login did not return an account token";
  const std::string srt = "=srt://ingest.example:9000 ";
  json past = json::parse(targetReply("s"));
  past["stream"]["lifecycle"] = "past";
  struct Case {
    const char* path;
    Reply reply;
    std::string (*call)(const Api&);
    std::string expected;
  };
  const Case cases[] = {
      {kStreamsPath, {200, R"({"streams":[{"viewerId":"one","label":"One","lifecycle":"past"},
          {"viewerId":"two","label":"Two","endedAt":"2024-01-01T00:00:00Z"}, {"label":"Four"},
          {"viewerId":"three","label":"Three","endedAt":null}, {"viewerId":"five"}, {"viewerId":"","label":"Eight"},
          {"viewerId":"six","label":"Six","endedAt":"","lifecycle":"live"}]})"},
       streams, "=three:Three five:five six:Six "},
      {kStreamsPath, {200, R"({"streams":[]})"}, streams, "="},
      {kStreamsPath, {200, R"({"other":[]})"}, streams, kOutOfRange},
      {kStreamsPath, {200, R"({"streams":[{"viewerId":"a","label":null}]})"}, streams, kTypeError},
      {kStreamsPath, {200, "<html>"}, streams, "[json.exception.parse_error"},
      {kStreamsPath, {401}, streams, test::kAuthFailed},
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
      {kTargetPath, {200, targetReply("s", {{"maxWidth", true}})}, target, invalidLimits},
      {kTargetPath, {200, targetReply("s", {{"maxWidth", "1920"}})}, target, kTypeError},
      {kTargetPath, {200, past.dump()}, target, "Choose an active veltrane stream"},
      {kTargetPath, {200, targetReply(std::string(512, 'k'))}, target, srt + std::string(512, 'k') + "  0 0x0"},
      {kTargetPath, {200, targetReply(std::string(513, 'k'))}, target, noIdentity},
      {kTargetPath, {200, targetReply("")}, target, noIdentity},
      {kTargetPath, {200, R"({"stream":{"ingest":{"protocols":{"rtmp":{}}}}})"}, target, kOutOfRange},
      {kTargetPath, {404}, target, test::kStreamNotFound},
      {kLoginPath, {200, R"({"token":"acct_123","user":{"id":1}})"}, login, "=acct_123"},
      {kLoginPath, {200, "{}"}, login, noToken},
      {kLoginPath, {200, R"({"token":""})"}, login, noToken},
      {kLoginPath, {200, R"({"token":42})"}, login, kTypeError},
      {kLoginPath, {401}, login, test::kAuthFailed},
      {kRevokePath, {200, "not json at all"}, revoke, "="},
      {kRevokePath, {404}, revoke, test::kBackendOutdated},
      {kRevokePath, {403}, revoke, test::kAuthFailed},
      {kRevokePath, {500}, revoke, "veltrane API returned HTTP 500"},
  };
  TestServer server;
  const Api api(server.origin());
  for (const Case& c : cases) {
    server.answer(c.path, c.reply);
    EXPECT_EQ(test::outcome([&] { return c.call(api); }), c.expected) << c.path << " " << c.reply.body;
  }
}

TEST(Endpoints, EachCallSendsItsOwnRequestAndNothingUnsendable) {
  TestServer server;
  const Api api(server.origin() + "/");
  server.answer("/api/accounts/ofx/device", Reply(200, R"({"device_code":")" + std::string(64, 'd') +
                                                           R"(","user_code":"ABCD-2345"})"));
  server.answer("/api/accounts/ofx/token", Reply(200, R"({"error":"authorization_pending"})"));
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

  const std::string codes = R"("device_code":")" + std::string(64, 'd') + R"(","user_code":"ABCD-2345"})";
  std::vector<std::string> sent;
  for (const test::Recorded& r : server.requests()) sent.push_back(r.summary());
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

TEST(Replies, NestingWithinTheSizeCapIsAParseErrorOnEveryReader) {
  TestServer server;
  const Api api(server.origin());
  const auto nested = [](std::size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); };
  server.answer(kStreamsPath, Reply(200, R"({"streams":[],"extra":)" + nested(30) + "}"));
  EXPECT_TRUE(api.streams("t").empty());

  // Each deep value sits where its reader copies it, which recurses once per level.
  const std::string deep = nested(1024 * 1024 - 128);
  const std::string codes = R"({"device_code":")" + std::string(64, 'd') + R"(","user_code":"ABCD-2345",)";
  server.answer(kStreamsPath, Reply(200, R"({"streams":[)" + deep + "]}"));
  const std::string ingest = R"("ingest":{"protocols":{"srt":{"url":"srt://x:1","secret":"s"}}})";
  server.answer(kTargetPath, Reply(200, "{" + ingest + R"(,"limits":)" + deep + "}"));
  server.answer(kLoginPath, Reply(200, R"({"token":)" + deep + "}"));
  server.answer("/api/accounts/ofx/device", Reply(200, codes + R"("expires_in":)" + deep + "}"));
  server.answer("/api/accounts/ofx/token", Reply(200, R"({"error":"slow_down","interval":)" + deep + "}"));
  BrowserLogin attempt;
  EXPECT_THROW(api.streams("t"), json::parse_error);
  EXPECT_THROW(api.target("t", "v"), json::parse_error);
  EXPECT_THROW(api.login("a", "b", ""), json::parse_error);
  EXPECT_THROW(api.beginBrowserLogin(), json::parse_error);
  EXPECT_THROW(api.pollBrowserLogin(attempt), json::parse_error);
}

}  // namespace
}  // namespace vl
