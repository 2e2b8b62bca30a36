#include "Api/Api.h"
#include "TestServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace vl {
namespace {

using nlohmann::json;
using test::failure;
using test::Reply;
using test::TestServer;

constexpr const char* kStreamsPath = "/api/accounts/streams";
constexpr const char* kTargetPath = "/api/accounts/streams/v";

std::string targetReply(const std::string& secret, const json& limits = nullptr, bool wrapped = true) {
  json stream = {{"lifecycle", "live"},
                 {"ingest", {{"protocols", {{"srt", {{"url", "srt://ingest.example:9000"}, {"secret", secret}}}}}}}};
  if (!limits.is_null()) stream["limits"] = limits;
  return (wrapped ? json{{"stream", stream}} : stream).dump();
}

auto limitsOf(const Target& target) {
  return std::tuple(target.maxIngestBitrateBps, target.maxWidth, target.maxHeight);
}

TEST(Streams, SkipsEndedAndUnnamedEntriesDefaultsTheLabelAndThrowsTheLibraryErrors) {
  TestServer server;
  const Api api(server.origin());
  server.answer(kStreamsPath, Reply(200, R"({"streams":[
      {"viewerId":"one","label":"One","lifecycle":"past"},
      {"viewerId":"two","label":"Two","endedAt":"2024-01-01T00:00:00Z"},
      {"viewerId":"three","label":"Three","endedAt":null},
      {"label":"Four"},
      {"viewerId":"five"},
      {"viewerId":"six","label":"Six","endedAt":"","lifecycle":"live"},
      {"viewerId":"","label":"Eight"}]})"));
  std::vector<std::pair<std::string, std::string>> offered;
  for (const Stream& s : api.streams("tok_s")) offered.emplace_back(s.viewerId, s.label);
  EXPECT_EQ(offered, (decltype(offered){{"three", "Three"}, {"five", "five"}, {"six", "Six"}}));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].summary(), std::string("GET ") + kStreamsPath + "  | Bearer tok_s");

  server.answer(kStreamsPath, Reply(200, R"({"streams":[]})"));
  EXPECT_TRUE(api.streams("t").empty());
  // The library's own error kinds, as its messages name them.
  for (const auto& [body, kind] : std::vector<std::pair<std::string, std::string>>{
           {R"({"other":[]})", "out_of_range"}, {R"({"streams":{"a":{"viewerId":"x"}}})", "type_error"},
           {R"({"streams":[{"viewerId":"a","label":null}]})", "type_error"}, {"<html>", "parse_error"}}) {
    server.answer(kStreamsPath, Reply(200, body));
    try {
      api.streams("t");
      ADD_FAILURE() << body;
    } catch (const json::exception& e) {
      EXPECT_EQ(std::string(e.what()).rfind("[json.exception." + kind, 0), 0u) << body << ": " << e.what();
    }
  }
  server.answer(kStreamsPath, Reply(401, "{}"));
  EXPECT_EQ(failure([&] { api.streams("t"); }), test::kAuthFailed);
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
  server.answer(kTargetPath,
                Reply(200, R"({"ingest":{"protocols":{"srt":{"url":"srt://x:1","secret":"s"}}},"limits":)" + deep + "}"));
  server.answer("/api/accounts/login", Reply(200, R"({"token":)" + deep + "}"));
  server.answer("/api/accounts/ofx/device", Reply(200, codes + R"("expires_in":)" + deep + "}"));
  server.answer("/api/accounts/ofx/token", Reply(200, R"({"error":"slow_down","interval":)" + deep + "}"));
  BrowserLogin attempt;
  EXPECT_THROW(api.streams("t"), json::parse_error);
  EXPECT_THROW(api.target("t", "v"), json::parse_error);
  EXPECT_THROW(api.login("a", "b", ""), json::parse_error);
  EXPECT_THROW(api.beginBrowserLogin(), json::parse_error);
  EXPECT_THROW(api.pollBrowserLogin(attempt), json::parse_error);
}

TEST(Target, EscapesTheViewerIdReadsTheSrtEntryAndTheLimitsWrappedOrNot) {
  TestServer server;
  const Api api(server.origin());
  server.answer("/api/accounts/streams/a%2Fb%20c%3F%23%25", Reply(200, targetReply("streamid-1")));
  const Target target = api.target("tok_t", "a/b c?#%");
  EXPECT_EQ(std::tuple(target.url, target.streamId, target.passphrase),
            std::tuple("srt://ingest.example:9000", "streamid-1", ""));
  EXPECT_EQ(limitsOf(target), std::tuple(0u, 0, 0));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].summary(), "GET /api/accounts/streams/a%2Fb%20c%3F%23%25  | Bearer tok_t");

  const json widest = {{"maxIngestBitrateBps", 18446744073709551615u}, {"maxWidth", 2147483647}, {"maxHeight", 1080}};
  server.answer(kTargetPath, Reply(200, targetReply("s", widest, false)));
  EXPECT_EQ(limitsOf(api.target("t", "v")), std::tuple(18446744073709551615u, 2147483647, 1080));
  server.answer(kTargetPath, Reply(200, targetReply("s", {{"maxIngestBitrateBps", 8e6}, {"maxHeight", 720}})));
  EXPECT_EQ(limitsOf(api.target("t", "v")), std::tuple(8000000u, 0, 720));
}

TEST(Target, RefusesLimitsThatWouldWrapOrTruncateAndChecksLifecycleAndIdentity) {
  TestServer server;
  const Api api(server.origin());
  for (const json& limits : {json{{"maxIngestBitrateBps", -1}}, json{{"maxWidth", 2147483648u}},
                             json{{"maxHeight", 1.5}}, json{{"maxIngestBitrateBps", 1.8446744073709552e19}},
                             json{{"maxWidth", true}}}) {
    server.answer(kTargetPath, Reply(200, targetReply("s", limits)));
    EXPECT_EQ(failure([&] { api.target("t", "v"); }), "The server returned invalid stream limits") << limits.dump();
  }
  server.answer(kTargetPath, Reply(200, targetReply("s", {{"maxWidth", "1920"}})));
  EXPECT_THROW(api.target("t", "v"), json::type_error);

  json past = json::parse(targetReply("s"));
  past["stream"]["lifecycle"] = "past";
  server.answer(kTargetPath, Reply(200, past.dump()));
  EXPECT_EQ(failure([&] { api.target("t", "v"); }), "Choose an active veltrane stream");

  server.answer(kTargetPath, Reply(200, targetReply(std::string(512, 'k'))));
  EXPECT_EQ(api.target("t", "v").streamId, std::string(512, 'k'));
  for (const std::string& bad : {std::string(513, 'k'), std::string()}) {
    server.answer(kTargetPath, Reply(200, targetReply(bad)));
    EXPECT_EQ(failure([&] { api.target("t", "v"); }), "Missing or invalid SRT stream identity");
  }
  server.answer(kTargetPath, Reply(200, R"({"stream":{"ingest":{"protocols":{"rtmp":{}}}}})"));
  EXPECT_THROW(api.target("t", "v"), json::out_of_range);
  server.answer(kTargetPath, Reply(404, "{}"));
  EXPECT_EQ(failure([&] { api.target("t", "v"); }), test::kStreamNotFound);
}

TEST(Revoke, OnlyPluginTokensAreSentAndFailuresPropagate) {
  TestServer server;
  const Api api(server.origin());
  const std::string path = "/api/accounts/ofx/revoke";
  for (const char* token : {"", "ofx", "acct_abcdef", "OFX_abc", "xofx_abc"}) api.revoke(token);
  EXPECT_TRUE(server.requests().empty());

  server.answer(path, Reply(200, "not json at all"));
  api.revoke("ofx_abc");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].summary(), "POST " + path + " {} | Bearer ofx_abc");
  for (const auto& [status, message] : {std::pair{404, test::kBackendOutdated}, std::pair{403, test::kAuthFailed},
                                        std::pair{500, "veltrane API returned HTTP 500"}}) {
    server.answer(path, Reply(status, "{}"));
    EXPECT_EQ(failure([&] { api.revoke("ofx_abc"); }), message);
  }
}

TEST(Login, SendsTheThreeMembersCompactlyWithoutATokenAndChecksTheReply) {
  TestServer server;
  const Api api(server.origin());
  const std::string path = "/api/accounts/login";
  server.answer(path, Reply(200, R"({"token":"acct_123","user":{"id":1}})"));
  EXPECT_EQ(api.login("me@example.com", "p\"w", "123456"), "acct_123");
  EXPECT_EQ(failure([&] { api.login("a", "pass\xff", ""); }), "Email, password and code must be valid UTF-8 text");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].summary(),
            "POST " + path + R"( {"email":"me@example.com","password":"p\"w","totpCode":"123456"} | no token)");

  for (const char* reply : {"{}", R"({"token":""})"}) {
    server.answer(path, Reply(200, reply));
    EXPECT_EQ(failure([&] { api.login("a", "b", ""); }), "Login did not return an account token");
  }
  server.answer(path, Reply(200, R"({"token":42})"));
  EXPECT_THROW(api.login("a", "b", ""), json::type_error);
  server.answer(path, Reply(401, "{}"));
  EXPECT_EQ(failure([&] { api.login("a", "b", ""); }), test::kAuthFailed);
}

}  // namespace
}  // namespace vl
