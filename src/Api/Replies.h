#pragma once
// Readers of the account service's replies. They see only the body text, so they
// can be exercised on arbitrary bytes. Malformed JSON, a missing required member
// or a wrong type throws nlohmann::json's own exceptions; a well-formed reply
// with unacceptable content throws std::runtime_error.
#include "Api/Api.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// The body as JSON. Nesting deeper than any reply of ours is the library's parse
// error: copying, comparing or printing a value recurses once per level, so a deep
// enough reply within the size cap would overflow the stack.
nlohmann::json parseReply(const std::string& body);

std::vector<Stream> parseStreams(const std::string& body);
Target parseTarget(const std::string& body);
std::string parseLoginToken(const std::string& body);

// base is the normalised origin the authorisation page lives under.
BrowserLogin parseDeviceReply(const std::string& body, const std::string& base);

// The plug-in token once approved, empty while pending; may raise interval.
std::optional<std::string> parsePollReply(const std::string& body, std::int32_t& interval);

}  // namespace vl
