#include "Faults.h"
#include "Options.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vl::dev {
namespace {

TEST(DevOptions, DefaultsAreAFreePortAndTheDevelopmentAccount) {
  Options o = parseOptions({});
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.ingestPort, 0);
  EXPECT_EQ(o.email, "dev@veltrane.invalid");
  EXPECT_EQ(o.password, "veltrane-dev");
  EXPECT_EQ(o.intervalS, 2);
  EXPECT_EQ(o.expiresS, 300);
  EXPECT_FALSE(o.autoApprove);
  EXPECT_TRUE(o.tokens.empty() && o.faults.fail.empty() && o.recordDir.empty());
}

TEST(DevOptions, ReadsEveryOptionWithSeparateOrJoinedValues) {
  Options o = parseOptions({"--port", "8080", "--ingest-port=9000", "--target-port", "9001", "--email", "a@b.c",
                            "--password=pw", "--token", "ofx_one", "--token=two", "--interval",
                            "0", "--expires=1", "--auto-approve", "--max-bitrate", "8000000",
                            "--max-width=1920", "--max-height", "0", "--log", "--record-dir",
                            "/tmp/rec", "--fail", "/api/accounts/streams=503", "--fail=/a=b=404",
                            "--delay", "/api/accounts/ofx/token=250", "--huge", "/h", "--huge",
                            "/h2=2097152", "--endless", "/e", "--garbage", "/g*", "--redirect",
                            "/r"});
  EXPECT_TRUE(o.port == 8080 && o.ingestPort == 9000 && o.targetPort == 9001)
      << o.port << " " << o.ingestPort << " " << o.targetPort;
  EXPECT_EQ(o.email + " " + o.password, "a@b.c pw");
  EXPECT_EQ(o.tokens, (std::vector<std::string>{"ofx_one", "two"}));
  EXPECT_TRUE(o.intervalS == 0 && o.expiresS == 1) << o.intervalS << " " << o.expiresS;
  EXPECT_TRUE(o.autoApprove && o.log);
  EXPECT_EQ(o.maxBitrateBps, 8'000'000u);
  EXPECT_TRUE(o.maxWidth == 1920 && o.maxHeight == 0) << o.maxWidth << " " << o.maxHeight;
  EXPECT_EQ(o.recordDir, "/tmp/rec");
  EXPECT_EQ(parseOptions({"--record-dir=rel/dir"}).recordDir, "rel/dir");
  using P = std::pair<std::string, int>;
  EXPECT_EQ(o.faults.fail, (std::vector<P>{{"/api/accounts/streams", 503}, {"/a=b", 404}}));
  EXPECT_EQ(o.faults.delayMs, (std::vector<P>{{"/api/accounts/ofx/token", 250}}));
  using S = std::pair<std::string, std::size_t>;
  EXPECT_EQ(o.faults.hugeBytes, (std::vector<S>{{"/h", 2097153}, {"/h2", 2097152}}));
  EXPECT_EQ(o.faults.endless, std::vector<std::string>{"/e"});
  EXPECT_EQ(o.faults.garbage, std::vector<std::string>{"/g*"});
  EXPECT_EQ(o.faults.redirect, std::vector<std::string>{"/r"});
  EXPECT_TRUE(parseOptions({"--help"}).help);
}

TEST(DevOptions, RefusesWhatItCannotUseAndSaysWhich) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--bogus"}, "--bogus"},           {{"--port"}, "needs a value"},
      {{"--port", "65536"}, "--port"},    {{"--port", "80x"}, "80x"},
      {{"--target-port", "-1"}, "--target-port"},
      {{"--interval", "-1"}, "--interval"}, {{"--expires", ""}, "--expires"},
      {{"--fail", "/x"}, "PATH=VALUE"},   {{"--fail", "/x=99"}, "--fail"},
      {{"--fail", "/x=600"}, "--fail"},   {{"--delay", "x=5"}, "must begin with"},
      {{"--huge", "/x=15"}, "--huge"},    {{"--endless", "nopath"}, "must begin with"},
      {{"--auto-approve=1"}, "takes no value"}, {{"--token", "has space"}, "--token"},
      {{"--token", ""}, "--token"},       {{"--record-dir"}, "needs a value"},
      {{"--record-dir="}, "--record-dir"}};
  for (const auto& [args, fragment] : cases) {
    try {
      parseOptions(args);
      ADD_FAILURE() << args[0] << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
  }
}

TEST(DevOptions, PathsMatchExactlyOrByAStarredPrefix) {
  const std::string s = "/api/accounts/streams";
  EXPECT_TRUE(pathMatches(s, s));
  EXPECT_FALSE(pathMatches(s, s + "/dev-main"));
  EXPECT_FALSE(pathMatches(s, "/api/accounts/stream"));
  EXPECT_TRUE(pathMatches(s + "/*", s + "/dev-main"));
  EXPECT_TRUE(pathMatches(s + "/*", s + "/"));
  EXPECT_FALSE(pathMatches(s + "/*", s));
  EXPECT_TRUE(pathMatches("*", "/anything"));
}

}  // namespace
}  // namespace vl::dev
