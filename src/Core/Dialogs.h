#pragma once
// Modal dialogs of the panel's buttons. Safe to call from any thread.
#include "Api/Api.h"

#include <optional>
#include <string>
#include <vector>

namespace vl {

void showMessage(const std::string& title, const std::string& text);
// Empty when cancelled or when there is nothing to choose.
std::optional<Stream> streamDialog(const std::vector<Stream>& streams);
// Runs the browser sign-in; the returned token is already saved for the origin.
// Empty when the user cancelled.
std::optional<std::string> loginDialog(const std::string& origin);

}  // namespace vl
