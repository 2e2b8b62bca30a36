#include "Api/Api.h"
#include "Api/Replies.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace vl {
namespace {

using nlohmann::json;

constexpr std::size_t kDeviceCodeLength = 64;
constexpr std::size_t kTokenLength = 68;
constexpr std::int64_t kMaxExpiresInSeconds = 600;
constexpr std::int64_t kMaxIntervalSeconds = 30;
constexpr std::int64_t kMaxSlowDownSeconds = 300;

// An optional whole number of seconds brought into [low, high]. Clamping is done
// on the value as sent, so a huge or fractional number cannot wrap on the way.
std::int32_t seconds(const json& reply, const char* key, std::int64_t fallback, std::int64_t low,
                     std::int64_t high) {
  const json number = reply.value(key, json(fallback));
  std::int64_t v = 0;
  if (number.is_number_unsigned()) {
    v = static_cast<std::int64_t>(std::min<std::uint64_t>(number.get<std::uint64_t>(), high));
  } else if (number.is_number_float()) {
    v = static_cast<std::int64_t>(std::clamp(number.get<double>(), double(low), double(high)));
  } else {
    v = number.get<std::int64_t>();  // the library's type error for anything not a number
  }
  return static_cast<std::int32_t>(std::clamp(v, low, high));
}

bool userCodeCharacter(char c) { return (c >= 'A' && c <= 'Z') || (c >= '2' && c <= '7'); }

bool validUserCode(const std::string& code) {
  if (code.size() != 9 || code[4] != '-') return false;
  for (std::size_t i = 0; i < code.size(); ++i)
    if (i != 4 && !userCodeCharacter(code[i])) return false;
  return true;
}

// The token ends up in an Authorization header; anything but visible ASCII is not one of ours.
bool validPluginToken(const std::string& token) {
  return token.size() == kTokenLength && token.starts_with("ofx_") &&
         std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

}  // namespace

BrowserLogin parseDeviceReply(const std::string& body, const std::string& base) {
  const json reply = parseReply(body);
  BrowserLogin attempt;
  attempt.deviceCode = reply.at("device_code").get<std::string>();
  attempt.userCode = reply.at("user_code").get<std::string>();
  if (attempt.deviceCode.size() != kDeviceCodeLength || !validUserCode(attempt.userCode))
    throw std::runtime_error("The server returned an invalid browser sign-in request");
  attempt.verificationUrl = base + "/ofx/authorize?user_code=" + attempt.userCode;
  attempt.expiresIn = seconds(reply, "expires_in", 300, 1, kMaxExpiresInSeconds);
  attempt.interval = seconds(reply, "interval", 2, 1, kMaxIntervalSeconds);
  return attempt;
}

std::optional<std::string> parsePollReply(const std::string& body, std::int32_t& interval) {
  const json reply = parseReply(body);
  const std::string error = reply.value("error", std::string());
  if (error == "authorization_pending") return std::nullopt;
  if (error == "slow_down") {
    interval = seconds(reply, "interval", std::int64_t{interval} + 5, 1, kMaxSlowDownSeconds);
    return std::nullopt;
  }
  if (error == "access_denied")
    throw std::runtime_error(
        "Browser sign-in was cancelled or your browser session expired. Start sign-in again.");
  if (!error.empty()) throw std::runtime_error("Browser sign-in expired. Start sign-in again.");
  std::string token = reply.value("access_token", std::string());
  if (!validPluginToken(token)) throw std::runtime_error("The server did not return a plugin credential");
  return token;
}

BrowserLogin Api::beginBrowserLogin() const {
  return parseDeviceReply(request("/api/accounts/ofx/device", std::string(), std::string("{}"), false), base_);
}

std::optional<std::string> Api::pollBrowserLogin(BrowserLogin& attempt) const {
  const std::string body = json{{"device_code", attempt.deviceCode}, {"user_code", attempt.userCode}}.dump();
  return parsePollReply(request("/api/accounts/ofx/token", std::string(), body, true), attempt.interval);
}

void Api::cancelBrowserLogin(const BrowserLogin& attempt) const noexcept {
  try {
    const std::string body =
        json{{"cancel", true}, {"device_code", attempt.deviceCode}, {"user_code", attempt.userCode}}.dump();
    request("/api/accounts/ofx/token", std::string(), body, true);
  } catch (...) {
    // Best effort: the attempt expires on the server anyway.
  }
}

}  // namespace vl
