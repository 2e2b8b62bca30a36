#include "Api/Api.h"
#include "TestServer.h"

#include <gtest/gtest.h>

#include <string>

namespace vl {
namespace {

TEST(Origin, AcceptsHttpsAndLoopbackHttpKeepingSchemeHostAndPortOnly) {
  for (const auto& [origin, base] :
       {std::pair{"https://veltrane.com/", "https://veltrane.com"}, {"HTTPS://veltrane.com", "https://veltrane.com"},
        {"https://veltrane.com?", "https://veltrane.com"}, {"hTTps://veltrane.com/?#", "https://veltrane.com"},
        {"https://veltrane.com:8443", "https://veltrane.com:8443"}, {"https://10.0.0.1", "https://10.0.0.1"},
        {"http://localhost:8080/", "http://localhost:8080"}, {"http://127.0.0.1:9", "http://127.0.0.1:9"},
        {"http://[::1]:8080", "http://[::1]:8080"}, {"http://LOCALHOST:1", "http://LOCALHOST:1"}}) {
    EXPECT_NO_THROW(Api::validateBase(origin)) << origin;
    EXPECT_EQ(Api(origin).base(), base) << origin;
  }
}

TEST(Origin, RefusesEverythingElseWithOneSentence) {
  for (const char* origin :
       {"", "veltrane.com", "//veltrane.com", "http://veltrane.com", "http://192.168.1.2", "http://127.0.0.2",
        "http://localhost.example.com", "ftp://veltrane.com", "https://veltrane.com/api", "https://veltrane.com//",
        "https://veltrane.com?x=1", "https://veltrane.com/#top", "https://user@veltrane.com", "HTTPS://veltrane.com/x",
        "https://", "http://[::2]", "not a url at all", "http://@localhost:1234", "http://:@localhost",
        "https://:pw@veltrane.com", "HTTP://veltrane.com"}) {
    EXPECT_EQ(test::failure([&] { Api::validateBase(origin); }),
              "API origin must use HTTPS (HTTP is allowed only on loopback)")
        << origin;
    EXPECT_THROW(Api{origin}, std::runtime_error) << origin;
  }
}

}  // namespace
}  // namespace vl
