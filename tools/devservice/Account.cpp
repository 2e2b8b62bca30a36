#include "Account.h"

#include "Random.h"

#include <algorithm>
#include <stdexcept>

namespace vl::dev {
namespace {

constexpr std::string_view codeAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A client that sleeps exactly the interval may still arrive a hair early
// after scheduling jitter; it should not be told to slow down for that.
constexpr auto pollSlack = std::chrono::milliseconds(100);

// Expired attempts are remembered a while so late polls hear "expired_token".
constexpr auto expiredKept = std::chrono::minutes(10);

std::string streamSecret() { return "dev_" + randomString(codeAlphabet, 40); }

PollResult refusal(std::string error, int intervalS = 0) { return {std::move(error), intervalS, ""}; }

}  // namespace

Account::Account(const Options& options) : options_(options), ingestPort_(options.ingestPort) {
  tokens_.insert(options.tokens.begin(), options.tokens.end());
  // Besides the streams to choose from, the account holds the kinds the
  // plug-in must leave out of its list: past, ended and unnamed ones.
  streams_.push_back({"dev-main", "veltrane dev stream", "live", nlohmann::json(nullptr), true,
                      streamSecret()});
  streams_.push_back({"dev-past", "Last week's rehearsal", "past",
                      nlohmann::json("2025-03-01T18:00:00Z"), true, streamSecret()});
  streams_.push_back({"dev-ended", "Ended test", "live", nlohmann::json("2025-03-02T10:00:00Z"),
                      true, streamSecret()});
  streams_.push_back({"studio b/2", std::nullopt, "scheduled", std::nullopt, false,
                      streamSecret()});
  streams_.push_back({std::nullopt, "Untitled draft", "draft", std::nullopt, true, ""});
}

void Account::setIngestPort(int port) {
  std::lock_guard lock(mutex_);
  ingestPort_ = port;
}

bool Account::tokenValid(const std::string& token) const {
  std::lock_guard lock(mutex_);
  return !token.empty() && tokens_.count(token) > 0;
}

std::optional<std::string> Account::login(const std::string& email, const std::string& password) {
  std::lock_guard lock(mutex_);
  if (email != options_.email || password != options_.password) return std::nullopt;
  std::string token = "acct_" + randomString(codeAlphabet, 64);
  tokens_.insert(token);
  return token;
}

Revoked Account::revoke(const std::string& token) {
  std::lock_guard lock(mutex_);
  auto it = tokens_.find(token);
  if (it == tokens_.end()) return Revoked::unknownToken;
  if (token.rfind("ofx_", 0) != 0) return Revoked::notPluginToken;
  tokens_.erase(it);
  return Revoked::revoked;
}

nlohmann::json Account::streamJson(const DevStream& s, bool withIngest) const {
  nlohmann::json j = nlohmann::json::object();
  if (s.viewerId) j["viewerId"] = *s.viewerId;
  if (s.label) j["label"] = *s.label;
  j["lifecycle"] = s.lifecycle;
  if (s.endedAt) j["endedAt"] = *s.endedAt;
  if (!withIngest) return j;
  j["ingest"]["protocols"]["srt"] = {
      {"url", "srt://127.0.0.1:" + std::to_string(ingestPort_)}, {"secret", s.secret}};
  if (s.limited) {
    nlohmann::json limits = nlohmann::json::object();
    if (options_.maxBitrateBps) limits["maxIngestBitrateBps"] = options_.maxBitrateBps;
    if (options_.maxWidth) limits["maxWidth"] = options_.maxWidth;
    if (options_.maxHeight) limits["maxHeight"] = options_.maxHeight;
    j["limits"] = limits;
  }
  return j;
}

nlohmann::json Account::streamList() const {
  std::lock_guard lock(mutex_);
  nlohmann::json list = nlohmann::json::array();
  for (const auto& s : streams_) list.push_back(streamJson(s, false));
  return {{"streams", list}};
}

std::optional<nlohmann::json> Account::streamTarget(const std::string& viewerId) const {
  std::lock_guard lock(mutex_);
  for (const auto& s : streams_)
    if (s.viewerId == viewerId) return nlohmann::json{{"stream", streamJson(s, true)}};
  return std::nullopt;
}

bool Account::knowsStreamId(const std::string& streamId) const {
  std::lock_guard lock(mutex_);
  return std::any_of(streams_.begin(), streams_.end(), [&](const DevStream& s) {
    bool ended = s.endedAt && s.endedAt->is_string() && !s.endedAt->get<std::string>().empty();
    return !s.secret.empty() && s.secret == streamId && s.lifecycle != "past" && !ended;
  });
}

void Account::dropExpired(Clock::time_point now) {
  std::erase_if(attempts_, [&](const auto& entry) {
    return now >= entry.second.expiresAt + expiredKept;
  });
}

std::map<std::string, Account::Attempt>::iterator Account::findAttempt(
    const std::string& userCode) {
  return std::find_if(attempts_.begin(), attempts_.end(),
                      [&](const auto& entry) { return entry.second.userCode == userCode; });
}

DeviceGrant Account::issueDeviceCode(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  dropExpired(now);
  std::string deviceCode;
  std::string userCode;
  do {
    deviceCode = randomString(codeAlphabet, 64);
    userCode = randomString(userCodeAlphabet, 4) + "-" + randomString(userCodeAlphabet, 4);
  } while (attempts_.count(deviceCode) || findAttempt(userCode) != attempts_.end());
  Attempt attempt;
  attempt.userCode = userCode;
  attempt.expiresAt = now + std::chrono::seconds(options_.expiresS);
  attempt.intervalS = options_.intervalS;
  if (options_.autoApprove) attempt.decision = Decision::approved;
  attempts_.emplace(deviceCode, attempt);
  return {deviceCode, userCode, options_.expiresS, options_.intervalS};
}

PollResult Account::poll(const std::string& deviceCode, const std::string& userCode,
                         Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto it = attempts_.find(deviceCode);
  if (it == attempts_.end() || it->second.userCode != userCode) return refusal("invalid_grant");
  Attempt& attempt = it->second;
  if (now >= attempt.expiresAt) {
    attempts_.erase(it);
    return refusal("expired_token");
  }
  if (attempt.decision == Decision::denied) {
    attempts_.erase(it);
    return refusal("access_denied");
  }
  if (attempt.decision == Decision::approved) {
    // Each approval yields exactly one token.
    std::string token = "ofx_" + randomString(codeAlphabet, 64);
    tokens_.insert(token);
    attempts_.erase(it);
    return {"", 0, token};
  }
  bool tooSoon = attempt.lastPoll &&
                 now - *attempt.lastPoll < std::chrono::seconds(attempt.intervalS) - pollSlack;
  attempt.lastPoll = now;
  if (tooSoon) {
    attempt.intervalS += 5;
    return refusal("slow_down", attempt.intervalS);
  }
  return refusal("authorization_pending", attempt.intervalS);
}

void Account::cancel(const std::string& deviceCode, const std::string& userCode) {
  std::lock_guard lock(mutex_);
  auto it = attempts_.find(deviceCode);
  if (it != attempts_.end() && it->second.userCode == userCode) attempts_.erase(it);
}

bool Account::awaitingDecision(const std::string& userCode, Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  return std::any_of(attempts_.begin(), attempts_.end(), [&](const auto& entry) {
    return entry.second.userCode == userCode && entry.second.decision == Decision::pending &&
           now < entry.second.expiresAt;
  });
}

bool Account::decide(const std::string& userCode, bool approve, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto it = findAttempt(userCode);
  if (it == attempts_.end() || it->second.decision != Decision::pending ||
      now >= it->second.expiresAt)
    return false;
  it->second.decision = approve ? Decision::approved : Decision::denied;
  return true;
}

}  // namespace vl::dev
