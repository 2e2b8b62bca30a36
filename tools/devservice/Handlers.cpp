#include "Handlers.h"

#include <nlohmann/json.hpp>

namespace vl::dev {
namespace {

using nlohmann::json;

void reply(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

std::string bearer(const httplib::Request& req) {
  const std::string header = req.get_header_value("Authorization");
  const std::string prefix = "Bearer ";
  return header.rfind(prefix, 0) == 0 ? header.substr(prefix.size()) : std::string();
}

// Rejects the request with 401 unless it carries a token the account issued.
bool authorised(const Account& account, const httplib::Request& req, httplib::Response& res) {
  if (account.tokenValid(bearer(req))) return true;
  reply(res, 401, {{"error", "unauthorized"}});
  return false;
}

// The body as a JSON object, or a 400 answer and empty.
std::optional<json> objectBody(const httplib::Request& req, httplib::Response& res) {
  json body = json::parse(req.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    reply(res, 400, {{"error", "invalid_request"}});
    return std::nullopt;
  }
  return body;
}

std::string text(const json& body, const char* key) {
  auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

void installApi(httplib::Server& server, Account& account, const std::string& origin) {
  server.Get("/api/accounts/streams", [&account](const httplib::Request& req,
                                                 httplib::Response& res) {
    if (authorised(account, req, res)) reply(res, 200, account.streamList());
  });

  // The path arrives decoded, so escaped "/" and spaces are part of the id.
  server.Get("/api/accounts/streams/(.+)", [&account](const httplib::Request& req,
                                                      httplib::Response& res) {
    if (!authorised(account, req, res)) return;
    if (auto target = account.streamTarget(req.matches[1].str()))
      reply(res, 200, *target);
    else
      reply(res, 404, {{"error", "stream_not_found"}});
  });

  server.Post("/api/accounts/login", [&account](const httplib::Request& req,
                                                httplib::Response& res) {
    auto body = objectBody(req, res);
    if (!body) return;
    if (auto token = account.login(text(*body, "email"), text(*body, "password")))
      reply(res, 200, {{"token", *token}});
    else
      reply(res, 401, {{"error", "invalid_credentials"}});
  });

  server.Post("/api/accounts/ofx/device", [&account, origin](const httplib::Request&,
                                                             httplib::Response& res) {
    DeviceGrant grant = account.issueDeviceCode();
    std::string page = origin + "/ofx/authorize";
    reply(res, 200,
          {{"device_code", grant.deviceCode},
           {"user_code", grant.userCode},
           {"verification_uri", page},
           {"verification_uri_complete", page + "?user_code=" + grant.userCode},
           {"expires_in", grant.expiresInS},
           {"interval", grant.intervalS}});
  });

  server.Post("/api/accounts/ofx/token", [&account](const httplib::Request& req,
                                                    httplib::Response& res) {
    auto body = objectBody(req, res);
    if (!body) return;
    std::string deviceCode = text(*body, "device_code");
    std::string userCode = text(*body, "user_code");
    if (deviceCode.empty() || userCode.empty()) {
      reply(res, 400, {{"error", "invalid_request"}});
      return;
    }
    if (body->value("cancel", false)) {
      account.cancel(deviceCode, userCode);
      reply(res, 200, {{"cancelled", true}});
      return;
    }
    PollResult result = account.poll(deviceCode, userCode);
    if (!result.accessToken.empty()) {
      reply(res, 200, {{"access_token", result.accessToken}, {"token_type", "Bearer"}});
      return;
    }
    json answer = {{"error", result.error}};
    if (result.intervalS > 0) answer["interval"] = result.intervalS;
    reply(res, 400, answer);
  });

  server.Post("/api/accounts/ofx/revoke", [&account](const httplib::Request& req,
                                                     httplib::Response& res) {
    switch (account.revoke(bearer(req))) {
      case Revoked::revoked:
        reply(res, 200, {{"revoked", true}});
        break;
      case Revoked::notPluginToken:
        reply(res, 400, {{"error", "not_a_plugin_token"}});
        break;
      case Revoked::unknownToken:
        reply(res, 401, {{"error", "unauthorized"}});
        break;
    }
  });
}

}  // namespace vl::dev
