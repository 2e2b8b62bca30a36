#include "Api/Api.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace vl {
namespace {

bool accepted(const std::string& origin) {
  try {
    Api::validateBase(origin);
    return true;
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "API origin must use HTTPS (HTTP is allowed only on loopback)");
    return false;
  }
}

TEST(Origin, AcceptsHttpsAndLoopbackHttp) {
  for (const char* origin :
       {"https://veltrane.com", "https://veltrane.com/", "https://veltrane.com:8443",
        "https://10.0.0.1", "http://localhost", "http://localhost:8080/", "http://127.0.0.1:9",
        "http://[::1]:8080", "HTTPS://veltrane.com", "http://LOCALHOST:1", "https://veltrane.com/?",
        "https://veltrane.com#"})
    EXPECT_TRUE(accepted(origin)) << origin;
}

TEST(Origin, RefusesEverythingElseWithOneSentence) {
  for (const char* origin :
       {"", "veltrane.com", "//veltrane.com", "http://veltrane.com", "http://192.168.1.2",
        "http://127.0.0.2", "http://localhost.example.com", "ftp://veltrane.com",
        "https://veltrane.com/api", "https://veltrane.com//", "https://veltrane.com?x=1",
        "https://veltrane.com/#top", "https://user@veltrane.com", "https://user:pw@veltrane.com",
        "HTTPS://veltrane.com/x", "https://", "http://[::2]", "not a url at all", "http://@localhost:1234",
        "http://:@localhost", "https://:pw@veltrane.com", "HTTP://veltrane.com"})
    EXPECT_FALSE(accepted(origin)) << origin;
}

TEST(Origin, ConstructorStoresSchemeHostAndPortOnly) {
  for (const char* origin : {"https://veltrane.com/", "https://veltrane.com", "HTTPS://veltrane.com",
                             "https://veltrane.com?", "https://veltrane.com/#", "hTTps://veltrane.com/?#"})
    EXPECT_EQ(Api(origin).base(), "https://veltrane.com") << origin;
  EXPECT_EQ(Api("http://127.0.0.1:8080/").base(), "http://127.0.0.1:8080");
  EXPECT_EQ(Api("https://veltrane.com:8443").base(), "https://veltrane.com:8443");
  EXPECT_THROW(Api("http://veltrane.com"), std::runtime_error);
}

}  // namespace
}  // namespace vl
