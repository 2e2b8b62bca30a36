#include "Http.h"

#include <gtest/gtest.h>

#include <thread>

namespace vl::test {
namespace {

using nlohmann::json;

// One sign-in attempt against a running service, driven as the plug-in and the browser do.
struct Attempt {
  httplib::Client& c;
  std::string deviceCode, userCode;
  json reply;

  explicit Attempt(httplib::Client& client) : c(client) {
    reply = parsed(c.Post("/api/accounts/ofx/device", "{}", "application/json"));
    deviceCode = reply.at("device_code");
    userCode = reply.at("user_code");
  }
  httplib::Result poll() {
    return postJson(c, "/api/accounts/ofx/token",
                    {{"device_code", deviceCode}, {"user_code", userCode}});
  }
  // The error code of a refused poll, which arrives with status 400.
  std::string refusal() {
    auto result = poll();
    EXPECT_EQ(answer(result).status, 400) << answer(result).body;
    return parsed(result).value("error", "");
  }
  std::string page() const { return "/ofx/authorize?user_code=" + userCode; }
  int pageStatus() { return answer(c.Get(page())).status; }
  // What a browser sends when the user presses one of the page's buttons.
  int press(const std::string& action) {
    return answer(c.Post("/ofx/authorize",
                         httplib::Params{{"user_code", userCode}, {"action", action}}))
        .status;
  }
};

TEST(DevServiceSignIn, ApprovedInTheBrowserYieldsAWorkingToken) {
  DevService service({"--interval", "1", "--expires", "120"});
  auto c = client(service);
  Attempt a(c);
  EXPECT_EQ(a.reply.at("interval"), 1);
  EXPECT_EQ(a.reply.at("expires_in"), 120);
  EXPECT_EQ(a.reply.at("verification_uri_complete"), service.origin() + a.page());
  EXPECT_EQ(parsed(a.poll()), (json{{"error", "authorization_pending"}, {"interval", 1}}));
  EXPECT_EQ(parsed(a.poll()), (json{{"error", "slow_down"}, {"interval", 6}}));

  auto page = c.Get(a.page());
  ASSERT_EQ(answer(page).status, 200);
  for (const std::string& part : {std::string("<form method=\"post\" action=\"/ofx/authorize\">"),
                                  "name=\"user_code\" value=\"" + a.userCode + "\"",
                                  std::string("value=\"approve\">Connect plugin</button>"),
                                  std::string("value=\"deny\">")})
    EXPECT_NE(page->body.find(part), std::string::npos) << part;

  EXPECT_EQ(a.press("approve"), 200);
  // Once decided the page offers nothing more.
  EXPECT_EQ(a.pageStatus(), 404);
  EXPECT_EQ(a.press("approve"), 404);
  auto granted = a.poll();
  ASSERT_EQ(answer(granted).status, 200) << granted->body;
  std::string token = parsed(granted).at("access_token");
  EXPECT_EQ(token.rfind("ofx_", 0), 0u) << token;
  EXPECT_EQ(a.refusal(), "invalid_grant");
  EXPECT_EQ(answer(c.Get("/api/accounts/streams/dev-main", bearer(token))).status, 200);
}

TEST(DevServiceSignIn, DenyCancelAndExpiryEndTheAttemptAlone) {
  DevService service({"--expires", "2", "--interval", "1"});
  auto c = client(service);
  Attempt denied(c), cancelled(c), untouched(c);
  EXPECT_EQ(denied.press("deny"), 200);
  EXPECT_EQ(denied.refusal(), "access_denied");
  EXPECT_EQ(answer(postJson(c, "/api/accounts/ofx/token",
                            {{"cancel", true}, {"device_code", cancelled.deviceCode},
                             {"user_code", cancelled.userCode}}))
                .status,
            200);
  EXPECT_EQ(cancelled.refusal(), "invalid_grant");
  for (Attempt* ended : {&denied, &cancelled}) EXPECT_EQ(ended->pageStatus(), 404);
  EXPECT_EQ(untouched.pageStatus(), 200);
  EXPECT_EQ(untouched.refusal(), "authorization_pending");

  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(untouched.pageStatus(), 404);
  EXPECT_EQ(untouched.press("approve"), 404);
  EXPECT_EQ(untouched.refusal(), "expired_token");
}

TEST(DevServiceSignIn, AutoApproveGrantsOnTheFirstPoll) {
  DevService service({"--auto-approve"});
  auto c = client(service);
  std::string token = parsed(Attempt(c).poll()).at("access_token");
  EXPECT_EQ(answer(c.Get("/api/accounts/streams", bearer(token))).status, 200);
}

TEST(DevServiceSignIn, MalformedRequestsAreRefused) {
  DevService service;
  auto c = client(service);
  Attempt a(c);
  const std::string device = "{\"device_code\":\"" + a.deviceCode + "\"";
  for (const auto& [body, error] : std::vector<std::pair<std::string, std::string>>{
           {"not json", "invalid_request"},
           {device + "}", "invalid_request"},
           {device + ",\"user_code\":\"AAAA-AAAA\"}", "invalid_grant"}}) {
    auto result = c.Post("/api/accounts/ofx/token", body, "application/json");
    EXPECT_EQ(answer(result).status, 400) << body;
    EXPECT_EQ(parsed(result).value("error", ""), error) << body;
  }
  EXPECT_EQ(answer(c.Get("/ofx/authorize")).status, 400);
  EXPECT_EQ(answer(c.Get("/ofx/authorize?user_code=AAAA-AAAA")).status, 404);
  EXPECT_EQ(a.press("maybe"), 400);
  // Script in the code is never echoed into the page.
  auto hostile = c.Get("/ofx/authorize?user_code=%3Cscript%3E");
  EXPECT_EQ(answer(hostile).status, 404);
  EXPECT_EQ(hostile->body.find("<script>"), std::string::npos);
  // A code typed in lower case still finds its attempt.
  std::string lower = a.userCode;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(answer(c.Get("/ofx/authorize?user_code=" + lower)).status, 200);
}

}  // namespace
}  // namespace vl::test
