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

TEST(DevServiceLifecycle, AnnouncesItsLoopbackOriginAndServesThere) {
  DevService a;
  DevService b;
  EXPECT_TRUE(std::regex_match(a.origin(), std::regex("http://127\\.0\\.0\\.1:[0-9]+")))
      << a.origin();
  EXPECT_GT(a.port(), 0);
  EXPECT_NE(a.port(), b.port());
  auto c = client(a);
  EXPECT_EQ(answer(c.Get("/api/accounts/streams")).status, 401);
}

TEST(DevServiceLifecycle, TermAndIntStopItWithStatusZeroAndNothingLeft) {
  for (int signal : {SIGTERM, SIGINT}) {
    DevService service;
    pid_t pid = service.pid();
    auto c = client(service);
    ASSERT_EQ(answer(c.Get("/api/accounts/streams")).status, 401);
    EXPECT_EQ(service.stop(signal), 0) << "signal " << signal;
    EXPECT_TRUE(gone(pid));
    auto again = client(service);
    EXPECT_FALSE(again.Get("/api/accounts/streams"));
    EXPECT_EQ(service.stop(), -1);
  }
}

TEST(DevServiceLifecycle, LeavingScopeEndsTheService) {
  pid_t pid = 0;
  std::string origin;
  {
    DevService service;
    pid = service.pid();
    origin = service.origin();
  }
  EXPECT_TRUE(gone(pid));
  httplib::Client c(origin);
  c.set_connection_timeout(1);
  EXPECT_FALSE(c.Get("/api/accounts/streams"));
}

TEST(DevServiceLifecycle, StopsPromptlyWithAnIdleKeepAliveConnectionOpen) {
  DevService service;
  auto c = client(service);
  c.set_keep_alive(true);
  ASSERT_EQ(answer(c.Get("/api/accounts/streams")).status, 401);
  EXPECT_EQ(service.stop(), 0);
}

TEST(DevServiceLifecycle, ListensOnAChosenPortAndRefusesOneInUse) {
  DevService first;
  std::string failure = startFailure({"--port", std::to_string(first.port())});
  EXPECT_NE(failure.find("exit status 1"), std::string::npos) << failure;
  int port = first.port();
  ASSERT_EQ(first.stop(), 0);
  DevService second({"--port", std::to_string(port)});
  EXPECT_EQ(second.origin(), "http://127.0.0.1:" + std::to_string(port));
}

TEST(DevServiceLifecycle, RefusesUnknownOptionsWithStatusTwo) {
  std::string failure = startFailure({"--no-such-option"});
  EXPECT_NE(failure.find("exit status 2"), std::string::npos) << failure;
  failure = startFailure({"--fail", "/api/accounts/streams"});
  EXPECT_NE(failure.find("exit status 2"), std::string::npos) << failure;
}

}  // namespace
}  // namespace vl::test
