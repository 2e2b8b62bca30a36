// The panel's buttons and the refresh after every change. Failures end up in a
// message dialog, never in the host.
#include "Instance.h"
#include "Suites.h"

#include "Api/Api.h"
#include "Core/Dialogs.h"
#include "Core/LinkReport.h"
#include "Core/TokenStore.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace vl::ofx {
namespace {

std::string changedName(OfxPropertySetHandle inArgs) {
  char* name = nullptr;
  if (props->propGetString(inArgs, "OfxPropName", 0, &name) != kOfxStatOK || name == nullptr) return {};
  return name;
}

void write(const Instance& in, const char* name, int value) { check(params->paramSetValue(param(in, name), value)); }
void write(const Instance& in, const char* name, double value) {
  check(params->paramSetValue(param(in, name), value));
}
void write(const Instance& in, const char* name, const std::string& value) {
  check(params->paramSetValue(param(in, name), value.c_str()));
}

void refresh(Instance& in) {
  updateUI(in);
  Settings s = settings(in);
  in.sender.configure(std::move(s), integer(in, "enabled") != 0);
}

void chooseStream(Instance& in, const std::string& origin, const std::string& token) {
  const std::vector<Stream> streams = Api(origin).streams(token);
  const std::optional<Stream> chosen = streamDialog(streams);
  if (chosen) {
    const Target target = Api(origin).target(token, chosen->viewerId);
    write(in, "maxBitrateMbit", static_cast<double>(target.maxIngestBitrateBps) / 1000000.0);
    write(in, "viewerId", chosen->viewerId);
    write(in, "streamLabel", chosen->label);
  }
  refresh(in);
}

std::string statusText(const Sender::Stats& stats) {
  return stats.status + "\nHost frames: " + std::to_string(stats.hostFrames) +
         "\nEncoded frames: " + std::to_string(stats.encodedFrames) +
         "\nQueue replacements: " + std::to_string(stats.queueReplacements) +
         "\nReconnect attempts: " + std::to_string(stats.reconnectAttempts) + linkReport(stats);
}

void signOut(Instance& in) {
  // Sending stops before the token goes away, so the worker never uses a revoked one.
  write(in, "enabled", 0);
  in.sender.configure(settings(in), false);
  const std::string origin = text(in, "apiBase");
  // Forgetting under a mistyped address would leave the real sign-in in place unnoticed.
  Api::validateBase(origin);
  const std::string token = loadToken(origin);
  // Nothing stored means nothing to revoke; asking the service would only fail.
  if (!token.empty()) Api(origin).revoke(token);
  forgetToken(origin);
  refresh(in);
}

void act(Instance& in, const std::string& name) {
  if (name == "advancedToggle") {
    write(in, "showAdvanced", integer(in, "showAdvanced") == 0 ? 1 : 0);
    refresh(in);
  } else if (name == "login") {
    const std::string origin = text(in, "apiBase");
    const std::optional<std::string> token = loginDialog(origin);
    if (!token || token->empty()) return;
    chooseStream(in, origin, *token);
  } else if (name == "choose") {
    const std::string origin = text(in, "apiBase");
    const std::string token = loadToken(origin);
    if (token.empty()) return;
    chooseStream(in, origin, token);
  } else if (name == "status") {
    showMessage("veltrane", statusText(in.sender.stats()));
    refresh(in);
  } else if (name == "logout") {
    signOut(in);
  } else {
    refresh(in);
  }
}

}  // namespace

void changed(Instance& in, OfxPropertySetHandle inArgs) {
  const std::string name = changedName(inArgs);
  try {
    act(in, name);
  } catch (const std::exception& e) {
    try {
      showMessage("veltrane", e.what());
    } catch (const std::exception& shown) {
      // No dialog at all: the host's log is the last place the user may look.
      std::fprintf(stderr, "veltrane: %s\nveltrane: %s\n", e.what(), shown.what());
    }
  }
}

}  // namespace vl::ofx
