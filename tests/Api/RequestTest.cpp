#include "Api/Api.h"
#include "TestServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace vl {
namespace {

using test::failure;
using test::Reply;
using test::TestServer;

// HTTPS anywhere and HTTP on loopback, kept to scheme, host and port; nothing else.
TEST(Origin, AcceptsHttpsAndLoopbackHttpKeepingSchemeHostAndPortOnly) {
  for (const auto& [origin, base] :
       {std::pair{"https://veltrane.com/", "https://veltrane.com"}, {"HTTPS://veltrane.com", "https://veltrane.com"},
        {"https://veltrane.com?", "https://veltrane.com"}, {"hTTps://veltrane.com/?#", "https://veltrane.com"},
        {"https://veltrane.com:8443", "https://veltrane.com:8443"}, {"https://10.0.0.1", "https://10.0.0.1"},
        {"http://localhost:8080/", "http://localhost:8080"}, {"http://127.0.0.1:9", "http://127.0.0.1:9"},
        {"http://[::1]:8080", "http://[::1]:8080"}, {"http://LOCALHOST:1", "http://LOCALHOST:1"}})
    EXPECT_EQ(test::outcome([&] { return Api(origin).base(); }), "=" + std::string(base)) << origin;
  for (const char* origin :
       {"", "veltrane.com", "//veltrane.com", "http://veltrane.com", "http://192.168.1.2", "http://127.0.0.2",
        "http://localhost.example.com", "ftp://veltrane.com", "https://veltrane.com/api", "https://veltrane.com//",
        "https://veltrane.com?x=1", "https://veltrane.com/#top", "https://user@veltrane.com", "HTTPS://veltrane.com/x",
        "https://", "http://[::2]", "not a url at all", "http://@localhost:1234", "http://:@localhost",
        "https://:pw@veltrane.com", "HTTP://veltrane.com"}) {
    EXPECT_EQ(test::failure([&] { Api::validateBase(origin); }),
              "API origin must use HTTPS (HTTP is allowed only on loopback)")
        << origin;
    EXPECT_THROW(Api{origin}, std::runtime_error) << origin;
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
  const std::string exact(kCap, 'x');
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
  const std::string http = "veltrane API returned HTTP ", notFound = "veltrane stream was not found";
  const Case cases[] = {
      {204, "/any", false, "="},
      {400, "/any", true, "=body 400"},
      {400, "/any", false, http + "400"},
      {401, "/any", true, test::kAuthFailed},
      {404, "/api/accounts/ofx/token", true, test::kBackendOutdated},
      {404, "/api/accounts/streams/abc", false, notFound},
      {404, "/api/accounts/ofx", false, notFound},
      {301, "/any", true, http + "301"},
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

}  // namespace
}  // namespace vl
