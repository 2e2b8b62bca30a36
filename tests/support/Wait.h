#pragma once
// Polls a condition until it holds or the limit passes.
#include <chrono>
#include <thread>

namespace vl::test {

template <typename Condition>
bool waitFor(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace vl::test
