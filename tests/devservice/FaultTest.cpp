#include "Http.h"
#include "SrtCaller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vl::test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string token = "ofx_" + std::string(64, 'F');
const std::string streams = "/api/accounts/streams";
const std::string device = "/api/accounts/ofx/device";
const std::string revoke = "/api/accounts/ofx/revoke";

int status(const httplib::Result& r) { return answer(r).status; }

TEST(DevServiceFaults, FailAnswersWithTheStatusOnlyOnItsPath) {
  DevService service({"--token", token, "--fail", streams + "=503", "--fail",
                      "/api/accounts/ofx/*=404"});
  auto c = client(service);
  EXPECT_EQ(status(c.Get(streams, bearer(token))), 503);
  EXPECT_EQ(status(c.Post(device, "{}", "application/json")), 404);
  EXPECT_EQ(status(c.Post(revoke, bearer(token), "{}", "application/json")), 404);
  // Other paths are served, and the failed revoke revoked nothing.
  EXPECT_EQ(status(c.Get(streams + "/dev-main", bearer(token))), 200);
}

TEST(DevServiceFaults, DelayHoldsTheAnswerAndThenServesIt) {
  DevService service({"--token", token, "--delay", streams + "=400", "--delay",
                      "/api/accounts/ofx/*=50"});
  auto c = client(service);
  auto start = Clock::now();
  auto result = c.Get(streams, bearer(token));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_TRUE(parsed(result).contains("streams"));
  // A delayed POST still gets its body read and answered by its route.
  EXPECT_EQ(parsed(c.Post(device, "{}", "application/json")).at("device_code").get<std::string>().size(), 64u);
  auto impatient = client(service);
  impatient.set_read_timeout(0, 100'000);
  EXPECT_EQ(impatient.Get(streams, bearer(token)).error(), httplib::Error::Read);
}

TEST(DevServiceFaults, HugeGarbageAndRedirectBodiesAreWhatWasAskedFor) {
  DevService service({"--token", token, "--huge", streams, "--huge", device + "=2097152",
                      "--garbage", streams + "/dev-main", "--redirect", revoke});
  auto c = client(service);
  auto over = c.Get(streams);
  EXPECT_EQ(answer(over).body.size(), 2u * 1024 * 1024 + 1);
  EXPECT_TRUE(parsed(over).is_object());
  auto exact = c.Post(device, "{}", "application/json");
  EXPECT_EQ(answer(exact).body.size(), 2u * 1024 * 1024);
  EXPECT_TRUE(parsed(exact).is_object());

  auto garbage = c.Get(streams + "/dev-main", bearer(token));
  EXPECT_EQ(status(garbage), 200);
  EXPECT_EQ(garbage->get_header_value("Content-Type"), "application/json");
  EXPECT_FALSE(garbage->body.empty());
  EXPECT_FALSE(json::accept(garbage->body));

  auto moved = c.Post(revoke, bearer(token), "{}", "application/json");
  EXPECT_EQ(status(moved), 302);
  EXPECT_NE(moved->get_header_value("Location"), "");
  EXPECT_NE(moved->get_header_value("Location"), revoke);
  // Not followed, so not revoked.
  EXPECT_EQ(status(c.Get("/api/accounts/streams/studio%20b%2F2", bearer(token))), 200);
}

// The endless answer keeps coming in chunks while other requests are served; neither it
// nor a slow one may keep the service from stopping.
TEST(DevServiceFaults, EndlessAndSlowAnswersLeaveTheServiceUsableAndStoppable) {
  DevService service({"--token", token, "--delay", streams + "=600000", "--endless",
                      streams + "/dev-main"});
  std::atomic<std::size_t> received = 0;
  std::string transferEncoding;
  std::thread endless([&] {
    client(service).Get(
        streams + "/dev-main", bearer(token),
        [&](const httplib::Response& res) {
          transferEncoding = res.get_header_value("Transfer-Encoding");
          return true;
        },
        [&](const char*, std::size_t length) {
          received += length;
          return true;
        });
  });
  std::thread slow([&] { client(service).Get(streams, bearer(token)); });
  EXPECT_TRUE(waitFor([&] { return received >= 3u << 20; }));
  EXPECT_EQ(status(client(service).Get("/api/accounts/streams/studio%20b%2F2", bearer(token))),
            200);
  EXPECT_EQ(service.stop(), 0);
  endless.join();
  slow.join();
  EXPECT_EQ(transferEncoding, "chunked");
}

}  // namespace
}  // namespace vl::test
