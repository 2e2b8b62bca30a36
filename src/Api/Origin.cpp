#include "Api/Api.h"
#include "Api/Curl.h"

#include <curl/curl.h>

#include <memory>
#include <new>
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

bool loopback(const std::string& host) {
  return host == "localhost" || host == "127.0.0.1" || host == "[::1]";
}

bool acceptable(const std::string& origin) {
  const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url) throw std::bad_alloc();
  // No flags: a scheme must be given, none is guessed.
  if (curl_url_set(url.get(), CURLUPART_URL, origin.c_str(), 0) != CURLUE_OK) return false;
  const std::string scheme = part(url.get(), CURLUPART_SCHEME);
  const std::string host = part(url.get(), CURLUPART_HOST);
  const std::string path = part(url.get(), CURLUPART_PATH);
  if (host.empty() || !part(url.get(), CURLUPART_USER).empty() ||
      !part(url.get(), CURLUPART_PASSWORD).empty() || !part(url.get(), CURLUPART_QUERY).empty() ||
      !part(url.get(), CURLUPART_FRAGMENT).empty())
    return false;
  if (!path.empty() && path != "/") return false;
  return scheme == "https" || (scheme == "http" && loopback(host));
}

}  // namespace

void Api::validateBase(const std::string& origin) {
  initCurl();
  if (!acceptable(origin))
    throw std::runtime_error("API origin must use HTTPS (HTTP is allowed only on loopback)");
}

Api::Api(std::string origin) : base_(std::move(origin)) {
  validateBase(base_);
  if (!base_.empty() && base_.back() == '/') base_.pop_back();
}

}  // namespace vl
