#pragma once
// libcurl pieces shared by the files of the account client.
#include <curl/curl.h>

#include <memory>
#include <string>

namespace vl {

// libcurl's global initialisation, done once per process before any handle exists.
void initCurl();

// Whether an accepted origin names this machine.
bool loopbackOrigin(const std::string& origin);

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

}  // namespace vl
