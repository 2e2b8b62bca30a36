#pragma once
// The account token of each API origin, kept only in the platform's secret store.
// Keyed by the exact origin string the caller passes.
#include <string>

namespace vl {

// Empty when there is no token that can be read without a prompt.
std::string loadToken(const std::string& origin);
void saveToken(const std::string& origin, const std::string& token);
// A missing item is not an error.
void forgetToken(const std::string& origin);

}  // namespace vl
