#include "Account.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace vl::dev {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

Options withInterval(int intervalS, int expiresS = 300) {
  Options o;
  o.intervalS = intervalS;
  o.expiresS = expiresS;
  return o;
}

std::string secretOf(const Account& account, const std::string& viewerId) {
  return account.streamTarget(viewerId)
      ->at("stream").at("ingest").at("protocols").at("srt").at("secret").get<std::string>();
}

TEST(DevAccount, DeviceCodesAreRandomAndShapedAsThePluginChecks) {
  Account account(withInterval(3, 42));
  std::set<std::string> devices, users;
  for (int i = 0; i < 200; ++i) {
    DeviceGrant g = account.issueDeviceCode();
    EXPECT_TRUE(std::regex_match(g.deviceCode, std::regex("[A-Za-z0-9]{64}"))) << g.deviceCode;
    EXPECT_TRUE(std::regex_match(g.userCode, std::regex("[A-Z2-7]{4}-[A-Z2-7]{4}"))) << g.userCode;
    EXPECT_TRUE(g.intervalS == 3 && g.expiresInS == 42);
    devices.insert(g.deviceCode);
    users.insert(g.userCode);
  }
  EXPECT_EQ(devices.size() + users.size(), 400u);
}

TEST(DevAccount, PollingFasterThanTheIntervalSlowsDownByFiveSeconds) {
  Account account(withInterval(2));
  auto t = Clock::now();
  DeviceGrant g = account.issueDeviceCode(t);
  // Each step: time since the last poll, expected answer and interval. The raised one holds.
  const std::vector<std::tuple<milliseconds, std::string, int>> steps{
      {milliseconds(0), "authorization_pending", 2}, {milliseconds(500), "slow_down", 7},
      {seconds(3), "slow_down", 12}, {seconds(12), "authorization_pending", 12}};
  for (const auto& [after, error, intervalS] : steps) {
    PollResult r = account.poll(g.deviceCode, g.userCode, t += after);
    EXPECT_EQ(r.error, error);
    EXPECT_EQ(r.intervalS, intervalS);
  }
}

TEST(DevAccount, ApprovalGivesOnePluginTokenOnce) {
  Account account(withInterval(1));
  DeviceGrant g = account.issueDeviceCode();
  EXPECT_TRUE(account.awaitingDecision(g.userCode));
  EXPECT_TRUE(account.decide(g.userCode, true));
  EXPECT_FALSE(account.awaitingDecision(g.userCode));
  EXPECT_FALSE(account.decide(g.userCode, false));  // decided once only
  PollResult r = account.poll(g.deviceCode, g.userCode);
  EXPECT_TRUE(std::regex_match(r.accessToken, std::regex("ofx_[A-Za-z0-9]{64}")));
  EXPECT_TRUE(account.tokenValid(r.accessToken));
  EXPECT_EQ(account.poll(g.deviceCode, g.userCode).error, "invalid_grant");
}

TEST(DevAccount, DenialExpiryCancelAndWrongCodesEndWithoutAToken) {
  Account account(withInterval(1, 10));
  auto t = Clock::now();
  DeviceGrant denied = account.issueDeviceCode(t);
  EXPECT_TRUE(account.decide(denied.userCode, false));
  EXPECT_EQ(account.poll(denied.deviceCode, denied.userCode).error, "access_denied");
  EXPECT_EQ(account.poll(denied.deviceCode, denied.userCode).error, "invalid_grant");

  DeviceGrant expired = account.issueDeviceCode(t);
  EXPECT_TRUE(account.awaitingDecision(expired.userCode, t + milliseconds(9999)));
  EXPECT_FALSE(account.awaitingDecision(expired.userCode, t + seconds(10)));
  EXPECT_FALSE(account.decide(expired.userCode, true, t + seconds(10)));
  EXPECT_EQ(account.poll(expired.deviceCode, expired.userCode, t + seconds(10)).error,
            "expired_token");

  DeviceGrant cancelled = account.issueDeviceCode();
  account.cancel(cancelled.deviceCode, "AAAA-AAAA");  // not its user code: ignored
  EXPECT_TRUE(account.awaitingDecision(cancelled.userCode));
  account.cancel(cancelled.deviceCode, cancelled.userCode);
  EXPECT_FALSE(account.awaitingDecision(cancelled.userCode));
  EXPECT_EQ(account.poll(cancelled.deviceCode, cancelled.userCode).error, "invalid_grant");

  DeviceGrant other = account.issueDeviceCode();
  EXPECT_TRUE(account.decide(other.userCode, true));
  EXPECT_EQ(account.poll(other.deviceCode, denied.userCode).error, "invalid_grant");
  EXPECT_EQ(account.poll("x" + other.deviceCode.substr(1), other.userCode).error,
            "invalid_grant");
}

TEST(DevAccount, LoginChecksBothAndOnlyPluginTokensAreRevoked) {
  Options o;
  o.email = "me@example.invalid";
  o.password = "secret";
  o.tokens = {"ofx_preissued"};
  Account account(o);
  for (const auto& [email, password] : std::vector<std::pair<std::string, std::string>>{
           {"me@example.invalid", "wrong"}, {"dev@veltrane.invalid", "secret"}, {"", ""}})
    EXPECT_FALSE(account.login(email, password)) << email << " " << password;
  auto a = account.login("me@example.invalid", "secret");
  auto b = account.login("me@example.invalid", "secret");
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_TRUE(account.tokenValid(*a) && account.tokenValid(*b));
  EXPECT_NE(a->rfind("ofx_", 0), 0u);

  EXPECT_TRUE(account.tokenValid("ofx_preissued"));
  EXPECT_FALSE(account.tokenValid("") || account.tokenValid("ofx_other"));
  EXPECT_EQ(account.revoke("ofx_preissued"), Revoked::revoked);
  EXPECT_FALSE(account.tokenValid("ofx_preissued"));
  EXPECT_EQ(account.revoke("ofx_preissued"), Revoked::unknownToken);
  EXPECT_EQ(account.revoke(*a), Revoked::notPluginToken);
  EXPECT_TRUE(account.tokenValid(*a));
}

// The list holds streams the plug-in must leave out beside the two active ones; only
// those two have identities the ingest accepts, and none are shown in the list.
TEST(DevAccount, OnlyActiveStreamsAreOfferedAndAccepted) {
  Account account{Options{}};
  const nlohmann::json list = account.streamList();
  std::vector<std::string> offered;
  for (const auto& s : list.at("streams")) {
    EXPECT_FALSE(s.contains("ingest")) << "the list must not reveal stream identities";
    const bool ended = s.contains("endedAt") && s["endedAt"].is_string();
    if (s.value("lifecycle", "") != "past" && !ended && !s.value("viewerId", "").empty())
      offered.push_back(s["viewerId"]);
  }
  EXPECT_EQ(offered, (std::vector<std::string>{"dev-main", "studio b/2"}));

  std::string main = secretOf(account, "dev-main");
  EXPECT_NE(main, secretOf(account, "studio b/2"));
  EXPECT_TRUE(account.knowsStreamId(main));
  EXPECT_TRUE(account.knowsStreamId(secretOf(account, "studio b/2")));
  for (const std::string& id : {secretOf(account, "dev-past"), secretOf(account, "dev-ended"),
                                std::string(), main + "x", main.substr(1)})
    EXPECT_FALSE(account.knowsStreamId(id)) << id;
  // Every run has its own identities.
  EXPECT_FALSE(Account{Options{}}.knowsStreamId(main));
}

}  // namespace
}  // namespace vl::dev
