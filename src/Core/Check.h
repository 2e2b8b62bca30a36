#pragma once
// Platform statuses (libsecret, NVENC, OS calls): non-zero becomes a sentence
// ending in the status, so a user report carries the code.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vl {

inline void check(std::int64_t status, std::string_view message) {
  if (status == 0) return;
  throw std::runtime_error(std::string(message) + " (" + std::to_string(status) + ")");
}

} // namespace vl
