#pragma once
// Client of the account service. Objects are cheap, short-lived values built
// from the origin of the current settings.
#include <string>

namespace vl {

class Api {
public:
  // Throws the user-facing sentence unless the origin is an HTTPS origin, or HTTP
  // on a loopback host. Needs no network.
  static void validateBase(const std::string& origin);

  explicit Api(std::string origin);
  const std::string& base() const { return base_; }

private:
  std::string base_;  // normalised: no trailing slash
};

}  // namespace vl
