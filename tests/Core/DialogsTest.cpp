// The dialogs' logic through a scripted toolkit, against the development account service
// over real HTTP and the real token store (a private keyring, see tests/Linux/with-keyring).
#include "Core/Dialogs.h"
#include "Core/TokenStore.h"
#include "Core/Toolkit.h"

#include "Account.h"
#include "Handlers.h"

#include "../support/Failure.h"
#include "../support/Wait.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using vl::test::failure;
using vl::test::waitFor;
using Clock = std::chrono::steady_clock;

struct Exchange {
  std::string path, body, authorization;
  Clock::time_point at;
};

// The development service's account API, in this process, logging every exchange.
class DevService {
public:
  explicit DevService(int intervalS = 1) : account_(options(intervalS)) {
    origin_ = "http://127.0.0.1:" + std::to_string(server_.bind_to_any_port("127.0.0.1"));
    vl::dev::installApi(server_, account_, origin_);
    server_.set_logger([this](const httplib::Request& req, const httplib::Response&) {
      std::lock_guard lock(mutex_);
      log_.push_back({req.path, req.body, req.get_header_value("Authorization"), Clock::now()});
    });
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(1ms);
  }
  ~DevService() {
    server_.stop();
    thread_.join();
  }

  static vl::dev::Options options(int intervalS) {
    vl::dev::Options o;
    o.intervalS = intervalS;
    return o;
  }

  const std::string& origin() const { return origin_; }
  vl::dev::Account& account() { return account_; }

  std::vector<Exchange> log(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::vector<Exchange> out;
    std::copy_if(log_.begin(), log_.end(), std::back_inserter(out), [&](const Exchange& e) { return e.path == path; });
    return out;
  }
  // Token requests that poll (cancel false) or give up (cancel true).
  std::vector<Exchange> tokenRequests(bool cancel) {
    std::vector<Exchange> out;
    for (Exchange& e : log("/api/accounts/ofx/token")) {
      auto body = nlohmann::json::parse(e.body, nullptr, false);
      if (body.is_object() && body.value("cancel", false) == cancel) out.push_back(e);
    }
    return out;
  }
  bool cancelled(std::size_t times = 1) {
    return waitFor([&] { return tokenRequests(true).size() == times; });
  }
  // The user's answer on the authorise page, to the code in the address the dialog opened.
  void decide(const std::string& verificationUrl, bool approve) {
    ASSERT_TRUE(account_.decide(verificationUrl.substr(verificationUrl.find("user_code=") + 10), approve));
  }

private:
  vl::dev::Account account_;
  httplib::Server server_;
  std::string origin_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Exchange> log_;
};

// Plays the user. Records what each dialog showed; notes being entered twice at once.
struct Script : vl::Toolkit {
  std::mutex mutex;
  std::vector<std::string> messages, alerts, urls;
  std::vector<std::vector<std::string>> lists;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};

  bool browserOpens = true;
  std::function<void(const std::string&)> onOpen;
  // Default: wait (up to 20 s) for the check to end the alert.
  std::function<vl::AlertEnd(const std::function<bool()>&)> onAlert;
  std::optional<std::size_t> choice = 0;

  // The dialog counts as open until the returned handle goes.
  template <class Shown>
  std::shared_ptr<void> enter(std::vector<Shown>& to, Shown shown) {
    if (inside++ != 0) overlapped = true;
    std::lock_guard lock(mutex);
    to.push_back(std::move(shown));
    return std::shared_ptr<void>(nullptr, [this](void*) { --inside; });
  }

  void message(const std::string&, const std::string& text) override {
    const auto visit = enter(messages, text);
    std::this_thread::sleep_for(20ms);
  }
  vl::AlertEnd alert(const std::string&, const std::string& text, const std::string&,
                     const std::function<bool()>& finished) override {
    const auto visit = enter(alerts, text);
    if (onAlert) return onAlert(finished);
    return waitFor(finished, 20s) ? vl::AlertEnd::finished : vl::AlertEnd::button;
  }
  std::optional<std::size_t> choose(const std::string&, const std::string&, const std::vector<std::string>& labels,
                                    const std::string&, const std::string&) override {
    const auto visit = enter(lists, labels);
    return choice;
  }
  bool openUrl(const std::string& url) override {
    const auto visit = enter(urls, url);
    if (onOpen) onOpen(url);
    return browserOpens;
  }
};

// Each test's toolkit is a fresh script, and the one before is put back afterwards.
class Dialogs : public ::testing::Test {
protected:
  void TearDown() override { vl::setToolkit(std::move(previous_)); }

  Script& ui() { return *script_; }
  Script* script_ = new Script;
  std::unique_ptr<vl::Toolkit> previous_ = vl::setToolkit(std::unique_ptr<vl::Toolkit>(script_));
};

TEST_F(Dialogs, OneDialogAtATimeAndTheStreamListShowsCleanLabelsInOrder) {
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i)
    callers.emplace_back([i] {
      vl::showMessage("veltrane", std::to_string(i));
      vl::streamDialog({{"v" + std::to_string(i), "L"}});
    });
  for (auto& t : callers) t.join();
  EXPECT_EQ(ui().messages.size(), 4u);
  EXPECT_FALSE(ui().overlapped);

  // Labels are server text: no control character reaches the toolkit.
  const std::vector<vl::Stream> streams{
      {"a1", "Alpha"}, {"b2", "B\xc3\xa9\x1b]0;x\x07ta\xc2\x9b\xff"}, {"c3", "Alpha"}};
  ui().choice = 2;
  auto chosen = vl::streamDialog(streams);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->viewerId, "c3");
  EXPECT_EQ(ui().lists.back(),
            (std::vector<std::string>{"Alpha", "B\xc3\xa9\uFFFD]0;x\uFFFDta\uFFFD\uFFFD", "Alpha"}));
  ui().choice = std::nullopt;
  EXPECT_EQ(vl::streamDialog(streams), std::nullopt);
  ui().choice = 3;
  EXPECT_THROW(vl::streamDialog(streams), std::out_of_range);
  // No streams: a message instead of an empty list.
  EXPECT_EQ(vl::streamDialog({}), std::nullopt);
  EXPECT_EQ(ui().messages.size(), 5u);
}

TEST_F(Dialogs, FailedSignInsSaveNothingAndNeverPollWithoutABrowser) {
  DevService service;
  ui().browserOpens = false;
  EXPECT_EQ(failure([&] { vl::loginDialog(service.origin()); }),
            "Could not open the browser. Check your default browser and try again.");
  ui().onOpen = [](const std::string&) { throw std::runtime_error("No dialog program."); };
  EXPECT_EQ(failure([&] { vl::loginDialog(service.origin()); }), "No dialog program.");
  EXPECT_TRUE(ui().alerts.empty());
  EXPECT_TRUE(service.cancelled(2));
  std::this_thread::sleep_for(1500ms);  // past the first poll, had a thread been started
  EXPECT_TRUE(service.tokenRequests(false).empty());

  ui().browserOpens = true;
  ui().onOpen = [&](const std::string& url) { service.decide(url, false); };
  EXPECT_EQ(failure([&] { vl::loginDialog(service.origin()); }),
            "Browser sign-in was cancelled or your browser session expired. Start sign-in again.");
  EXPECT_TRUE(service.cancelled(3));
}

TEST_F(Dialogs, CancelReturnsEmptyAtOnceAndTellsTheService) {
  DevService service(5);
  ui().onAlert = [](const std::function<bool()>&) {
    std::this_thread::sleep_for(200ms);
    return vl::AlertEnd::button;
  };
  const auto start = Clock::now();
  EXPECT_EQ(vl::loginDialog(service.origin()), std::nullopt);
  EXPECT_LT(Clock::now() - start, 3s);  // the polling thread woke instead of finishing its wait
  EXPECT_TRUE(service.tokenRequests(false).empty());
  EXPECT_TRUE(service.cancelled());
}

// The token is revoked when it came as the user cancelled, or when (run where no Secret
// Service answers) it cannot be kept.
void expectOneRevoked(DevService& service) {
  ASSERT_TRUE(waitFor([&] { return service.log("/api/accounts/ofx/revoke").size() == 1; }));
  EXPECT_FALSE(service.account().tokenValid(service.log("/api/accounts/ofx/revoke")[0].authorization.substr(7)));
}

TEST_F(Dialogs, ApprovedSignInIsSavedAndOneArrivingAsTheUserCancelsIsRevoked) {
  DevService service;
  ui().onOpen = [&](const std::string& url) { service.decide(url, true); };
  Clock::time_point closed;
  auto end = vl::AlertEnd::finished;
  ui().onAlert = [&](const std::function<bool()>& finished) {
    while (!finished()) std::this_thread::sleep_for(vl::alertCheckPeriod);
    closed = Clock::now();
    return end;
  };
  auto token = vl::loginDialog(service.origin());
  ASSERT_TRUE(token);
  EXPECT_TRUE(service.account().tokenValid(*token));
  EXPECT_EQ(vl::loadToken(service.origin()), *token);
  ASSERT_EQ(ui().alerts.size(), 1u);
  const auto polls = service.tokenRequests(false);
  ASSERT_EQ(polls.size(), 1u);
  // The first poll waits one interval; done is visible to the very next check.
  EXPECT_LT(closed - polls[0].at, 1s);
  EXPECT_TRUE(service.cancelled());
  EXPECT_TRUE(service.log("/api/accounts/ofx/revoke").empty());

  end = vl::AlertEnd::button;  // the press wins the race with the token
  EXPECT_EQ(vl::loginDialog(service.origin()), std::nullopt);
  expectOneRevoked(service);
  EXPECT_EQ(vl::loadToken(service.origin()), *token);
}

TEST_F(Dialogs, NoKeyringSavingFailureRevokesAndReportsTheStore) {
  DevService service;
  ui().onOpen = [&](const std::string& url) { service.decide(url, true); };
  const std::string message = failure([&] { vl::loginDialog(service.origin()); });
  EXPECT_EQ(message.rfind("Sign-in needs a keyring", 0), 0u) << message;
  expectOneRevoked(service);
}

}  // namespace
