#include "Api/Api.h"
#include "Failure.h"
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

constexpr std::size_t kCap = 2 * 1024 * 1024;

TEST(Request, JsonHeadersATokenAsBearerAndABodyMakesAWholePost) {
  TestServer server;
  server.answer("/api/x", Reply{201, "made"});
  struct Case {
    std::string token;
    std::optional<std::string> body;
  };
  const std::vector<Case> cases{{"", std::nullopt}, {"tok_123", R"({"a":[1,2,3]})"}, {"", std::string("ab\0cd", 5)},
                                {"", std::string()}};
  for (const Case& c : cases)  // a trailing slash on the origin changes nothing
    EXPECT_EQ(Api(server.origin() + (c.token.empty() ? "" : "/")).request("/api/x", c.token, c.body, false), "made");
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].method, cases[i].body ? "POST" : "GET");
    EXPECT_EQ(seen[i].target, "/api/x");
    EXPECT_EQ(seen[i].body, cases[i].body.value_or(""));
    EXPECT_EQ(seen[i].count("Accept"), 1u);
    EXPECT_EQ(seen[i].header("Accept"), "application/json");
    EXPECT_EQ(seen[i].count("Content-Type"), 1u);
    EXPECT_EQ(seen[i].header("Content-Type"), "application/json");
    EXPECT_EQ(seen[i].count("Authorization"), cases[i].token.empty() ? 0u : 1u);
    if (!cases[i].token.empty()) {
      EXPECT_EQ(seen[i].header("Authorization"), "Bearer " + cases[i].token);
    }
  }
}

TEST(Request, TokensThatCouldForgeHeadersAreRefusedBeforeAnyConnection) {
  TestServer server;
  const Api api(server.origin());
  for (const std::string& token :
       {std::string("abc\nX-Evil: 1"), std::string("abc\r"), std::string("\nabc"), std::string("ab\0c", 4)}) {
    EXPECT_EQ(failure([&] { api.request("/api/x", token, std::nullopt, false); }), "Invalid account token");
    EXPECT_EQ(failure([&] { api.request("/api/x", token, std::string("{}"), true); }), "Invalid account token");
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST(Request, TheTokenReachesNeitherARedirectTargetNorAProxy) {
  TestServer server;
  TestServer elsewhere;
  elsewhere.answer("/steal", Reply{200, "gotcha"});
  server.answer("/api/accounts/streams", test::redirect(elsewhere.origin() + "/steal"));
  const std::string message =
      failure([&] { Api(server.origin()).request("/api/accounts/streams", "secret-token", std::nullopt, false); });
  EXPECT_EQ(message, "veltrane API returned HTTP 302");
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(elsewhere.requests().empty());

  // The host's environment names a proxy for every scheme; loopback must not use it.
  const std::string proxy = elsewhere.origin();
  for (const char* name : {"http_proxy", "https_proxy", "ALL_PROXY", "all_proxy"}) setenv(name, proxy.c_str(), 1);
  for (const char* name : {"no_proxy", "NO_PROXY"}) unsetenv(name);
  server.answer("/api/x", Reply{200, "direct"});
  for (const std::string& origin : {server.origin(), "http://localhost:" + std::to_string(server.port())})
    EXPECT_EQ(Api(origin).request("/api/x", "secret-token", std::nullopt, false), "direct") << origin;
  for (const char* name : {"http_proxy", "https_proxy", "ALL_PROXY", "all_proxy"}) unsetenv(name);
  EXPECT_TRUE(elsewhere.requests().empty());
}

TEST(Request, ResponsesUpToTwoMebibytesArriveWholeAndLargerOnesFail) {
  TestServer server;
  std::string exact(kCap, 'x');
  exact.front() = '[';
  exact.back() = ']';
  server.answer("/exact", Reply{200, exact});
  server.answer("/over", Reply{200, std::string(kCap + 1, 'y')});
  const Api api(server.origin());
  const std::string received = api.request("/exact", "", std::nullopt, false);
  EXPECT_EQ(received.size(), kCap);
  EXPECT_TRUE(received == exact);
  EXPECT_EQ(failure([&] { api.request("/over", "", std::nullopt, false); }), test::kConnectionFailed);
}

struct StatusCase {
  int status;
  std::string path;
  bool accept400;
  std::string expected;  // the message, or "=" + the returned body
};

TEST(Request, StatusCodesMapToTheirSentences) {
  TestServer server;
  const Api api(server.origin());
  const std::vector<StatusCase> cases = {
      {200, "/any", false, "=body 200"},
      {204, "/any", false, "="},
      {299, "/any", false, "=body 299"},
      {400, "/any", true, "=body 400"},
      {400, "/any", false, "veltrane API returned HTTP 400"},
      {401, "/any", false, test::kAuthFailed},
      {401, "/any", true, test::kAuthFailed},
      {403, "/api/accounts/ofx/token", true, test::kAuthFailed},
      {404, "/api/accounts/ofx/device", false, test::kBackendOutdated},
      {404, "/api/accounts/ofx/revoke", false, test::kBackendOutdated},
      {404, "/api/accounts/ofx/token", true, test::kBackendOutdated},
      {404, "/api/accounts/streams/abc", false, test::kStreamNotFound},
      {404, "/api/accounts/ofx", false, test::kStreamNotFound},
      {300, "/any", false, "veltrane API returned HTTP 300"},
      {301, "/any", true, "veltrane API returned HTTP 301"},
      {409, "/any", false, "veltrane API returned HTTP 409"},
      {500, "/any", true, "veltrane API returned HTTP 500"},
      {503, "/any", false, "veltrane API returned HTTP 503"},
  };
  for (const auto& c : cases) {
    const std::string body = c.status == 204 ? "" : "body " + std::to_string(c.status);
    server.answer(c.path, Reply{c.status, body});
    std::string outcome;
    try {
      outcome = "=" + api.request(c.path, "tok", std::nullopt, c.accept400);
    } catch (const std::runtime_error& e) {
      outcome = e.what();
    }
    EXPECT_EQ(outcome, c.expected) << c.status << " " << c.path << " accept400=" << c.accept400;
  }
}

TEST(Request, NoServerListeningIsAConnectionFailure) {
  int port = 0;
  {
    TestServer gone;
    port = gone.port();
  }
  const Api api("http://127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(failure([&] { api.request("/api/x", "tok", std::nullopt, false); }), test::kConnectionFailed);
}

TEST(Request, MessagesNeverCarryTheToken) {
  TestServer server;
  const std::string token = "ofx_" + std::string(64, 'Q');
  for (const int status : {302, 400, 401, 404, 500}) {
    server.answer("/api/accounts/ofx/revoke", Reply{status, token});
    server.answer("/api/accounts/streams", Reply{status, token});
    for (const char* path : {"/api/accounts/ofx/revoke", "/api/accounts/streams"}) {
      const std::string message =
          failure([&] { Api(server.origin()).request(path, token, std::string("{}"), false); });
      EXPECT_EQ(message.find(token.substr(4)), std::string::npos) << message;
      EXPECT_NE(message, "no error");
    }
  }
  const std::string screened = failure([&] { Api(server.origin()).request("/x", token + "\n", std::nullopt, false); });
  EXPECT_EQ(screened.find(token.substr(4)), std::string::npos);
}

TEST(Request, ConcurrentCallsEachGetTheirOwnAnswer) {
  TestServer server;
  constexpr int kThreads = 4;
  constexpr int kCalls = 10;
  for (int t = 0; t < kThreads; ++t) server.answer("/t" + std::to_string(t), Reply{200, std::string(1000 + t, 'a' + t)});
  std::vector<int> correct(kThreads, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        const Api api(server.origin());
        for (int i = 0; i < kCalls; ++i) {
          try {
            if (api.request("/t" + std::to_string(t), "tok", std::nullopt, false) == std::string(1000 + t, 'a' + t))
              ++correct[t];
          } catch (const std::exception&) {
            // counted as a wrong answer below
          }
        }
      });
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(correct[t], kCalls) << "thread " << t;
  EXPECT_EQ(server.requests().size(), std::size_t{kThreads * kCalls});
}

}  // namespace
}  // namespace vl
