#pragma once
// Plain HTTP access to a running development service for the tests.
#include "DevService.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace vl::test {

inline httplib::Client client(const DevService& service) {
  httplib::Client c(service.origin());
  c.set_connection_timeout(2);
  c.set_read_timeout(10);
  return c;
}

inline httplib::Headers bearer(const std::string& token) {
  return {{"Authorization", "Bearer " + token}};
}

// The answer, or a failure naming the transport error.
inline const httplib::Response& answer(const httplib::Result& result) {
  if (!result) throw std::runtime_error("No HTTP answer: " + httplib::to_string(result.error()));
  return *result;
}

inline nlohmann::json parsed(const httplib::Result& result) {
  return nlohmann::json::parse(answer(result).body);
}

inline httplib::Result postJson(httplib::Client& c, const std::string& path,
                                const nlohmann::json& body) {
  return c.Post(path, body.dump(), "application/json");
}

}  // namespace vl::test
