// The dialogs' logic through a scripted toolkit, against the development account service
// over real HTTP and the real token store (a private keyring, see tests/Linux/with-keyring).
#include "Core/Dialogs.h"
#include "Core/TokenStore.h"
#include "Core/Toolkit.h"

#include "Account.h"
#include "Faults.h"
#include "Handlers.h"
#include "Shutdown.h"

#include "../support/Failure.h"
#include "../support/Wait.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using vl::test::failure;
using vl::test::waitFor;
using Clock = std::chrono::steady_clock;

struct Exchange {
  std::string path;
  std::string body;
  std::string authorization;
  int status = 0;
  Clock::time_point at;
};

// The development service's account API and authorise page, in this process.
class DevService {
public:
  // `before` may answer a request itself (returning true) ahead of the real routes; such
  // answers are not logged. Without it the options' faults apply.
  explicit DevService(vl::dev::Options options,
                      std::function<bool(const httplib::Request&, httplib::Response&)> before = {})
      : account_(options), before_(std::move(before)) {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("The development service could not bind a port.");
    origin_ = "http://127.0.0.1:" + std::to_string(port_);
    account_.setIngestPort(9);
    // Both take the server's one pre-routing slot.
    if (before_)
      server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return before_(req, res) ? httplib::Server::HandlerResponse::Handled
                                 : httplib::Server::HandlerResponse::Unhandled;
      });
    else
      vl::dev::installFaults(server_, options.faults, shutdown_);
    vl::dev::installApi(server_, account_, origin_);
    vl::dev::installAuthorizePage(server_, account_);
    server_.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
      std::lock_guard lock(mutex_);
      log_.push_back({req.path, req.body, req.get_header_value("Authorization"), res.status, Clock::now()});
    });
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(1ms);
  }
  ~DevService() {
    shutdown_.begin();
    server_.stop();
    thread_.join();
  }

  const std::string& origin() const { return origin_; }
  vl::dev::Account& account() { return account_; }

  std::vector<Exchange> log(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::vector<Exchange> out;
    for (const Exchange& e : log_)
      if (e.path == path) out.push_back(e);
    return out;
  }
  std::vector<Exchange> polls() { return tokenRequests(false); }
  int cancels() { return static_cast<int>(tokenRequests(true).size()); }
  // What the user's browser sends from the authorise page.
  void decide(const std::string& verificationUrl, const std::string& action) {
    const std::string code = verificationUrl.substr(verificationUrl.find("user_code=") + 10);
    httplib::Client browser("127.0.0.1", port_);
    auto res = browser.Post("/ofx/authorize", "action=" + action + "&user_code=" + code,
                            "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
  }

private:
  std::vector<Exchange> tokenRequests(bool cancel) {
    std::vector<Exchange> out;
    for (Exchange& e : log("/api/accounts/ofx/token")) {
      auto body = nlohmann::json::parse(e.body, nullptr, false);
      // A request answered before routing is logged without its body.
      if (body.is_object() && body.value("cancel", false) == cancel) out.push_back(e);
    }
    return out;
  }

  vl::dev::Account account_;
  std::function<bool(const httplib::Request&, httplib::Response&)> before_;
  vl::dev::Shutdown shutdown_;
  httplib::Server server_;
  int port_ = 0;
  std::string origin_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Exchange> log_;
};

vl::dev::Options quick() {
  vl::dev::Options o;
  o.intervalS = 1;
  return o;
}

// Plays the user. Records every call; refuses to be entered twice at once.
struct Script : vl::Toolkit {
  struct Shown {
    std::string title, text, button;
    std::vector<std::string> labels;
  };
  std::mutex mutex;
  std::vector<Shown> messages, alerts, lists;
  std::vector<std::string> urls;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};

  bool browserOpens = true;
  std::function<void(const std::string&)> onOpen;
  // Default: wait (up to 20 s) for the check to end the alert.
  std::function<vl::AlertEnd(const std::function<bool()>&)> onAlert;
  std::optional<std::size_t> choice = 0;

  struct Enter {
    Script& s;
    explicit Enter(Script& s) : s(s) {
      if (s.inside++ != 0) s.overlapped = true;
    }
    ~Enter() { --s.inside; }
  };

  void message(const std::string& title, const std::string& text) override {
    Enter e(*this);
    std::this_thread::sleep_for(20ms);
    std::lock_guard lock(mutex);
    messages.push_back({title, text, "OK", {}});
  }
  vl::AlertEnd alert(const std::string& title, const std::string& text, const std::string& button,
                     const std::function<bool()>& finished) override {
    Enter e(*this);
    {
      std::lock_guard lock(mutex);
      alerts.push_back({title, text, button, {}});
    }
    if (onAlert) return onAlert(finished);
    return waitFor(finished, 20s) ? vl::AlertEnd::finished : vl::AlertEnd::button;
  }
  std::optional<std::size_t> choose(const std::string& title, const std::string& text,
                                    const std::vector<std::string>& labels, const std::string& accept,
                                    const std::string& cancel) override {
    Enter e(*this);
    std::lock_guard lock(mutex);
    lists.push_back({title, text, accept + "|" + cancel, labels});
    return choice;
  }
  bool openUrl(const std::string& url) override {
    Enter e(*this);
    {
      std::lock_guard lock(mutex);
      urls.push_back(url);
    }
    if (onOpen) onOpen(url);
    return browserOpens;
  }
};

class Dialogs : public ::testing::Test {
protected:
  void SetUp() override {
    auto owned = std::make_unique<Script>();
    script_ = owned.get();
    previous_ = vl::setToolkit(std::move(owned));
  }
  void TearDown() override { vl::setToolkit(std::move(previous_)); }

  Script& ui() { return *script_; }
  Script* script_ = nullptr;
  std::unique_ptr<vl::Toolkit> previous_;
};


TEST_F(Dialogs, SetToolkitHandsBackTheOneInUseAndCallersOnManyThreadsGetOneDialogAtATime) {
  auto mine = vl::setToolkit(nullptr);
  EXPECT_EQ(mine.get(), script_);
  vl::setToolkit(std::move(mine));
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i)
    callers.emplace_back([i] {
      vl::showMessage("veltrane", std::to_string(i));
      vl::streamDialog({{"v" + std::to_string(i), "L"}});
    });
  for (auto& t : callers) t.join();
  ASSERT_EQ(ui().messages.size(), 4u);
  EXPECT_EQ(ui().messages[0].title, "veltrane");
  EXPECT_EQ(ui().messages[0].text.size(), 1u);
  EXPECT_EQ(ui().lists.size(), 4u);
  EXPECT_FALSE(ui().overlapped);
}

TEST_F(Dialogs, StreamChoiceListsLabelsInOrderAndReturnsTheChosen) {
  // Labels are server text: no control character reaches the toolkit.
  const std::vector<vl::Stream> streams{{"a1", "Alpha"}, {"b2", "B\xc3\xa9\x1b]0;x\x07ta\xc2\x9b\xff"}, {"c3", "Alpha"}};
  ui().choice = 2;
  auto chosen = vl::streamDialog(streams);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->viewerId, "c3");
  ASSERT_EQ(ui().lists.size(), 1u);
  EXPECT_EQ(ui().lists[0].title, "Choose a veltrane stream");
  EXPECT_EQ(ui().lists[0].text, "This node sends the incoming image to the selected account stream.");
  EXPECT_EQ(ui().lists[0].button, "Choose|Cancel");
  EXPECT_EQ(ui().lists[0].labels, (std::vector<std::string>{"Alpha", "B\xc3\xa9\uFFFD]0;x\uFFFDta\uFFFD\uFFFD", "Alpha"}));
  ui().choice = std::nullopt;
  EXPECT_EQ(vl::streamDialog(streams), std::nullopt);
  ui().choice = 3;
  EXPECT_THROW(vl::streamDialog(streams), std::out_of_range);
  // No streams: the message instead.
  EXPECT_EQ(vl::streamDialog({}), std::nullopt);
  EXPECT_EQ(ui().lists.size(), 3u);
  ASSERT_EQ(ui().messages.size(), 1u);
  EXPECT_EQ(ui().messages[0].title, "veltrane");
  EXPECT_EQ(ui().messages[0].text, "Create an encoder stream in your veltrane account, then choose it here.");
}

TEST_F(Dialogs, SignInApprovedInTheBrowserIsSavedAndReturnedAndTheAlertClosesWithinACheck) {
  DevService service(quick());
  ui().onOpen = [&](const std::string& url) { service.decide(url, "approve"); };
  Clock::time_point closed;
  ui().onAlert = [&](const std::function<bool()>& finished) {
    while (!finished()) std::this_thread::sleep_for(vl::alertCheckPeriod);
    closed = Clock::now();
    return vl::AlertEnd::finished;
  };
  auto token = vl::loginDialog(service.origin());
  ASSERT_TRUE(token);
  EXPECT_EQ(token->size(), 68u);
  EXPECT_EQ(token->rfind("ofx_", 0), 0u);
  EXPECT_TRUE(service.account().tokenValid(*token));
  EXPECT_EQ(vl::loadToken(service.origin()), *token);

  ASSERT_EQ(ui().urls.size(), 1u);
  const std::string prefix = service.origin() + "/ofx/authorize?user_code=";
  ASSERT_EQ(ui().urls[0].rfind(prefix, 0), 0u);
  const std::string userCode = ui().urls[0].substr(prefix.size());
  ASSERT_EQ(ui().alerts.size(), 1u);
  EXPECT_EQ(ui().alerts[0].title, "Finish signing in using your browser");
  EXPECT_EQ(ui().alerts[0].text,
            service.origin() + "\n\nCheck this code in the browser: " + userCode +
                "\n\nSign in to veltrane and choose Connect plugin. This window closes "
                "automatically when connected.");
  EXPECT_EQ(ui().alerts[0].button, "Cancel sign-in");
  const auto polls = service.polls();
  ASSERT_EQ(polls.size(), 1u);
  // The first poll waits one interval; done is visible to the very next check.
  EXPECT_LT(closed - polls[0].at, 1s);
  EXPECT_TRUE(waitFor([&] { return service.cancels() == 1; }));
  EXPECT_TRUE(service.log("/api/accounts/ofx/revoke").empty());
}

TEST_F(Dialogs, DeniedSignInFailsAndSavesNothing) {
  DevService service(quick());
  ui().onOpen = [&](const std::string& url) { service.decide(url, "deny"); };
  EXPECT_EQ(failure([&] { vl::loginDialog(service.origin()); }),
            "Browser sign-in was cancelled or your browser session expired. Start sign-in again.");
  EXPECT_EQ(vl::loadToken(service.origin()), "");
  EXPECT_TRUE(waitFor([&] { return service.cancels() == 1; }));
}

TEST_F(Dialogs, SignInExpiresAfterThePendingPoll) {
  // The service keeps the attempt alive; only the dialog's own deadline ends it.
  vl::dev::Options options = quick();
  DevService* self = nullptr;
  DevService service(options, [&](const httplib::Request& req, httplib::Response& res) {
    if (req.path != "/api/accounts/ofx/device") return false;
    vl::dev::DeviceGrant grant = self->account().issueDeviceCode();
    res.set_content(nlohmann::json{{"device_code", grant.deviceCode},
                                   {"user_code", grant.userCode},
                                   {"expires_in", 1},
                                   {"interval", 2}}
                        .dump(),
                    "application/json");
    return true;
  });
  self = &service;
  EXPECT_EQ(failure([&] { vl::loginDialog(service.origin()); }),
            "Browser sign-in expired. Start sign-in again.");
  auto polls = service.polls();
  ASSERT_EQ(polls.size(), 1u);
  EXPECT_EQ(polls[0].status, 400);  // pending
  EXPECT_TRUE(waitFor([&] { return service.cancels() == 1; }));
}

TEST_F(Dialogs, SlowDownLengthensTheWaitBeforeTheNextPoll) {
  std::atomic<int> seen{0};
  Clock::time_point slowed;
  DevService service(quick(), [&](const httplib::Request& req, httplib::Response& res) {
    // The body is not read yet here; the first token request is the first poll.
    if (req.path != "/api/accounts/ofx/token" || seen++ != 0) return false;
    slowed = Clock::now();
    res.status = 400;
    res.set_content(R"({"error":"slow_down","interval":3})", "application/json");
    return true;
  });
  ui().onOpen = [&](const std::string& url) { service.decide(url, "approve"); };
  auto token = vl::loginDialog(service.origin());
  ASSERT_TRUE(token);
  auto polls = service.polls();
  ASSERT_EQ(polls.size(), 1u);
  EXPECT_TRUE(waitFor([&] { return service.cancels() == 1; }));
  EXPECT_GE(polls[0].at - slowed, 2900ms);  // 3 s instead of the 1 s interval
}

TEST_F(Dialogs, CancelReturnsEmptyAtOnceAndTellsTheService) {
  vl::dev::Options options;
  options.intervalS = 5;
  DevService service(options);
  ui().onAlert = [](const std::function<bool()>&) {
    std::this_thread::sleep_for(200ms);
    return vl::AlertEnd::button;
  };
  const auto start = Clock::now();
  EXPECT_EQ(vl::loginDialog(service.origin()), std::nullopt);
  EXPECT_LT(Clock::now() - start, 3s);  // the polling thread woke instead of finishing its wait
  EXPECT_TRUE(service.polls().empty());
  EXPECT_TRUE(waitFor([&] { return service.cancels() == 1; }));
  EXPECT_EQ(vl::loadToken(service.origin()), "");
}

TEST_F(Dialogs, TokenArrivingAsTheUserCancelsIsRevoked) {
  DevService service(quick());
  ui().onOpen = [&](const std::string& url) { service.decide(url, "approve"); };
  ui().onAlert = [](const std::function<bool()>& finished) {
    while (!finished()) std::this_thread::sleep_for(vl::alertCheckPeriod);
    return vl::AlertEnd::button;  // the press won the race
  };
  EXPECT_EQ(vl::loginDialog(service.origin()), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return service.log("/api/accounts/ofx/revoke").size() == 1; }));
  auto revokes = service.log("/api/accounts/ofx/revoke");
  EXPECT_EQ(revokes[0].status, 200);
  const std::string token = revokes[0].authorization.substr(7);
  EXPECT_EQ(token.rfind("ofx_", 0), 0u);
  EXPECT_FALSE(service.account().tokenValid(token));
  EXPECT_EQ(vl::loadToken(service.origin()), "");
}

TEST_F(Dialogs, BrowserThatCannotOpenCancelsWithoutPolling) {
  DevService service(quick());
  ui().browserOpens = false;
  EXPECT_EQ(failure([&] { vl::loginDialog(service.origin()); }),
            "Could not open the browser. Check your default browser and try again.");
  ui().onOpen = [](const std::string&) { throw std::runtime_error("No dialog program."); };
  EXPECT_EQ(failure([&] { vl::loginDialog(service.origin()); }), "No dialog program.");
  EXPECT_TRUE(ui().alerts.empty());
  EXPECT_TRUE(waitFor([&] { return service.cancels() == 2; }));
  std::this_thread::sleep_for(1500ms);  // past the first poll, had a thread been started
  EXPECT_TRUE(service.polls().empty());
}

TEST_F(Dialogs, BadOriginOrFailingDeviceRequestShowsNoWindow) {
  EXPECT_EQ(failure([] { vl::loginDialog("http://example.com"); }),
            "API origin must use HTTPS (HTTP is allowed only on loopback)");
  vl::dev::Options options = quick();
  options.faults.fail.push_back({"/api/accounts/ofx/device", 500});
  DevService service(options);
  EXPECT_EQ(failure([&] { vl::loginDialog(service.origin()); }), "veltrane API returned HTTP 500");
  EXPECT_TRUE(ui().urls.empty());
  EXPECT_TRUE(ui().alerts.empty());
}

// Runs where no Secret Service answers: the approved token cannot be kept.
TEST_F(Dialogs, NoKeyringSavingFailureRevokesAndReportsTheStore) {
  DevService service(quick());
  ui().onOpen = [&](const std::string& url) { service.decide(url, "approve"); };
  const std::string message = failure([&] { vl::loginDialog(service.origin()); });
  EXPECT_EQ(message.rfind("Sign-in needs a keyring", 0), 0u) << message;
  ASSERT_TRUE(waitFor([&] { return service.log("/api/accounts/ofx/revoke").size() == 1; }));
  auto revokes = service.log("/api/accounts/ofx/revoke");
  EXPECT_EQ(revokes[0].status, 200);
  EXPECT_FALSE(service.account().tokenValid(revokes[0].authorization.substr(7)));
}

}  // namespace
