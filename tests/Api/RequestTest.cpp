#include "Api/Api.h"
#include "TestServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace vl {
namespace {

using test::failure;
using test::Reply;
using test::TestServer;

TEST(Request, JsonHeadersATokenAsBearerAndABodyMakesAWholePost) {
  TestServer server;
  server.answer("/api/x", Reply(201, "made"));
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
      {"", std::nullopt}, {"tok_123", R"({"a":[1,2,3]})"}, {"", std::string("ab\0cd", 5)}, {"", std::string()}};
  for (const auto& [token, body] : cases)  // a trailing slash on the origin changes nothing
    EXPECT_EQ(Api(server.origin() + (token.empty() ? "" : "/")).request("/api/x", token, body, false), "made");
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [token, body] = cases[i];
    EXPECT_EQ(seen[i].summary(), std::string(body ? "POST" : "GET") + " /api/x " + body.value_or("") + " | " +
                                     (token.empty() ? "no token" : "Bearer " + token));
    for (const char* name : {"Accept", "Content-Type"}) {
      EXPECT_EQ(seen[i].headers.count(name), 1u) << i;
      EXPECT_EQ(seen[i].header(name), "application/json") << i;
    }
  }
}

TEST(Request, ForgingTokensAreRefusedUnsentAndNoMessageCarriesTheToken) {
  TestServer server;
  const Api api(server.origin());
  for (const std::string& token :
       {std::string("abc\nX-Evil: 1"), std::string("abc\r"), std::string("\nabc"), std::string("ab\0c", 4)}) {
    EXPECT_EQ(failure([&] { api.request("/api/x", token, std::nullopt, false); }), "Invalid account token");
    EXPECT_EQ(failure([&] { api.request("/api/x", token, std::string("{}"), true); }), "Invalid account token");
  }
  EXPECT_TRUE(server.requests().empty());

  const std::string token = "ofx_" + std::string(64, 'Q');
  for (const int status : {302, 400, 401, 404, 500}) {
    server.answer("/api/accounts/ofx/revoke", Reply(status, token));
    const std::string message = failure([&] { api.request("/api/accounts/ofx/revoke", token, "{}", false); });
    EXPECT_EQ(message.find(token.substr(4)), std::string::npos) << message;
    EXPECT_NE(message, "no error");
  }
}

TEST(Request, TheTokenReachesNeitherARedirectTargetNorAProxy) {
  TestServer server;
  TestServer elsewhere;
  elsewhere.answer("/steal", Reply(200, "gotcha"));
  Reply redirect(302, "");
  redirect.location = elsewhere.origin() + "/steal";
  server.answer("/api/accounts/streams", redirect);
  const std::string message =
      failure([&] { Api(server.origin()).request("/api/accounts/streams", "secret-token", std::nullopt, false); });
  EXPECT_EQ(message, "veltrane API returned HTTP 302");
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(elsewhere.requests().empty());

  // The host's environment names a proxy for every scheme; loopback must not use it.
  const std::string proxy = elsewhere.origin();
  for (const char* name : {"http_proxy", "https_proxy", "ALL_PROXY", "all_proxy"}) setenv(name, proxy.c_str(), 1);
  for (const char* name : {"no_proxy", "NO_PROXY"}) unsetenv(name);
  server.answer("/api/x", Reply(200, "direct"));
  for (const std::string& origin : {server.origin(), "http://localhost:" + std::to_string(server.port())})
    EXPECT_EQ(Api(origin).request("/api/x", "secret-token", std::nullopt, false), "direct") << origin;
  for (const char* name : {"http_proxy", "https_proxy", "ALL_PROXY", "all_proxy"}) unsetenv(name);
  EXPECT_TRUE(elsewhere.requests().empty());
}

TEST(Request, ResponsesUpToTwoMebibytesArriveWholeAndLargerOnesFail) {
  constexpr std::size_t kCap = 2 * 1024 * 1024;
  TestServer server;
  std::string exact(kCap, 'x');
  exact.front() = '[';
  exact.back() = ']';
  server.answer("/exact", Reply(200, exact));
  server.answer("/over", Reply(200, std::string(kCap + 1, 'y')));
  const Api api(server.origin());
  EXPECT_TRUE(api.request("/exact", "", std::nullopt, false) == exact);
  EXPECT_EQ(failure([&] { api.request("/over", "", std::nullopt, false); }), test::kConnectionFailed);
}

TEST(Request, StatusCodesMapToTheirSentences) {
  struct Case {
    int status;
    std::string path;
    bool accept400;
    std::string expected;  // the message, or "=" + the returned body
  };
  const std::string http = "veltrane API returned HTTP ";
  const Case cases[] = {
      {200, "/any", false, "=body 200"},
      {204, "/any", false, "="},
      {400, "/any", true, "=body 400"},
      {400, "/any", false, http + "400"},
      {401, "/any", true, test::kAuthFailed},
      {403, "/api/accounts/ofx/token", true, test::kAuthFailed},
      {404, "/api/accounts/ofx/device", false, test::kBackendOutdated},
      {404, "/api/accounts/ofx/token", true, test::kBackendOutdated},
      {404, "/api/accounts/streams/abc", false, test::kStreamNotFound},
      {404, "/api/accounts/ofx", false, test::kStreamNotFound},
      {301, "/any", true, http + "301"},
      {500, "/any", true, http + "500"},
  };
  TestServer server;
  const Api api(server.origin());
  for (const Case& c : cases) {
    server.answer(c.path, Reply(c.status, c.status == 204 ? "" : "body " + std::to_string(c.status)));
    EXPECT_EQ(test::outcome([&] { return api.request(c.path, "tok", std::nullopt, c.accept400); }), c.expected)
        << c.status << " " << c.path << " " << c.accept400;
  }
  server.stop();
  EXPECT_EQ(failure([&] { api.request("/any", "tok", std::nullopt, false); }), test::kConnectionFailed);
}

TEST(Request, ConcurrentCallsEachGetTheirOwnAnswer) {
  TestServer server;
  const auto answer = [](int t) { return std::string(1000 + t, char('a' + t)); };
  std::vector<std::string> got(4);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      server.answer("/t" + std::to_string(t), Reply(200, answer(t)));
      threads.emplace_back([&, t] {
        const auto call = [&] { return Api(server.origin()).request("/t" + std::to_string(t), "", {}, false); };
        for (int i = 0; i < 10; ++i) got[t] += test::outcome(call);
      });
    }
  }
  for (int t = 0; t < 4; ++t) {
    std::string expected;
    for (int i = 0; i < 10; ++i) expected += "=" + answer(t);
    EXPECT_TRUE(got[t] == expected) << "thread " << t;
  }
}

}  // namespace
}  // namespace vl
