// Feeds arbitrary bytes to every reader of the account service's replies. The
// documented failures are caught; anything else, and any broken promise about
// the values returned, is a crash.
#include "Api/Replies.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* kBase = "https://veltrane.example";

void require(bool holds) {
  if (!holds) __builtin_trap();
}

template <class Call>
void attempt(Call&& call) {
  try {
    call();
  } catch (const nlohmann::json::exception&) {
  } catch (const std::runtime_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);

  attempt([&] {
    for (const vl::Stream& stream : vl::parseStreams(body)) require(!stream.viewerId.empty());
  });
  attempt([&] {
    const vl::Target target = vl::parseTarget(body);
    require(!target.streamId.empty() && target.streamId.size() <= 512);
    require(target.passphrase.empty() && target.maxWidth >= 0 && target.maxHeight >= 0);
  });
  attempt([&] { require(!vl::parseLoginToken(body).empty()); });
  attempt([&] {
    const vl::BrowserLogin attempt = vl::parseDeviceReply(body, kBase);
    require(attempt.deviceCode.size() == 64 && attempt.userCode.size() == 9);
    require(attempt.verificationUrl == std::string(kBase) + "/ofx/authorize?user_code=" + attempt.userCode);
    require(attempt.expiresIn >= 1 && attempt.expiresIn <= 600);
    require(attempt.interval >= 1 && attempt.interval <= 30);
  });
  for (const std::int32_t start : {1, 30, 2147483647}) {
    std::int32_t interval = start;
    attempt([&] {
      const auto token = vl::parsePollReply(body, interval);
      if (token) require(token->size() == 68 && token->starts_with("ofx_"));
    });
    require(interval == start || (interval >= 1 && interval <= 300));
  }
  return 0;
}
