#pragma once
// Set once when the service stops, so slow and endless answers give up
// instead of holding the server's worker threads.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vl::dev {

class Shutdown {
public:
  void begin() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
  }
  bool stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
  }
  // Sleeps for the duration; false when the service began stopping meanwhile.
  bool sleepFor(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, duration, [this] { return stopping_; });
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace vl::dev
