#include "Api/Api.h"
#include "Api/Curl.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

namespace vl {
namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct TextDeleter {
  void operator()(char* text) const { curl_free(text); }
};

// One component as the URL parser reports it; missing components read as empty.
std::string part(CURLU* url, CURLUPart which) {
  char* raw = nullptr;
  if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr) return {};
  const std::unique_ptr<char, TextDeleter> text(raw);
  return text.get();
}

// Present even when empty: "http://@host" has a user, and libcurl would send it.
bool present(CURLU* url, CURLUPart which) {
  char* raw = nullptr;
  const bool found = curl_url_get(url, which, &raw, 0) == CURLUE_OK;
  curl_free(raw);
  return found;
}

std::string lowered(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
  return s;
}

bool loopback(const std::string& host) {
  const std::string h = lowered(host);
  return h == "localhost" || h == "127.0.0.1" || h == "[::1]";
}

// The origin rebuilt from scheme, host and port, or empty when it is not acceptable.
// Rebuilding drops what the checks allow but requests must not carry: a trailing "/",
// an empty query or fragment, the scheme's letter case.
std::optional<std::string> normalised(const std::string& origin) {
  const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url) throw std::bad_alloc();
  // No flags: a scheme must be given, none is guessed.
  if (curl_url_set(url.get(), CURLUPART_URL, origin.c_str(), 0) != CURLUE_OK) return std::nullopt;
  // The parser reports the scheme in lower case whatever the origin's case.
  const std::string scheme = part(url.get(), CURLUPART_SCHEME);
  const std::string host = part(url.get(), CURLUPART_HOST);
  const std::string path = part(url.get(), CURLUPART_PATH);
  if (host.empty() || present(url.get(), CURLUPART_USER) || present(url.get(), CURLUPART_PASSWORD) ||
      !part(url.get(), CURLUPART_QUERY).empty() ||
      !part(url.get(), CURLUPART_FRAGMENT).empty())
    return std::nullopt;
  if (!path.empty() && path != "/") return std::nullopt;
  if (scheme != "https" && (scheme != "http" || !loopback(host))) return std::nullopt;
  const std::string port = part(url.get(), CURLUPART_PORT);
  return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

std::string checked(const std::string& origin) {
  initCurl();
  std::optional<std::string> base = normalised(origin);
  if (!base) throw std::runtime_error("API origin must use HTTPS (HTTP is allowed only on loopback)");
  return std::move(*base);
}

}  // namespace

bool loopbackOrigin(const std::string& origin) {
  const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url) throw std::bad_alloc();
  return curl_url_set(url.get(), CURLUPART_URL, origin.c_str(), 0) == CURLUE_OK &&
         loopback(part(url.get(), CURLUPART_HOST));
}

void Api::validateBase(const std::string& origin) { checked(origin); }

Api::Api(std::string origin) : base_(checked(origin)) {}

}  // namespace vl
