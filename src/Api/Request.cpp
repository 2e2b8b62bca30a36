#include "Api/Api.h"
#include "Api/Curl.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

namespace vl {

void initCurl() {
  static std::once_flag global;
  std::call_once(global, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

namespace {

constexpr std::size_t kMaxResponseBytes = 2 * 1024 * 1024;
constexpr long kConnectTimeoutMs = 2000;
constexpr long kTotalTimeoutMs = 5000;

struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

void append(HeaderList& list, const std::string& line) {
  // On failure libcurl leaves the old list alone, so it stays owned here.
  curl_slist* longer = curl_slist_append(list.get(), line.c_str());
  if (longer == nullptr) throw std::bad_alloc();
  list.release();
  list.reset(longer);
}

// Collects the body; refusing a chunk makes libcurl abort with a write error.
std::size_t writeResponse(char* data, std::size_t size, std::size_t count, void* user) {
  auto& body = *static_cast<std::string*>(user);
  const std::size_t bytes = size * count;
  if (bytes > kMaxResponseBytes - body.size()) return 0;
  body.append(data, bytes);
  return bytes;
}

// A line break would let the token forge further headers; a NUL would silently
// cut it short, since header lines are C strings.
bool unsafeToken(const std::string& token) {
  return token.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

std::string Api::request(const std::string& path, const std::string& token,
                         const std::optional<std::string>& body, bool accept400) const {
  if (unsafeToken(token)) throw std::runtime_error("Invalid account token");
  initCurl();
  const EasyHandle curl(curl_easy_init());
  if (!curl) throw std::bad_alloc();

  std::string response;
  const std::string url = base_ + path;
  HeaderList headers;
  append(headers, "Accept: application/json");
  append(headers, "Content-Type: application/json");
  if (!token.empty()) append(headers, "Authorization: Bearer " + token);

  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // A resolver that never answers would otherwise hold the clean-up below until it
  // gives up; the lookup thread is left to end on its own.
  curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
  // A proxy from the environment is for reaching other machines; on loopback it would
  // only be a third party reading the token.
  if (loopbackOrigin(base_)) curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeResponse);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
  if (body) {
    // The explicit size keeps a body with a NUL byte whole.
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->c_str());
  }

  const CURLcode result = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

  if (result != CURLE_OK) throw std::runtime_error("veltrane API connection failed (check server and TLS)");
  if (status == 401 || status == 403)
    throw std::runtime_error("veltrane authentication failed; sign in again and check access");
  if (status == 404) {
    if (path.starts_with("/api/accounts/ofx/"))
      throw std::runtime_error(
          "Browser sign-in needs an updated veltrane backend; check the server address or update the backend");
    throw std::runtime_error("veltrane stream was not found");
  }
  if (status == 400 && accept400) return response;
  if (status < 200 || status > 299) throw std::runtime_error("veltrane API returned HTTP " + std::to_string(status));
  return response;
}

}  // namespace vl
