#include "Account.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vl::dev {
namespace {

std::string secretOf(const Account& account, const std::string& viewerId) {
  return account.streamTarget(viewerId)
      ->at("stream").at("ingest").at("protocols").at("srt").at("secret").get<std::string>();
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
