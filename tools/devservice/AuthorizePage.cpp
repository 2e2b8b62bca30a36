#include "Handlers.h"

#include <algorithm>
#include <cctype>

namespace vl::dev {
namespace {

std::string escapeHtml(const std::string& in) {
  std::string out;
  for (char c : in) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

void page(httplib::Response& res, int status, const std::string& title, const std::string& body) {
  res.status = status;
  res.set_content("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                      "</title></head>\n<body><h1>" + title + "</h1>\n" + body + "</body></html>\n",
                  "text/html; charset=utf-8");
}

// Codes are shown in upper case; a user typing one by hand may not.
std::string userCodeOf(const httplib::Request& req) {
  std::string code = req.get_param_value("user_code");
  std::transform(code.begin(), code.end(), code.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return code;
}

void unknownCode(httplib::Response& res) {
  page(res, 404, "Sign-in code not found",
       "<p>This sign-in code is unknown, already used or expired. Start sign-in again in the "
       "plug-in.</p>\n");
}

}  // namespace

void installAuthorizePage(httplib::Server& server, Account& account) {
  server.Get("/ofx/authorize", [&account](const httplib::Request& req, httplib::Response& res) {
    std::string code = userCodeOf(req);
    if (code.empty()) {
      page(res, 400, "Sign-in code missing", "<p>Open this page from the plug-in.</p>\n");
      return;
    }
    if (!account.awaitingDecision(code)) {
      unknownCode(res);
      return;
    }
    std::string c = escapeHtml(code);
    page(res, 200, "Connect the veltrane plug-in",
         "<p>Check that the plug-in shows this code:</p>\n<p><strong id=\"user-code\">" + c +
             "</strong></p>\n"
             "<form method=\"post\" action=\"/ofx/authorize\">\n"
             "<input type=\"hidden\" name=\"user_code\" value=\"" + c + "\">\n"
             "<button type=\"submit\" name=\"action\" value=\"approve\">Connect plugin</button>\n"
             "<button type=\"submit\" name=\"action\" value=\"deny\">Deny</button>\n"
             "</form>\n");
  });

  server.Post("/ofx/authorize", [&account](const httplib::Request& req, httplib::Response& res) {
    std::string action = req.get_param_value("action");
    if (action != "approve" && action != "deny") {
      page(res, 400, "Unknown choice", "<p>Choose Connect plugin or Deny.</p>\n");
      return;
    }
    if (!account.decide(userCodeOf(req), action == "approve")) {
      unknownCode(res);
      return;
    }
    if (action == "approve")
      page(res, 200, "Plug-in connected",
           "<p>The plug-in is connected. You can close this window.</p>\n");
    else
      page(res, 200, "Sign-in denied", "<p>The plug-in was not connected.</p>\n");
  });
}

}  // namespace vl::dev
