#pragma once
// The development service's one account: its streams and their ingest targets,
// the tokens it has issued and the browser sign-in attempts in progress.
// Every member locks, so HTTP handlers and the ingest may call from any thread.
#include "Options.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vl::dev {

using Clock = std::chrono::steady_clock;

// Codes of a new sign-in attempt, as sent to the plug-in.
struct DeviceGrant {
  std::string deviceCode;  // 64 characters
  std::string userCode;    // "XXXX-XXXX"
  int expiresInS = 0;
  int intervalS = 0;
};

// What one poll of the token endpoint answers: either an error code in the
// style of RFC 8628 (with the interval to use from now on) or a token.
struct PollResult {
  std::string error;
  int intervalS = 0;
  std::string accessToken;
};

enum class Revoked { revoked, notPluginToken, unknownToken };

inline constexpr std::string_view userCodeAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

class Account {
public:
  explicit Account(const Options& options);

  void setIngestPort(int port);

  bool tokenValid(const std::string& token) const;
  // A fresh account token when email and password match, empty otherwise.
  std::optional<std::string> login(const std::string& email, const std::string& password);
  // Only plug-in tokens ("ofx_") can be revoked here.
  Revoked revoke(const std::string& token);

  nlohmann::json streamList() const;
  // The stream with its ingest entry and limits; empty for an unknown viewer id.
  std::optional<nlohmann::json> streamTarget(const std::string& viewerId) const;
  // True for the SRT identity of a stream that is neither past nor ended.
  bool knowsStreamId(const std::string& streamId) const;

  DeviceGrant issueDeviceCode(Clock::time_point now = Clock::now());
  PollResult poll(const std::string& deviceCode, const std::string& userCode,
                  Clock::time_point now = Clock::now());
  void cancel(const std::string& deviceCode, const std::string& userCode);
  // True while the attempt with this user code waits for the browser's answer.
  bool awaitingDecision(const std::string& userCode, Clock::time_point now = Clock::now()) const;
  // Approves or denies a waiting attempt; false when there is none.
  bool decide(const std::string& userCode, bool approve, Clock::time_point now = Clock::now());

private:
  struct DevStream {
    std::optional<std::string> viewerId;
    std::optional<std::string> label;
    std::string lifecycle;
    std::optional<nlohmann::json> endedAt;  // absent, null or a time
    bool limited = true;                    // false leaves "limits" out
    std::string secret;
  };
  enum class Decision { pending, approved, denied };
  struct Attempt {
    std::string userCode;
    Clock::time_point expiresAt;
    std::optional<Clock::time_point> lastPoll;
    int intervalS = 0;
    Decision decision = Decision::pending;
  };

  std::map<std::string, Attempt>::iterator findAttempt(const std::string& userCode);
  void dropExpired(Clock::time_point now);
  nlohmann::json streamJson(const DevStream& s, bool withIngest) const;

  mutable std::mutex mutex_;
  Options options_;
  int ingestPort_ = 0;
  std::vector<DevStream> streams_;
  std::set<std::string> tokens_;
  std::map<std::string, Attempt> attempts_;  // by device code
};

}  // namespace vl::dev
