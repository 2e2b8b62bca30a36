#pragma once
// The account client's user-facing sentences, and the shared way to catch them.
#include "../support/Failure.h"

namespace vl::test {

inline constexpr const char* kConnectionFailed = "veltrane API connection failed (check server and TLS)";
inline constexpr const char* kAuthFailed = "veltrane authentication failed; sign in again and check access";
inline constexpr const char* kBackendOutdated =
    "Browser sign-in needs an updated veltrane backend; check the server address or update the backend";
inline constexpr const char* kStreamNotFound = "veltrane stream was not found";

}  // namespace vl::test
