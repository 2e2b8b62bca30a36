#include "Api/Api.h"
#include "Api/Curl.h"
#include "Api/Replies.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

namespace vl {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxStreamIdBytes = 512;
constexpr int kMaxReplyDepth = 32;

struct TextDeleter {
  void operator()(char* text) const { curl_free(text); }
};

// A limit as a non-negative whole number that fits T; 0 when absent. The library's
// own conversions would wrap negatives and truncate out-of-range values silently,
// turning a broken reply into a wrong cap.
template <class T>
T limit(const json& limits, const char* key) {
  const json number = limits.value(key, json(0));
  if (number.is_number_unsigned()) {
    const auto v = number.get<std::uint64_t>();
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(v);
  } else if (number.is_number_integer()) {
    const auto v = number.get<std::int64_t>();
    if (v >= 0 && static_cast<std::uint64_t>(v) <= static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
      return static_cast<T>(v);
  } else if (number.is_number_float()) {
    // 2^64 and 2^31 are exact doubles; the maximum of T itself may not be.
    const double v = number.get<double>();
    const double ceiling = std::ldexp(1.0, std::numeric_limits<T>::digits);
    if (v >= 0.0 && v < ceiling && std::floor(v) == v) return static_cast<T>(v);
  } else if (!number.is_boolean()) {
    return number.get<T>();  // the library's type error for strings, null, arrays, objects
  }
  throw std::runtime_error("The server returned invalid stream limits");
}

}  // namespace

json parseReply(const std::string& body) {
  // The callback sees how many containers enclose the one that starts.
  const json::parser_callback_t depth = [](int enclosing, json::parse_event_t event, json&) {
    if (enclosing >= kMaxReplyDepth &&
        (event == json::parse_event_t::object_start || event == json::parse_event_t::array_start))
      throw json::parse_error::create(
          101, 0, "the reply nests deeper than " + std::to_string(kMaxReplyDepth) + " levels", nullptr);
    return true;
  };
  return json::parse(body, depth, true, false);
}

std::vector<Stream> parseStreams(const std::string& body) {
  const json reply = parseReply(body);
  const auto entries = reply.at("streams").get<std::vector<json>>();
  std::vector<Stream> streams;
  for (const json& entry : entries) {
    if (entry.value("lifecycle", std::string()) == "past") continue;
    if (entry.is_object()) {
      const auto ended = entry.find("endedAt");
      if (ended != entry.end() && ended->is_string() && !ended->get_ref<const std::string&>().empty()) continue;
    }
    std::string viewerId = entry.value("viewerId", std::string());
    if (viewerId.empty()) continue;
    std::string label = entry.value("label", viewerId);
    streams.push_back(Stream{std::move(viewerId), std::move(label)});
  }
  return streams;
}

Target parseTarget(const std::string& body) {
  const json reply = parseReply(body);
  const json& stream = reply.is_object() && reply.contains("stream") ? reply.at("stream") : reply;
  if (stream.value("lifecycle", std::string()) == "past") throw std::runtime_error("Choose an active veltrane stream");
  const json& srt = stream.at("ingest").at("protocols").at("srt");
  Target target;
  target.url = srt.at("url").get<std::string>();
  target.streamId = srt.at("secret").get<std::string>();
  if (target.streamId.empty() || target.streamId.size() > kMaxStreamIdBytes)
    throw std::runtime_error("Missing or invalid SRT stream identity");
  const json limits = stream.value("limits", json::object());
  target.maxIngestBitrateBps = limit<std::uint64_t>(limits, "maxIngestBitrateBps");
  target.maxWidth = limit<std::int32_t>(limits, "maxWidth");
  target.maxHeight = limit<std::int32_t>(limits, "maxHeight");
  return target;
}

std::string parseLoginToken(const std::string& body) {
  std::string token = parseReply(body).value("token", std::string());
  if (token.empty()) throw std::runtime_error("Login did not return an account token");
  return token;
}

std::vector<Stream> Api::streams(const std::string& token) const {
  return parseStreams(request("/api/accounts/streams", token, std::nullopt, false));
}

Target Api::target(const std::string& token, const std::string& viewerId) const {
  if (viewerId.size() > static_cast<std::size_t>(INT_MAX)) throw std::bad_alloc();
  std::string escaped;
  {
    const EasyHandle curl(curl_easy_init());
    if (!curl) throw std::bad_alloc();
    const std::unique_ptr<char, TextDeleter> text(
        curl_easy_escape(curl.get(), viewerId.data(), static_cast<int>(viewerId.size())));
    if (!text) throw std::bad_alloc();
    escaped = text.get();
  }
  return parseTarget(request("/api/accounts/streams/" + escaped, token, std::nullopt, false));
}

void Api::revoke(const std::string& token) const {
  // Only tokens from browser sign-in can be withdrawn by the plug-in.
  if (token.size() < 4 || !token.starts_with("ofx_")) return;
  request("/api/accounts/ofx/revoke", token, std::string("{}"), false);
}

std::string Api::login(const std::string& email, const std::string& password, const std::string& totpCode) const {
  std::string body;
  try {
    body = json{{"email", email}, {"password", password}, {"totpCode", totpCode}}.dump();
  } catch (const json::type_error&) {
    // The library's message would quote a byte of the password.
    throw std::runtime_error("Email, password and code must be valid UTF-8 text");
  }
  return parseLoginToken(request("/api/accounts/login", std::string(), body, false));
}

}  // namespace vl
