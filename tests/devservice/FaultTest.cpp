#include "Http.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vl::test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string token = "ofx_" + std::string(64, 'F');
const std::string streams = "/api/accounts/streams";

TEST(DevServiceFaults, FailAnswersWithTheStatusOnlyOnItsPath) {
  DevService service({"--token", token, "--fail", streams + "=503", "--fail",
                      "/api/accounts/ofx/*=404"});
  auto c = client(service);
  EXPECT_EQ(answer(c.Get(streams, bearer(token))).status, 503);
  EXPECT_EQ(answer(c.Get(streams + "/dev-main", bearer(token))).status, 200);
  EXPECT_EQ(answer(c.Post("/api/accounts/ofx/device", "{}", "application/json")).status, 404);
  EXPECT_EQ(answer(c.Post("/api/accounts/ofx/revoke", bearer(token), "{}", "application/json"))
                .status,
            404);
  // The injected failure did not revoke anything.
  EXPECT_EQ(answer(c.Get(streams + "/dev-main", bearer(token))).status, 200);
}

TEST(DevServiceFaults, DelayHoldsTheAnswerAndThenServesIt) {
  DevService service({"--token", token, "--delay", streams + "=400", "--delay",
                      "/api/accounts/ofx/*=50"});
  auto c = client(service);
  auto start = Clock::now();
  auto result = c.Get(streams, bearer(token));
  auto elapsed = Clock::now() - start;
  EXPECT_EQ(answer(result).status, 200);
  EXPECT_TRUE(parsed(result).contains("streams"));
  EXPECT_GE(elapsed, std::chrono::milliseconds(400));

  // A delayed POST still gets its body read and answered by its route.
  auto device = c.Post("/api/accounts/ofx/device", "{}", "application/json");
  EXPECT_EQ(answer(device).status, 200);
  EXPECT_EQ(parsed(device).at("device_code").get<std::string>().size(), 64u);

  // A client that gives up sooner sees a time-out.
  auto impatient = client(service);
  impatient.set_read_timeout(0, 100'000);
  EXPECT_EQ(impatient.Get(streams, bearer(token)).error(), httplib::Error::Read);
}

TEST(DevServiceFaults, HugeBodiesAreValidJsonOfTheChosenSize) {
  DevService service({"--huge", streams, "--huge", "/api/accounts/ofx/device=2097152"});
  auto c = client(service);
  auto over = c.Get(streams);
  EXPECT_EQ(answer(over).status, 200);
  EXPECT_EQ(over->body.size(), 2u * 1024 * 1024 + 1);
  EXPECT_TRUE(parsed(over).is_object());
  auto exact = c.Post("/api/accounts/ofx/device", "{}", "application/json");
  EXPECT_EQ(answer(exact).body.size(), 2u * 1024 * 1024);
  EXPECT_TRUE(parsed(exact).is_object());
}

TEST(DevServiceFaults, EndlessBodiesKeepComingAndTheServiceStaysUsable) {
  DevService service({"--token", token, "--endless", streams});
  auto c = client(service);
  std::string transferEncoding;
  std::size_t received = 0;
  auto result = c.Get(
      streams, {},
      [&](const httplib::Response& res) {
        transferEncoding = res.get_header_value("Transfer-Encoding");
        return true;
      },
      [&](const char*, std::size_t length) {
        received += length;
        return received <= 3u * 1024 * 1024;
      });
  EXPECT_EQ(result.error(), httplib::Error::Canceled);
  EXPECT_GT(received, 3u * 1024 * 1024);
  EXPECT_EQ(transferEncoding, "chunked");
  auto other = client(service);
  EXPECT_EQ(answer(other.Get(streams + "/dev-main", bearer(token))).status, 200);
}

TEST(DevServiceFaults, GarbageIsNotJson) {
  DevService service({"--token", token, "--garbage", streams});
  auto c = client(service);
  auto result = c.Get(streams, bearer(token));
  EXPECT_EQ(answer(result).status, 200);
  EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
  EXPECT_FALSE(result->body.empty());
  json j;
  EXPECT_THROW(j = json::parse(result->body), json::parse_error);
}

TEST(DevServiceFaults, RedirectIsAFoundAnswerElsewhere) {
  DevService service({"--token", token, "--redirect", "/api/accounts/ofx/revoke"});
  auto c = client(service);
  auto result = c.Post("/api/accounts/ofx/revoke", bearer(token), "{}", "application/json");
  EXPECT_EQ(answer(result).status, 302);
  std::string location = result->get_header_value("Location");
  EXPECT_FALSE(location.empty());
  EXPECT_NE(location, "/api/accounts/ofx/revoke");
  // Not followed, so not revoked.
  EXPECT_EQ(answer(c.Get(streams, bearer(token))).status, 200);
}

// A request stuck in a slow or endless answer must not keep the service
// from stopping.
TEST(DevServiceFaults, StopEndsSlowAndEndlessAnswers) {
  DevService service({"--token", token, "--delay", streams + "=600000", "--endless",
                      streams + "/dev-main"});
  std::atomic<std::size_t> received = 0;
  std::thread endless([&] {
    auto c = client(service);
    c.Get(streams + "/dev-main", bearer(token), [&](const char*, std::size_t length) {
      received += length;
      return true;
    });
  });
  std::thread slow([&] {
    auto c = client(service);
    c.Get(streams, bearer(token));
  });
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (received < 100'000 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the slow one is inside
  EXPECT_GE(received.load(), 100'000u);
  EXPECT_EQ(service.stop(), 0);
  endless.join();
  slow.join();
}

}  // namespace
}  // namespace vl::test
