// The dialogs' logic over whichever toolkit the platform supplies. One dialog runs at a
// time: a caller on another thread waits until the current one has ended.
#include "Core/Dialogs.h"

#include "Core/TokenStore.h"
#include "Core/Toolkit.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vl {
namespace {

std::mutex dialogMutex;
std::unique_ptr<Toolkit> currentToolkit;

Toolkit& toolkit() {
  if (!currentToolkit) currentToolkit = makeToolkit();
  return *currentToolkit;
}

// Shared between the dialog and its polling thread.
struct SignIn {
  std::string origin;
  BrowserLogin attempt;  // only the polling thread touches it until joined
  std::mutex lock;
  std::condition_variable wake;
  bool cancelled = false;
  std::optional<std::string> token;
  std::exception_ptr error;
  std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

void poll(SignIn& s) {
  try {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s.attempt.expiresIn);
    while (!s.token) {
      if (std::chrono::steady_clock::now() >= deadline)
        throw std::runtime_error("Browser sign-in expired. Start sign-in again.");
      {
        std::unique_lock lock(s.lock);
        // The interval is read again each time: a slow-down answer lengthens every later wait.
        if (s.wake.wait_for(lock, std::chrono::seconds(s.attempt.interval),
                            [&] { return s.cancelled; }))
          return;
      }
      s.token = Api(s.origin).pollBrowserLogin(s.attempt);
    }
  } catch (...) {
    s.error = std::current_exception();
  }
  s.done->store(true);
}

// Owns the polling thread; stopping (or leaving scope on any path) wakes and joins it.
class Poller {
public:
  explicit Poller(SignIn& s) : state_(s), thread_([&s] { poll(s); }) {}
  ~Poller() { stop(); }
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  void stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(state_.lock);
      state_.cancelled = true;
    }
    state_.wake.notify_all();
    thread_.join();
  }

private:
  SignIn& state_;
  std::thread thread_;
};

// Server text as plain text: a control character (C0, DEL, C1) or a byte that is not
// UTF-8 becomes U+FFFD, so a label cannot move a terminal's cursor or retitle it.
std::string plain(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    // One UTF-8 sequence: its length from the lead byte (0: not a lead byte), then its code.
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : c < 0xc2 ? 0 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : c < 0xf5 ? 4 : 0;
    std::uint32_t code = length == 1 ? c : length == 2 ? c & 0x1fu : length == 3 ? c & 0x0fu : c & 0x07u;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
      if ((next & 0xc0) != 0x80) length = 0;
      code = (code << 6) | (next & 0x3fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff));
    const bool control = code < 0x20 || (code >= 0x7f && code < 0xa0);
    if (length == 0 || overlong || (code >= 0xd800 && code < 0xe000) || control) {
      out += "\xEF\xBF\xBD";
      i += length == 0 ? 1 : length;
      continue;
    }
    out.append(text, i, length);
    i += length;
  }
  return out;
}

void message(const std::string& title, const std::string& text) {
  toolkit().message(title, text);
}

}  // namespace

std::unique_ptr<Toolkit> setToolkit(std::unique_ptr<Toolkit> next) {
  std::lock_guard lock(dialogMutex);
  std::swap(currentToolkit, next);
  return next;
}

void showMessage(const std::string& title, const std::string& text) {
  std::lock_guard lock(dialogMutex);
  message(title, text);
}

std::optional<Stream> streamDialog(const std::vector<Stream>& streams) {
  std::lock_guard lock(dialogMutex);
  if (streams.empty()) {
    message("veltrane", "Create an encoder stream in your veltrane account, then choose it here.");
    return std::nullopt;
  }
  std::vector<std::string> labels;
  labels.reserve(streams.size());
  for (const Stream& s : streams) labels.push_back(plain(s.label));
  const auto index = toolkit().choose("Choose a veltrane stream",
                                      "This node sends the incoming image to the selected account stream.",
                                      labels, "Choose", "Cancel");
  if (!index) return std::nullopt;
  return streams.at(*index);
}

std::optional<std::string> loginDialog(const std::string& origin) {
  Api::validateBase(origin);
  std::lock_guard lock(dialogMutex);
  Toolkit& ui = toolkit();

  SignIn s;
  s.origin = origin;
  s.attempt = Api(origin).beginBrowserLogin();
  const std::string text = origin + "\n\nCheck this code in the browser: " + s.attempt.userCode +
                           "\n\nSign in to veltrane and choose Connect plugin. This window closes "
                           "automatically when connected.";
  bool opened = false;
  try {
    opened = ui.openUrl(s.attempt.verificationUrl);
  } catch (...) {
    Api(origin).cancelBrowserLogin(s.attempt);
    throw;
  }
  if (!opened) {
    Api(origin).cancelBrowserLogin(s.attempt);
    throw std::runtime_error("Could not open the browser. Check your default browser and try again.");
  }

  AlertEnd end = AlertEnd::button;
  try {
    Poller poller(s);
    end = ui.alert("Finish signing in using your browser", text, "Cancel sign-in",
                   [done = s.done] { return done->load(); });
    poller.stop();
  } catch (...) {
    Api(origin).cancelBrowserLogin(s.attempt);
    throw;
  }
  Api(origin).cancelBrowserLogin(s.attempt);

  if (end != AlertEnd::finished) {
    // Approved just as the user gave up: the token must not stay valid unstored.
    if (s.token) Api(origin).revoke(*s.token);
    return std::nullopt;
  }
  if (s.error) std::rethrow_exception(s.error);
  if (!s.token) throw std::logic_error("Sign-in ended without a token or an error.");
  try {
    saveToken(origin, *s.token);
  } catch (...) {
    // The user needs the reason saving failed more than a failed withdrawal.
    try {
      Api(origin).revoke(*s.token);
    } catch (...) {
    }
    throw;
  }
  return s.token;
}

}  // namespace vl
