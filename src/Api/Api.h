#pragma once
// Client of the account service. Objects are cheap, short-lived values built
// from the origin of the current settings; every request has its own handle.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// One stream offered for choice.
struct Stream {
  std::string viewerId;
  std::string label;  // viewerId when the service gives none
};

// Where and how a stream is sent, with the account's limits (0 = none).
struct Target {
  std::string url;
  std::string streamId;
  std::string passphrase;
  std::uint64_t maxIngestBitrateBps = 0;
  std::int32_t maxWidth = 0;
  std::int32_t maxHeight = 0;
};

// One browser sign-in attempt.
struct BrowserLogin {
  std::string deviceCode;
  std::string userCode;
  std::string verificationUrl;
  std::int32_t expiresIn = 300;
  std::int32_t interval = 2;
};

class Api {
public:
  // Throws the user-facing sentence unless the origin is an HTTPS origin, or HTTP
  // on a loopback host, without user information. Needs no network.
  static void validateBase(const std::string& origin);

  // Keeps only scheme (in lower case), host and port of the checked origin.
  explicit Api(std::string origin);
  const std::string& base() const { return base_; }

  // One exchange with base + path; an empty token sends no Authorization header,
  // an engaged body makes it a POST.
  std::string request(const std::string& path, const std::string& token,
                      const std::optional<std::string>& body, bool accept400) const;

  std::vector<Stream> streams(const std::string& token) const;
  Target target(const std::string& token, const std::string& viewerId) const;
  void revoke(const std::string& token) const;
  std::string login(const std::string& email, const std::string& password,
                    const std::string& totpCode) const;

  BrowserLogin beginBrowserLogin() const;
  std::optional<std::string> pollBrowserLogin(BrowserLogin& attempt) const;
  void cancelBrowserLogin(const BrowserLogin& attempt) const noexcept;

private:
  std::string base_;  // scheme://host[:port]
};

}  // namespace vl
