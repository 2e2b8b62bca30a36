#include "Faults.h"
#include "Options.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vl::dev {
namespace {

std::string refusal(const std::vector<std::string>& args) {
  try {
    parseOptions(args);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(DevOptions, DefaultsAreAFreePortAndTheDevelopmentAccount) {
  Options o = parseOptions({});
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.ingestPort, 0);
  EXPECT_EQ(o.email, "dev@veltrane.invalid");
  EXPECT_EQ(o.password, "veltrane-dev");
  EXPECT_EQ(o.intervalS, 2);
  EXPECT_EQ(o.expiresS, 300);
  EXPECT_FALSE(o.autoApprove);
  EXPECT_TRUE(o.tokens.empty());
  EXPECT_TRUE(o.faults.fail.empty());
}

TEST(DevOptions, ReadsEveryOptionWithSeparateOrJoinedValues) {
  Options o = parseOptions({"--port", "8080", "--ingest-port=9000", "--email", "a@b.c",
                            "--password=pw", "--token", "ofx_one", "--token=two", "--interval",
                            "0", "--expires=1", "--auto-approve", "--max-bitrate", "8000000",
                            "--max-width=1920", "--max-height", "0", "--log"});
  EXPECT_EQ(o.port, 8080);
  EXPECT_EQ(o.ingestPort, 9000);
  EXPECT_EQ(o.email, "a@b.c");
  EXPECT_EQ(o.password, "pw");
  EXPECT_EQ(o.tokens, (std::vector<std::string>{"ofx_one", "two"}));
  EXPECT_EQ(o.intervalS, 0);
  EXPECT_EQ(o.expiresS, 1);
  EXPECT_TRUE(o.autoApprove);
  EXPECT_EQ(o.maxBitrateBps, 8'000'000u);
  EXPECT_EQ(o.maxWidth, 1920);
  EXPECT_EQ(o.maxHeight, 0);
  EXPECT_TRUE(o.log);
}

TEST(DevOptions, ReadsMisbehaviourPerPath) {
  Options o = parseOptions({"--fail", "/api/accounts/streams=503", "--fail=/a=b=404", "--delay",
                            "/api/accounts/ofx/token=250", "--huge", "/h", "--huge", "/h2=2097152",
                            "--endless", "/e", "--garbage", "/g*", "--redirect", "/r"});
  using P = std::pair<std::string, int>;
  EXPECT_EQ(o.faults.fail, (std::vector<P>{{"/api/accounts/streams", 503}, {"/a=b", 404}}));
  EXPECT_EQ(o.faults.delayMs, (std::vector<P>{{"/api/accounts/ofx/token", 250}}));
  using S = std::pair<std::string, std::size_t>;
  EXPECT_EQ(o.faults.hugeBytes, (std::vector<S>{{"/h", 2097153}, {"/h2", 2097152}}));
  EXPECT_EQ(o.faults.endless, std::vector<std::string>{"/e"});
  EXPECT_EQ(o.faults.garbage, std::vector<std::string>{"/g*"});
  EXPECT_EQ(o.faults.redirect, std::vector<std::string>{"/r"});
}

TEST(DevOptions, RefusesWhatItCannotUseAndSaysWhich) {
  EXPECT_NE(refusal({"--bogus"}).find("--bogus"), std::string::npos);
  EXPECT_NE(refusal({"--port"}).find("needs a value"), std::string::npos);
  EXPECT_NE(refusal({"--port", "65536"}).find("--port"), std::string::npos);
  EXPECT_NE(refusal({"--port", "80x"}).find("80x"), std::string::npos);
  EXPECT_NE(refusal({"--interval", "-1"}).find("--interval"), std::string::npos);
  EXPECT_NE(refusal({"--expires", ""}).find("--expires"), std::string::npos);
  EXPECT_NE(refusal({"--fail", "/x"}).find("PATH=VALUE"), std::string::npos);
  EXPECT_NE(refusal({"--fail", "/x=99"}).find("--fail"), std::string::npos);
  EXPECT_NE(refusal({"--fail", "/x=600"}).find("--fail"), std::string::npos);
  EXPECT_NE(refusal({"--delay", "x=5"}).find("must begin with"), std::string::npos);
  EXPECT_NE(refusal({"--huge", "/x=15"}).find("--huge"), std::string::npos);
  EXPECT_NE(refusal({"--endless", "nopath"}).find("must begin with"), std::string::npos);
  EXPECT_NE(refusal({"--auto-approve=1"}).find("takes no value"), std::string::npos);
  EXPECT_NE(refusal({"--token", "has space"}).find("--token"), std::string::npos);
  EXPECT_NE(refusal({"--token", ""}).find("--token"), std::string::npos);
  EXPECT_TRUE(parseOptions({"--help"}).help);
}

TEST(DevOptions, RecordFolderIsEmptyUntilGiven) {
  EXPECT_TRUE(parseOptions({}).recordDir.empty());
  EXPECT_EQ(parseOptions({"--record-dir", "/tmp/rec"}).recordDir, "/tmp/rec");
  EXPECT_EQ(parseOptions({"--record-dir=rel/dir"}).recordDir, "rel/dir");
  EXPECT_NE(refusal({"--record-dir"}).find("needs a value"), std::string::npos);
  EXPECT_NE(refusal({"--record-dir="}).find("--record-dir"), std::string::npos);
}

TEST(DevOptions, PathsMatchExactlyOrByAStarredPrefix) {
  EXPECT_TRUE(pathMatches("/api/accounts/streams", "/api/accounts/streams"));
  EXPECT_FALSE(pathMatches("/api/accounts/streams", "/api/accounts/streams/dev-main"));
  EXPECT_FALSE(pathMatches("/api/accounts/streams", "/api/accounts/stream"));
  EXPECT_TRUE(pathMatches("/api/accounts/streams/*", "/api/accounts/streams/dev-main"));
  EXPECT_TRUE(pathMatches("/api/accounts/streams/*", "/api/accounts/streams/"));
  EXPECT_FALSE(pathMatches("/api/accounts/streams/*", "/api/accounts/streams"));
  EXPECT_TRUE(pathMatches("*", "/anything"));
}

}  // namespace
}  // namespace vl::dev
