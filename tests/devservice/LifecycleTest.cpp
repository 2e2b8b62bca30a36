#include "Http.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

namespace vl::test {
namespace {

std::string startFailure(const std::vector<std::string>& args) {
  try {
    DevService service(args);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

bool gone(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

TEST(DevServiceLifecycle, AnnouncesItsLoopbackOriginAndSignsInWithTheDefaults) {
  DevService a;
  DevService b;
  EXPECT_TRUE(std::regex_match(a.origin(), std::regex("http://127\\.0\\.0\\.1:[0-9]+")))
      << a.origin();
  EXPECT_NE(a.port(), b.port());
  auto c = client(a);
  EXPECT_EQ(answer(c.Get("/api/accounts/streams")).status, 401);
  nlohmann::json login = {{"email", "dev@veltrane.invalid"}, {"password", "veltrane-dev"},
                          {"totpCode", ""}};
  EXPECT_EQ(answer(postJson(c, "/api/accounts/login", login)).status, 200);
}

// Also with an idle keep-alive connection open, which must not hold the stop up.
TEST(DevServiceLifecycle, TermAndIntStopItWithStatusZeroAndNothingLeft) {
  for (int signal : {SIGTERM, SIGINT}) {
    DevService service;
    pid_t pid = service.pid();
    auto c = client(service);
    c.set_keep_alive(true);
    ASSERT_EQ(answer(c.Get("/api/accounts/streams")).status, 401);
    EXPECT_EQ(service.stop(signal), 0) << "signal " << signal;
    EXPECT_TRUE(gone(pid));
    EXPECT_FALSE(client(service).Get("/api/accounts/streams"));
    EXPECT_EQ(service.stop(), -1);
  }
  pid_t pid = 0;
  {
    DevService service;
    pid = service.pid();
  }
  EXPECT_TRUE(gone(pid)) << "leaving scope ends the service";
}

TEST(DevServiceLifecycle, ListensOnAChosenPortAndRefusesOneInUseOrBadOptions) {
  DevService first;
  std::string failure = startFailure({"--port", std::to_string(first.port())});
  EXPECT_NE(failure.find("exit status 1"), std::string::npos) << failure;
  int port = first.port();
  ASSERT_EQ(first.stop(), 0);
  DevService second({"--port", std::to_string(port)});
  EXPECT_EQ(second.origin(), "http://127.0.0.1:" + std::to_string(port));
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--no-such-option"}, {"--fail", "/api/accounts/streams"}}) {
    failure = startFailure(args);
    EXPECT_NE(failure.find("exit status 2"), std::string::npos) << failure;
  }
}

}  // namespace
}  // namespace vl::test
