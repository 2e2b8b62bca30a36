#pragma once
#include "Account.h"

#include <httplib.h>

#include <string>

namespace vl::dev {

// The account API under "/api/accounts/". origin is the service's own
// "http://127.0.0.1:PORT", for the addresses it hands out.
void installApi(httplib::Server& server, Account& account, const std::string& origin);

// The browser page at "/ofx/authorize" where a user approves or denies a code.
void installAuthorizePage(httplib::Server& server, Account& account);

}  // namespace vl::dev
