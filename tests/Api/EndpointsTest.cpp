#include "Api/Api.h"
#include "Failure.h"
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

std::string targetReply(const std::string& secret, const json& limits = nullptr, bool wrapped = true) {
  json stream = {{"lifecycle", "live"},
                 {"ingest", {{"protocols", {{"srt", {{"url", "srt://ingest.example:9000"}, {"secret", secret}}}}}}}};
  if (!limits.is_null()) stream["limits"] = limits;
  return (wrapped ? json{{"stream", stream}} : stream).dump();
}

TEST(Streams, SkipsEndedAndUnnamedEntriesAndDefaultsTheLabel) {
  TestServer server;
  server.answer(kStreamsPath, Reply(200, R"({"streams":[
      {"viewerId":"one","label":"One","lifecycle":"past"},
      {"viewerId":"two","label":"Two","endedAt":"2024-01-01T00:00:00Z"},
      {"viewerId":"three","label":"Three","endedAt":null},
      {"label":"Four"},
      {"viewerId":"five"},
      {"viewerId":"six","label":"Six","endedAt":"","lifecycle":"live"},
      {"viewerId":"seven","label":"Seven","endedAt":12},
      {"viewerId":"","label":"Eight"},
      {"viewerId":"three","label":"Three again"}]})"));
  const auto streams = Api(server.origin()).streams("tok_s");
  ASSERT_EQ(streams.size(), 5u);
  EXPECT_EQ(streams[0].viewerId, "three");
  EXPECT_EQ(streams[0].label, "Three");
  EXPECT_EQ(streams[1].viewerId, "five");
  EXPECT_EQ(streams[1].label, "five");
  EXPECT_EQ(streams[2].viewerId, "six");
  EXPECT_EQ(streams[3].viewerId, "seven");
  EXPECT_EQ(streams[4].label, "Three again");

  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].summary(), std::string("GET ") + kStreamsPath + "  | Bearer tok_s");
}

TEST(Streams, EmptyListIsValidAndMalformedRepliesThrowTheLibraryErrors) {
  TestServer server;
  const Api api(server.origin());
  server.answer(kStreamsPath, Reply(200, R"({"streams":[]})"));
  EXPECT_TRUE(api.streams("t").empty());
  // The library's own error kinds, as its messages name them.
  for (const auto& [body, kind] : std::vector<std::pair<std::string, std::string>>{
           {R"({"other":[]})", "out_of_range"}, {R"({"streams":{"a":{"viewerId":"x"}}})", "type_error"},
           {R"({"streams":["x"]})", "type_error"}, {R"({"streams":[{"viewerId":7}]})", "type_error"},
           {R"({"streams":[{"viewerId":"a","label":null}]})", "type_error"}, {"[1,2]", "type_error"},
           {R"({"streams":[]} /* c */)", "parse_error"}, {"<html>", "parse_error"}}) {
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
  server.answer("/api/accounts/streams/v",
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
  Target target = api.target("tok_t", "a/b c?#%");
  EXPECT_EQ(target.url, "srt://ingest.example:9000");
  EXPECT_EQ(target.streamId, "streamid-1");
  EXPECT_EQ(target.passphrase, "");
  EXPECT_EQ(std::tuple(target.maxIngestBitrateBps, target.maxWidth, target.maxHeight), std::tuple(0u, 0, 0));
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].summary(), "GET /api/accounts/streams/a%2Fb%20c%3F%23%25  | Bearer tok_t");

  server.answer("/api/accounts/streams/v",
                Reply(200, targetReply("s", {{"maxIngestBitrateBps", 18446744073709551615u},
                                             {"maxWidth", 2147483647},
                                             {"maxHeight", 1080}},
                                       false)));
  target = api.target("t", "v");
  EXPECT_EQ(std::tuple(target.maxIngestBitrateBps, target.maxWidth, target.maxHeight),
            std::tuple(18446744073709551615u, 2147483647, 1080));
  server.answer("/api/accounts/streams/v", Reply(200, targetReply("s", {{"maxIngestBitrateBps", 8e6}, {"maxHeight", 720}})));
  target = api.target("t", "v");
  EXPECT_EQ(std::tuple(target.maxIngestBitrateBps, target.maxWidth, target.maxHeight), std::tuple(8000000u, 0, 720));
}

TEST(Target, RefusesLimitsThatWouldWrapOrTruncate) {
  TestServer server;
  const Api api(server.origin());
  for (const json& limits : {json{{"maxIngestBitrateBps", -1}}, json{{"maxWidth", -1920}},
                             json{{"maxWidth", 2147483648u}}, json{{"maxHeight", 1.5}}, json{{"maxHeight", 1e300}},
                             json{{"maxIngestBitrateBps", 1.8446744073709552e19}}, json{{"maxWidth", true}}}) {
    server.answer("/api/accounts/streams/v", Reply(200, targetReply("s", limits)));
    EXPECT_EQ(failure([&] { api.target("t", "v"); }), "The server returned invalid stream limits") << limits.dump();
  }
  server.answer("/api/accounts/streams/v", Reply(200, targetReply("s", {{"maxWidth", "1920"}})));
  EXPECT_THROW(api.target("t", "v"), json::type_error);
  server.answer("/api/accounts/streams/v", Reply(200, targetReply("s", json::array({1}))));
  EXPECT_THROW(api.target("t", "v"), json::type_error);
}

TEST(Target, ChecksLifecycleAndStreamIdentity) {
  TestServer server;
  const Api api(server.origin());
  const std::string path = "/api/accounts/streams/v";

  json past = json::parse(targetReply("s"));
  past["stream"]["lifecycle"] = "past";
  server.answer(path, Reply(200, past.dump()));
  EXPECT_EQ(failure([&] { api.target("t", "v"); }), "Choose an active veltrane stream");

  json ended = json::parse(targetReply("s"));
  ended["stream"]["endedAt"] = "2024-01-01";
  server.answer(path, Reply(200, ended.dump()));
  EXPECT_EQ(api.target("t", "v").streamId, "s");

  server.answer(path, Reply(200, targetReply(std::string(512, 'k'))));
  EXPECT_EQ(api.target("t", "v").streamId, std::string(512, 'k'));
  for (const std::string& bad : {std::string(513, 'k'), std::string()}) {
    server.answer(path, Reply(200, targetReply(bad)));
    EXPECT_EQ(failure([&] { api.target("t", "v"); }), "Missing or invalid SRT stream identity");
  }

  server.answer(path, Reply(200, R"({"stream":{"ingest":{"protocols":{"rtmp":{}}}}})"));
  EXPECT_THROW(api.target("t", "v"), json::out_of_range);
  server.answer(path, Reply(200, R"({"stream":{"ingest":{"protocols":{"srt":{"url":"srt://x"}}}}})"));
  EXPECT_THROW(api.target("t", "v"), json::out_of_range);
  server.answer(path, Reply(200, R"({"ingest":{"protocols":{"srt":{"url":5,"secret":"s"}}}})"));
  EXPECT_THROW(api.target("t", "v"), json::type_error);

  server.answer(path, Reply(404, "{}"));
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
  api.revoke("ofx_");
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].summary(), "POST " + path + " {} | Bearer ofx_abc");
  EXPECT_EQ(seen[1].header("Authorization"), "Bearer ofx_");

  server.answer(path, Reply(404, "{}"));
  EXPECT_EQ(failure([&] { api.revoke("ofx_abc"); }), test::kBackendOutdated);
  server.answer(path, Reply(403, "{}"));
  EXPECT_EQ(failure([&] { api.revoke("ofx_abc"); }), test::kAuthFailed);
  server.answer(path, Reply(500, "{}"));
  EXPECT_EQ(failure([&] { api.revoke("ofx_abc"); }), "veltrane API returned HTTP 500");
}

TEST(Login, SendsTheThreeMembersCompactlyWithoutAToken) {
  TestServer server;
  const Api api(server.origin());
  const std::string path = "/api/accounts/login";
  server.answer(path, Reply(200, R"({"token":"acct_123","user":{"id":1}})"));
  EXPECT_EQ(api.login("me@example.com", "p\"w", ""), "acct_123");
  EXPECT_EQ(api.login("me@example.com", "pw", "123456"), "acct_123");
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  const std::string post = "POST " + path + " ";
  EXPECT_EQ(seen[0].summary(), post + R"({"email":"me@example.com","password":"p\"w","totpCode":""} | no token)");
  EXPECT_EQ(seen[1].summary(), post + R"({"email":"me@example.com","password":"pw","totpCode":"123456"} | no token)");
}

TEST(Login, RepliesWithoutATokenAndBadInputFail) {
  TestServer server;
  const Api api(server.origin());
  const std::string path = "/api/accounts/login";
  for (const char* reply : {"{}", R"({"token":""})"}) {
    server.answer(path, Reply(200, reply));
    EXPECT_EQ(failure([&] { api.login("a", "b", ""); }), "Login did not return an account token");
  }
  server.answer(path, Reply(200, R"({"token":42})"));
  EXPECT_THROW(api.login("a", "b", ""), json::type_error);
  server.answer(path, Reply(401, "{}"));
  EXPECT_EQ(failure([&] { api.login("a", "b", ""); }), test::kAuthFailed);

  const std::size_t before = server.requests().size();
  const std::string message = failure([&] { api.login("a", "pass\xff", ""); });
  EXPECT_EQ(message, "Email, password and code must be valid UTF-8 text");
  EXPECT_EQ(server.requests().size(), before);
}

}  // namespace
}  // namespace vl
