#include "Http.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace vl::test {
namespace {

using nlohmann::json;

struct Attempt {
  std::string deviceCode;
  std::string userCode;
  json reply;
};

Attempt begin(httplib::Client& c) {
  auto result = c.Post("/api/accounts/ofx/device", "{}", "application/json");
  EXPECT_EQ(answer(result).status, 200);
  json reply = parsed(result);
  return {reply.at("device_code"), reply.at("user_code"), reply};
}

httplib::Result poll(httplib::Client& c, const Attempt& a) {
  return postJson(c, "/api/accounts/ofx/token",
                  {{"device_code", a.deviceCode}, {"user_code", a.userCode}});
}

// The error code of a refused poll, which arrives with status 400.
std::string refusal(httplib::Client& c, const Attempt& a) {
  auto result = poll(c, a);
  EXPECT_EQ(answer(result).status, 400) << answer(result).body;
  return parsed(result).value("error", "");
}

std::string pageUrl(const Attempt& a) { return "/ofx/authorize?user_code=" + a.userCode; }

// What a browser sends when the user presses one of the page's buttons.
httplib::Result press(httplib::Client& c, const std::string& userCode, const std::string& action) {
  return c.Post("/ofx/authorize", httplib::Params{{"user_code", userCode}, {"action", action}});
}

TEST(DevServiceSignIn, ApprovedInTheBrowserYieldsATokenThatWorksUntilRevoked) {
  DevService service({"--interval", "1", "--expires", "120"});
  auto c = client(service);
  Attempt a = begin(c);
  EXPECT_TRUE(std::regex_match(a.deviceCode, std::regex("[A-Za-z0-9]{64}"))) << a.deviceCode;
  EXPECT_TRUE(std::regex_match(a.userCode, std::regex("[A-Z2-7]{4}-[A-Z2-7]{4}"))) << a.userCode;
  EXPECT_EQ(a.reply.at("interval"), 1);
  EXPECT_EQ(a.reply.at("expires_in"), 120);
  EXPECT_EQ(a.reply.at("verification_uri_complete"), service.origin() + pageUrl(a));

  auto first = poll(c, a);
  EXPECT_EQ(answer(first).status, 400);
  EXPECT_EQ(parsed(first), (json{{"error", "authorization_pending"}, {"interval", 1}}));
  auto hurried = poll(c, a);
  EXPECT_EQ(parsed(hurried), (json{{"error", "slow_down"}, {"interval", 6}}));

  auto page = c.Get(pageUrl(a));
  ASSERT_EQ(answer(page).status, 200);
  const std::string& html = page->body;
  EXPECT_NE(html.find(a.userCode), std::string::npos);
  EXPECT_NE(html.find("<form method=\"post\" action=\"/ofx/authorize\">"), std::string::npos);
  EXPECT_NE(html.find("name=\"user_code\" value=\"" + a.userCode + "\""), std::string::npos);
  EXPECT_NE(html.find("value=\"approve\">Connect plugin</button>"), std::string::npos);
  EXPECT_NE(html.find("value=\"deny\">"), std::string::npos);

  EXPECT_EQ(answer(press(c, a.userCode, "approve")).status, 200);
  // Once decided the page offers nothing more.
  EXPECT_EQ(answer(c.Get(pageUrl(a))).status, 404);
  EXPECT_EQ(answer(press(c, a.userCode, "approve")).status, 404);

  auto granted = poll(c, a);
  ASSERT_EQ(answer(granted).status, 200) << granted->body;
  std::string token = parsed(granted).at("access_token");
  EXPECT_TRUE(std::regex_match(token, std::regex("ofx_[A-Za-z0-9]{64}"))) << token;
  EXPECT_EQ(refusal(c, a), "invalid_grant");

  EXPECT_EQ(answer(c.Get("/api/accounts/streams", bearer(token))).status, 200);
  json stream = parsed(c.Get("/api/accounts/streams/dev-main", bearer(token))).at("stream");
  EXPECT_TRUE(stream.at("ingest").at("protocols").at("srt").contains("secret"));

  auto revoked = c.Post("/api/accounts/ofx/revoke", bearer(token), "{}", "application/json");
  EXPECT_EQ(answer(revoked).status, 200);
  EXPECT_EQ(answer(c.Get("/api/accounts/streams", bearer(token))).status, 401);
  EXPECT_EQ(answer(c.Get("/api/accounts/streams/dev-main", bearer(token))).status, 401);
}

TEST(DevServiceSignIn, PollingAtTheIntervalIsNeverToldToSlowDown) {
  DevService service({"--interval", "1"});
  auto c = client(service);
  Attempt a = begin(c);
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(refusal(c, a), "authorization_pending") << "poll " << i;
  }
}

TEST(DevServiceSignIn, DenyButtonRefusesTheAttempt) {
  DevService service({"--interval", "1"});
  auto c = client(service);
  Attempt a = begin(c);
  Attempt other = begin(c);
  EXPECT_NE(a.deviceCode, other.deviceCode);
  EXPECT_NE(a.userCode, other.userCode);
  auto denied = press(c, a.userCode, "deny");
  EXPECT_EQ(answer(denied).status, 200);
  EXPECT_EQ(refusal(c, a), "access_denied");
  EXPECT_EQ(answer(c.Get(pageUrl(a))).status, 404);
  // The other attempt is untouched.
  EXPECT_EQ(answer(c.Get(pageUrl(other))).status, 200);
  EXPECT_EQ(refusal(c, other), "authorization_pending");
}

TEST(DevServiceSignIn, CodesExpire) {
  DevService service({"--expires", "1", "--interval", "1"});
  auto c = client(service);
  Attempt a = begin(c);
  Attempt b = begin(c);
  EXPECT_EQ(a.reply.at("expires_in"), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(refusal(c, a), "expired_token");
  EXPECT_EQ(answer(c.Get(pageUrl(b))).status, 404);
  EXPECT_EQ(answer(press(c, b.userCode, "approve")).status, 404);
  EXPECT_EQ(refusal(c, b), "expired_token");
}

TEST(DevServiceSignIn, AutoApproveGrantsOnTheFirstPoll) {
  DevService service({"--auto-approve"});
  auto c = client(service);
  Attempt a = begin(c);
  auto granted = poll(c, a);
  ASSERT_EQ(answer(granted).status, 200);
  std::string token = parsed(granted).at("access_token");
  EXPECT_EQ(answer(c.Get("/api/accounts/streams", bearer(token))).status, 200);
}

TEST(DevServiceSignIn, CancelEndsTheAttempt) {
  DevService service;
  auto c = client(service);
  Attempt a = begin(c);
  auto cancelled = postJson(c, "/api/accounts/ofx/token",
                            {{"cancel", true}, {"device_code", a.deviceCode},
                             {"user_code", a.userCode}});
  EXPECT_EQ(answer(cancelled).status, 200);
  EXPECT_EQ(refusal(c, a), "invalid_grant");
  EXPECT_EQ(answer(c.Get(pageUrl(a))).status, 404);
}

TEST(DevServiceSignIn, MalformedRequestsAreRefused) {
  DevService service;
  auto c = client(service);
  Attempt a = begin(c);
  auto token = [&](const std::string& body) {
    auto result = c.Post("/api/accounts/ofx/token", body, "application/json");
    EXPECT_EQ(answer(result).status, 400) << body;
    return parsed(result).value("error", "");
  };
  EXPECT_EQ(token("not json"), "invalid_request");
  EXPECT_EQ(token("{\"device_code\":\"" + a.deviceCode + "\"}"), "invalid_request");
  EXPECT_EQ(token("{\"device_code\":\"" + a.deviceCode + "\",\"user_code\":\"AAAA-AAAA\"}"),
            "invalid_grant");

  EXPECT_EQ(answer(c.Get("/ofx/authorize")).status, 400);
  EXPECT_EQ(answer(c.Get("/ofx/authorize?user_code=AAAA-AAAA")).status, 404);
  EXPECT_EQ(answer(press(c, a.userCode, "maybe")).status, 400);
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
