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
  const std::regex deviceCode("[A-Za-z0-9]{64}");
  const std::regex userCode("[A-Z2-7]{4}-[A-Z2-7]{4}");
  std::set<std::string> devices, users;
  for (int i = 0; i < 200; ++i) {
    DeviceGrant g = account.issueDeviceCode();
    EXPECT_TRUE(std::regex_match(g.deviceCode, deviceCode)) << g.deviceCode;
    EXPECT_TRUE(std::regex_match(g.userCode, userCode)) << g.userCode;
    EXPECT_EQ(g.intervalS, 3);
    EXPECT_EQ(g.expiresInS, 42);
    devices.insert(g.deviceCode);
    users.insert(g.userCode);
  }
  EXPECT_EQ(devices.size(), 200u);
  EXPECT_EQ(users.size(), 200u);
}

TEST(DevAccount, PollingFasterThanTheIntervalSlowsDownByFiveSeconds) {
  Account account(withInterval(2));
  auto t = Clock::now();
  DeviceGrant g = account.issueDeviceCode(t);
  PollResult r = account.poll(g.deviceCode, g.userCode, t);
  EXPECT_EQ(r.error, "authorization_pending");
  EXPECT_EQ(r.intervalS, 2);
  r = account.poll(g.deviceCode, g.userCode, t += milliseconds(500));
  EXPECT_EQ(r.error, "slow_down");
  EXPECT_EQ(r.intervalS, 7);
  // The raised interval holds from now on.
  r = account.poll(g.deviceCode, g.userCode, t += seconds(3));
  EXPECT_EQ(r.error, "slow_down");
  EXPECT_EQ(r.intervalS, 12);
  r = account.poll(g.deviceCode, g.userCode, t += seconds(12));
  EXPECT_EQ(r.error, "authorization_pending");
  EXPECT_EQ(r.intervalS, 12);
}

TEST(DevAccount, ApprovalGivesOnePluginTokenOnce) {
  Account account(withInterval(1));
  DeviceGrant g = account.issueDeviceCode();
  EXPECT_TRUE(account.awaitingDecision(g.userCode));
  EXPECT_TRUE(account.decide(g.userCode, true));
  EXPECT_FALSE(account.awaitingDecision(g.userCode));
  EXPECT_FALSE(account.decide(g.userCode, false));
  PollResult r = account.poll(g.deviceCode, g.userCode);
  EXPECT_EQ(r.error, "");
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

TEST(DevAccount, AutoApproveAnswersTheFirstPollWithAToken) {
  Options o;
  o.autoApprove = true;
  Account account(o);
  DeviceGrant g = account.issueDeviceCode();
  EXPECT_FALSE(account.awaitingDecision(g.userCode));
  EXPECT_EQ(account.poll(g.deviceCode, g.userCode).accessToken.substr(0, 4), "ofx_");
}

TEST(DevAccount, OnlyPluginTokensAreRevoked) {
  Options o;
  o.tokens = {"ofx_preissued", "account-token"};
  Account account(o);
  EXPECT_TRUE(account.tokenValid("ofx_preissued"));
  EXPECT_FALSE(account.tokenValid(""));
  EXPECT_FALSE(account.tokenValid("ofx_other"));
  EXPECT_EQ(account.revoke("ofx_preissued"), Revoked::revoked);
  EXPECT_FALSE(account.tokenValid("ofx_preissued"));
  EXPECT_EQ(account.revoke("ofx_preissued"), Revoked::unknownToken);
  EXPECT_EQ(account.revoke("account-token"), Revoked::notPluginToken);
  EXPECT_TRUE(account.tokenValid("account-token"));
}

TEST(DevAccount, PasswordLoginChecksBothAndIssuesDistinctTokens) {
  Options o;
  o.email = "me@example.invalid";
  o.password = "secret";
  Account account(o);
  EXPECT_FALSE(account.login("me@example.invalid", "wrong"));
  EXPECT_FALSE(account.login("dev@veltrane.invalid", "secret"));
  EXPECT_FALSE(account.login("", ""));
  auto a = account.login("me@example.invalid", "secret");
  auto b = account.login("me@example.invalid", "secret");
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_TRUE(account.tokenValid(*a));
  EXPECT_TRUE(account.tokenValid(*b));
  EXPECT_NE(a->rfind("ofx_", 0), 0u);
}

// The list holds streams the plug-in must leave out; filtering it by the
// plug-in's rules leaves exactly the two active ones, in order.
TEST(DevAccount, StreamListHoldsPastEndedAndUnnamedStreamsBesideActiveOnes) {
  Account account{Options{}};
  nlohmann::json list = account.streamList().at("streams");
  std::vector<std::string> offered;
  bool past = false, ended = false, unnamed = false, nullEnd = false, unlabelled = false;
  for (const auto& s : list) {
    std::string viewerId = s.value("viewerId", "");
    if (s.value("lifecycle", "") == "past") {
      past = true;
      continue;
    }
    if (s.contains("endedAt") && s["endedAt"].is_string() &&
        !s["endedAt"].get<std::string>().empty()) {
      ended = true;
      continue;
    }
    if (viewerId.empty()) {
      unnamed = true;
      continue;
    }
    nullEnd |= s.contains("endedAt") && s["endedAt"].is_null();
    unlabelled |= !s.contains("label");
    offered.push_back(viewerId);
    EXPECT_FALSE(s.contains("ingest")) << "the list must not reveal stream identities";
  }
  EXPECT_TRUE(past && ended && unnamed && nullEnd && unlabelled);
  EXPECT_EQ(offered, (std::vector<std::string>{"dev-main", "studio b/2"}));
}

TEST(DevAccount, IngestAcceptsOnlyIdentitiesOfActiveStreams) {
  Account account{Options{}};
  std::string main = secretOf(account, "dev-main");
  std::string studio = secretOf(account, "studio b/2");
  EXPECT_NE(main, studio);
  EXPECT_TRUE(account.knowsStreamId(main));
  EXPECT_TRUE(account.knowsStreamId(studio));
  EXPECT_FALSE(account.knowsStreamId(secretOf(account, "dev-past")));
  EXPECT_FALSE(account.knowsStreamId(secretOf(account, "dev-ended")));
  EXPECT_FALSE(account.knowsStreamId(""));
  EXPECT_FALSE(account.knowsStreamId(main + "x"));
  EXPECT_FALSE(account.knowsStreamId(main.substr(1)));
  // Every run has its own identities.
  Account other{Options{}};
  EXPECT_FALSE(other.knowsStreamId(main));
}

TEST(DevAccount, TargetsNameTheIngestPortAndTheConfiguredLimits) {
  Options o;
  o.maxBitrateBps = 6'000'000;
  o.maxWidth = 1280;
  o.maxHeight = 0;
  Account account(o);
  account.setIngestPort(4242);
  EXPECT_EQ(account.ingestUrl(), "srt://127.0.0.1:4242");
  nlohmann::json stream = account.streamTarget("dev-main")->at("stream");
  EXPECT_EQ(stream.at("ingest").at("protocols").at("srt").at("url"), "srt://127.0.0.1:4242");
  EXPECT_EQ(stream.at("limits"),
            (nlohmann::json{{"maxIngestBitrateBps", 6'000'000}, {"maxWidth", 1280}}));
  EXPECT_FALSE(account.streamTarget("studio b/2")->at("stream").contains("limits"));
  EXPECT_FALSE(account.streamTarget("nope"));
  EXPECT_FALSE(account.streamTarget(""));
}

}  // namespace
}  // namespace vl::dev
