// The account buttons against the development service, with a private keyring
// and a person answering the terminal dialogs.
#include "DevService.h"
#include "InstanceFixture.h"

#include <fstream>
#include <optional>
#include <sstream>

namespace vl::host {
namespace {

using testing::HasSubstr;
using testing::Not;

// Enter at every message, and the given line at the stream choice.
Terminal::Rules choosing(const std::string& typed) {
  return {{"[Press Enter to continue]", ""}, {"or press Enter alone to cancel: ", typed}};
}

// The development service with the given options; it logs each answered request as
// "METHOD PATH STATUS" to its stderr, kept in a file that requests() reads.
class SignInTest : public InstanceTest {
 protected:
  void start(std::vector<std::string> args) {
    args.insert(args.end(), {"--log", "--auto-approve", "--interval", "1", "--max-bitrate", "10000000"});
    const int fd = mkstemp(log);
    ASSERT_GE(fd, 0);
    const int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    try {
      service.emplace(args);
    } catch (const std::exception&) {
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    ASSERT_TRUE(service) << "The development service did not start.";
    create();
    set("apiBase", service->origin());
  }
  void TearDown() override {
    InstanceTest::TearDown();
    service.reset();
    std::remove(log);
  }
  std::string requests() { return (std::stringstream() << std::ifstream(log).rdbuf()).str(); }
  std::string text(const std::string& name) { return std::get<std::string>(param(name).value); }

  char log[40] = "/tmp/veltrane-plugin-requests.XXXXXX";
  std::optional<test::DevService> service;
};

// Sign in, choose, choose again with the stored token, sign out.
TEST_F(SignInTest, SignInChooseAndSignOut) {
  ASSERT_NO_FATAL_FAILURE(start({}));
  host.changesOnWrite(&plugin);  // each write reported back from inside it, as some hosts do
  EXPECT_THAT(press("choose", choosing("1")), Not(HasSubstr("Choose a veltrane stream")))
      << "without a stored token nothing happens";
  const std::string shown = press("login", choosing("1"));
  EXPECT_THAT(shown, HasSubstr("Finish signing in using your browser"));
  EXPECT_THAT(shown, HasSubstr("Check this code in the browser: "));
  EXPECT_THAT(shown, HasSubstr("1. veltrane dev stream\n"));
  EXPECT_EQ(text("viewerId"), "dev-main");
  EXPECT_EQ(text("streamLabel"), "veltrane dev stream");
  EXPECT_EQ(std::get<double>(param("maxBitrateMbit").value), 10.0);
  EXPECT_EQ(props("bitratePreset").strings("OfxParamPropChoiceOption"),
            (std::vector<std::string>{"Low (2.5 Mbit/s)", "Medium (5 Mbit/s)", "High (9 Mbit/s)"}));

  press("choose", choosing(""));
  EXPECT_EQ(text("viewerId"), "dev-main");
  EXPECT_THAT(press("choose", choosing("2")), Not(HasSubstr("Finish signing in"))) << "no second sign-in";
  EXPECT_EQ(text("viewerId"), "studio b/2");
  EXPECT_EQ(text("streamLabel"), "studio b/2") << "a stream without a label shows its id";

  press("logout");
  EXPECT_THAT(requests(), HasSubstr("POST /api/accounts/ofx/revoke 200"));
  EXPECT_THAT(press("choose", choosing("1")), Not(HasSubstr("Choose a veltrane stream"))) << "the token is gone";
}

// Signing out stops sending first; a revoke the service refuses is shown and keeps the token.
TEST_F(SignInTest, AFailedRevokeIsShownAndKeepsTheToken) {
  ASSERT_NO_FATAL_FAILURE(start({"--fail", "/api/accounts/ofx/revoke=500"}));
  press("login", choosing("1"));
  enable();
  EXPECT_THAT(press("logout"), HasSubstr("[Press Enter to continue]"));
  EXPECT_EQ(std::get<int>(param("enabled").value), 0) << "sending stopped before the revoke";
  EXPECT_THAT(press("choose", choosing("")), HasSubstr("Choose a veltrane stream")) << "the token stays";
}

// The worker's target request is still unanswered, yet every render is done.
TEST_F(SignInTest, RenderNeverWaitsForTheService) {
  ASSERT_NO_FATAL_FAILURE(start({"--delay", "/api/accounts/streams/*=3000"}));
  press("login", choosing(""));
  set("viewerId", std::string("dev-main"));
  enable();
  for (int i = 0; i < 5; ++i) ASSERT_EQ(render(i), kOfxStatOK);
  EXPECT_THAT(requests(), Not(HasSubstr("GET /api/accounts/streams/dev-main")));
  EXPECT_THAT(status(), HasSubstr("Host frames: 5\n"));
}

}  // namespace
}  // namespace vl::host
