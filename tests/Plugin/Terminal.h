#pragma once
// A user at the terminal dialogs: stdin and stderr are pipes while it lives, and a
// thread answers each prompt it recognises as a person would type.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vl::host {

class Terminal {
 public:
  // prompt text -> the line typed at it
  using Rule = std::pair<std::string, std::string>;
  using Rules = std::vector<Rule>;

  explicit Terminal(Rules rules = {{"[Press Enter to continue]", ""}}) : rules_(std::move(rules)) {
    int in[2], err[2];
    if (pipe(in) != 0 || pipe(err) != 0) throw std::runtime_error("Cannot make the terminal pipes.");
    savedIn_ = dup(STDIN_FILENO);
    savedErr_ = dup(STDERR_FILENO);
    dup2(in[0], STDIN_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(in[0]);
    close(err[1]);
    typing_ = in[1];
    reading_ = err[0];
    setenv("VELTRANE_DIALOGS", "terminal", 1);
    thread_ = std::thread([this] { run(); });
  }

  ~Terminal() {
    // Restoring stderr closes the last writer, which ends the reader.
    dup2(savedErr_, STDERR_FILENO);
    close(savedErr_);
    thread_.join();
    dup2(savedIn_, STDIN_FILENO);
    close(savedIn_);
    close(reading_);
    if (typing_ >= 0) close(typing_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Everything written so far, once the writers have paused briefly.
  std::string shown() {
    std::unique_lock lock(mutex_);
    std::size_t seen = std::string::npos;
    while (seen != text_.size()) {
      seen = text_.size();
      changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
    return text_;
  }

 private:
  void run() {
    char buffer[4096];
    std::size_t answered = 0;  // prompts are matched only in text after the last answer
    for (;;) {
      const ssize_t n = read(reading_, buffer, sizeof buffer);
      if (n <= 0) return;
      std::lock_guard lock(mutex_);
      text_.append(buffer, static_cast<std::size_t>(n));
      // Answer every prompt in the order it appeared, each appearance once.
      for (;;) {
        std::size_t first = std::string::npos;
        const Rule* rule = nullptr;
        for (const auto& r : rules_) {
          const auto at = text_.find(r.first, answered);
          if (at < first) first = at, rule = &r;
        }
        if (rule == nullptr) break;
        answered = first + rule->first.size();
        const std::string typed = rule->second + "\n";
        if (write(typing_, typed.data(), typed.size()) < 0) return;
      }
      changed_.notify_all();
    }
  }

  Rules rules_;
  int savedIn_ = -1, savedErr_ = -1, typing_ = -1, reading_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  std::thread thread_;
};

}  // namespace vl::host
