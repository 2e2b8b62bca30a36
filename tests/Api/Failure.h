#pragma once
// What a call threw, for comparing user-facing sentences exactly.
#include <stdexcept>
#include <string>

namespace vl::test {

template <class Call>
std::string failure(Call&& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(returned normally)";
}

inline constexpr const char* kConnectionFailed = "veltrane API connection failed (check server and TLS)";
inline constexpr const char* kAuthFailed = "veltrane authentication failed; sign in again and check access";
inline constexpr const char* kBackendOutdated =
    "Browser sign-in needs an updated veltrane backend; check the server address or update the backend";
inline constexpr const char* kStreamNotFound = "veltrane stream was not found";

}  // namespace vl::test
