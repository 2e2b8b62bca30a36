// Dialogs as prompts on a terminal, for hosts without a display and the command-line host.
#include "Linux/Toolkits.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace vl {
namespace {

class TerminalToolkit final : public Toolkit {
public:
  TerminalToolkit(int inFd, int outFd) : in_(inFd), out_(outFd) {}

  void message(const std::string& title, const std::string& text) override {
    say("\n" + title + "\n" + text + "\n[Press Enter to continue]\n");
    readLine(-1);
  }

  AlertEnd alert(const std::string& title, const std::string& text, const std::string& button,
                 const std::function<bool()>& finished) override {
    say("\n" + title + "\n" + text + "\n[Press Enter to " + lowered(button) + "]\n");
    for (;;) {
      if (finished()) return AlertEnd::finished;
      // Without input (closed or at its end) only completion can end the alert.
      if (readLine(static_cast<int>(alertCheckPeriod.count()))) return AlertEnd::button;
      if (ended_) pause();
    }
  }

  std::optional<std::size_t> choose(const std::string& title, const std::string& text,
                                    const std::vector<std::string>& labels, const std::string& accept,
                                    const std::string& cancel) override {
    std::string list = "\n" + title + "\n" + text + "\n";
    for (std::size_t i = 0; i < labels.size(); ++i)
      list += "  " + std::to_string(i + 1) + ". " + labels[i] + "\n";
    say(list);
    for (;;) {
      say("Type a number and press Enter to " + lowered(accept) + " (1 to " +
          std::to_string(labels.size()) + "), or press Enter alone to " + lowered(cancel) + ": ");
      auto line = readLine(-1);
      if (!line || line->empty()) return std::nullopt;
      auto number = parseChoice(*line);
      if (number && *number >= 1 && *number <= labels.size()) return *number - 1;
    }
  }

  bool openUrl(const std::string& url) override {
    say("\nOpen this page in a browser: " + url + "\n");
    return true;
  }

private:
  static std::string lowered(std::string s) {
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z') s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
  }

  void say(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(out_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  void pause() { poll(nullptr, 0, static_cast<int>(alertCheckPeriod.count())); }

  // One line without its end; empty optional when none arrived within timeoutMs (-1: wait)
  // or the input has ended.
  std::optional<std::string> readLine(int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (auto at = pending_.find('\n'); at != std::string::npos) {
        std::string line = pending_.substr(0, at);
        pending_.erase(0, at + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      if (ended_) return std::nullopt;
      int wait = -1;
      if (timeoutMs >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        wait = static_cast<int>(left.count());
      }
      pollfd p{in_, POLLIN, 0};
      const int ready = ::poll(&p, 1, wait);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return std::nullopt;
      char buffer[512];
      const ssize_t n = ready > 0 ? read(in_, buffer, sizeof buffer) : -1;
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ended_ = true;  // a final line without its end still counts
        if (!pending_.empty()) {
          std::string line;
          line.swap(pending_);
          return line;
        }
        return std::nullopt;
      }
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  int in_;
  int out_;
  std::string pending_;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<Toolkit> makeTerminalToolkit(int inFd, int outFd) {
  return std::make_unique<TerminalToolkit>(inFd, outFd);
}

}  // namespace vl
