// The account buttons against the development service, with a private keyring
// and a person answering the terminal dialogs.
#include "DevService.h"
#include "InstanceFixture.h"

#include <fstream>
#include <sstream>

namespace vl::host {
namespace {

using testing::HasSubstr;
using testing::Not;

const Terminal::Rules kChooseFirst{{"[Press Enter to continue]", ""}, {"or press Enter alone to cancel: ", "1"}};
const Terminal::Rules kChooseSecond{{"[Press Enter to continue]", ""}, {"or press Enter alone to cancel: ", "2"}};
const Terminal::Rules kCancelChoice{{"[Press Enter to continue]", ""}, {"or press Enter alone to cancel: ", ""}};

class SignInTest : public InstanceTest {
 protected:
  void TearDown() override {
    InstanceTest::TearDown();
    service.reset();
    if (!log.empty()) std::remove(log.c_str());
  }

  // The service logs each answered request as "METHOD PATH STATUS" to its stderr, kept in a file.
  void start(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--log", "--auto-approve", "--interval", "1", "--max-bitrate", "10000000"});
    char name[] = "/tmp/veltrane-plugin-requests.XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    log = name;
    {
      int saved = dup(STDERR_FILENO);
      dup2(fd, STDERR_FILENO);
      close(fd);
      const std::unique_ptr<int, void (*)(int*)> restore(&saved, [](int* s) {  // also when the service fails
        dup2(*s, STDERR_FILENO);
        close(*s);
      });
      service = std::make_unique<test::DevService>(args);
    }
    create();
    set("apiBase", service->origin());
  }
  std::string requests() const {
    std::ifstream in(log);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  std::string text(const std::string& name) { return std::get<std::string>(param(name).value); }

  std::unique_ptr<test::DevService> service;
  std::string log;
};

// Sign in, choose, choose again with the stored token, sign out.
TEST_F(SignInTest, SignInChooseAndSignOut) {
  start();
  host.changesOnWrite(&plugin);  // each write reported back from inside it, as some hosts do
  EXPECT_THAT(press("choose", kChooseFirst), Not(HasSubstr("Choose a veltrane stream")))
      << "without a stored token nothing happens";
  const std::string shown = press("login", kChooseFirst);
  EXPECT_THAT(shown, HasSubstr("Finish signing in using your browser"));
  EXPECT_THAT(shown, HasSubstr("Check this code in the browser: "));
  EXPECT_THAT(shown, HasSubstr("1. veltrane dev stream\n"));
  EXPECT_EQ(text("viewerId"), "dev-main");
  EXPECT_EQ(text("streamLabel"), "veltrane dev stream");
  EXPECT_EQ(std::get<double>(param("maxBitrateMbit").value), 10.0);
  EXPECT_EQ(props("bitratePreset").strings("OfxParamPropChoiceOption"),
            (std::vector<std::string>{"Low (2.5 Mbit/s)", "Medium (5 Mbit/s)", "High (9 Mbit/s)"}));
  EXPECT_THAT(requests(), HasSubstr("GET /api/accounts/streams/dev-main 200"));

  press("choose", kCancelChoice);
  EXPECT_EQ(text("viewerId"), "dev-main");
  EXPECT_THAT(press("choose", kChooseSecond), Not(HasSubstr("Finish signing in"))) << "no second sign-in";
  EXPECT_EQ(text("viewerId"), "studio b/2");
  EXPECT_EQ(text("streamLabel"), "studio b/2") << "a stream without a label shows its id";

  press("logout");
  EXPECT_THAT(requests(), HasSubstr("POST /api/accounts/ofx/revoke 200"));
  EXPECT_THAT(press("choose", kChooseFirst), Not(HasSubstr("Choose a veltrane stream"))) << "the token is gone";
}

TEST_F(SignInTest, AFailedRevokeIsShownAndKeepsTheToken) {
  start({"--fail", "/api/accounts/ofx/revoke=500"});
  press("login", kChooseFirst);
  set("enabled", 1);
  press("enabled");
  const std::string shown = press("logout");
  EXPECT_THAT(shown, HasSubstr("veltrane\n"));
  EXPECT_THAT(shown, HasSubstr("[Press Enter to continue]"));
  EXPECT_EQ(std::get<int>(param("enabled").value), 0) << "sending stopped before the revoke";
  EXPECT_THAT(status(), HasSubstr("Stopped\n"));
  EXPECT_THAT(press("choose", kCancelChoice), HasSubstr("Choose a veltrane stream")) << "the token stays";
}

TEST_F(SignInTest, RenderNeverWaitsForTheService) {
  start({"--delay", "/api/accounts/streams/*=3000"});
  press("login", kCancelChoice);
  set("viewerId", std::string("dev-main"));
  set("enabled", 1);
  press("enabled");
  for (int i = 0; i < 5; ++i) ASSERT_EQ(render(i), kOfxStatOK);
  // The worker's target request is still unanswered, yet every render is done.
  EXPECT_THAT(requests(), Not(HasSubstr("GET /api/accounts/streams/dev-main")));
  EXPECT_THAT(status(), HasSubstr("Host frames: 5\n"));
}

}  // namespace
}  // namespace vl::host
