#include "Core/Settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace vl {
namespace {

TEST(SelectedBitrate, WorkedValues) {
  EXPECT_EQ(selectedBitrateKbps(1, false, 0, 10), 5000);
  EXPECT_EQ(selectedBitrateKbps(2, false, 0, 20), 16000);
  EXPECT_EQ(selectedBitrateKbps(0, false, 0, 0.5), 250);
  EXPECT_EQ(selectedBitrateKbps(1, false, 0, 0), 8000);
  EXPECT_EQ(selectedBitrateKbps(0, false, 0, 0), 4000);
  EXPECT_EQ(selectedBitrateKbps(1, true, 12.3456, 0), 12346);
  EXPECT_EQ(selectedBitrateKbps(1, true, 200, 0), 200000);
  EXPECT_EQ(selectedBitrateKbps(1, true, 0.25, 0), 250);
  EXPECT_EQ(selectedBitrateKbps(2, true, 50, 3), 50000) << "the account limit is not applied to a custom bitrate";
  EXPECT_EQ(selectedBitrateKbps(1, false, 0, 16), 8000) << "limit times fraction equal to the default";
  EXPECT_EQ(selectedBitrateKbps(1, true, 1.0005, 0), 1001) << "halves round away from zero";
}

TEST(SelectedBitrate, RefusesBadInputWithItsSentence) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  auto message = [](auto f) {
    try {
      f();
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  for (int preset : {-1, 3})
    EXPECT_EQ(message([&] { selectedBitrateKbps(preset, false, 0, 0); }), "Invalid video bitrate");
  for (double custom : {0.249, 200.001, nan, inf})
    EXPECT_EQ(message([&] { selectedBitrateKbps(1, true, custom, 0); }), "Invalid video bitrate");
  for (double limit : {-1.0, nan, inf}) {
    EXPECT_EQ(message([&] { selectedBitrateKbps(1, false, 0, limit); }), "Invalid account bitrate limit");
    EXPECT_EQ(message([&] { selectedBitrateKbps(1, true, 8, limit); }), "Invalid account bitrate limit");
  }
}

TEST(Settings, DefaultsAndFieldByFieldEquality) {
  const Settings a;
  EXPECT_EQ(a.bitrateKbps, 8000);
  EXPECT_EQ(a.latencyMs, 60);
  EXPECT_EQ(a.metadata, "{}");
  EXPECT_EQ(a.apiBase, kDefaultApiBase);
  EXPECT_TRUE(a == Settings{});
  auto differs = [&](auto change) {
    Settings b;
    change(b);
    return !(a == b);
  };
  EXPECT_TRUE(differs([](Settings& s) { s.apiBase += "/"; }));
  EXPECT_TRUE(differs([](Settings& s) { s.viewerId = "x"; }));
  EXPECT_TRUE(differs([](Settings& s) { s.bitrateKbps = 1; }));
  EXPECT_TRUE(differs([](Settings& s) { s.latencyMs = 61; }));
  EXPECT_TRUE(differs([](Settings& s) { s.fps = 29.97; }));
  EXPECT_TRUE(differs([](Settings& s) { s.keyframeSeconds = 2; }));
  EXPECT_TRUE(differs([](Settings& s) { s.color = 1; }));
  EXPECT_TRUE(differs([](Settings& s) { s.hevc = true; }));
  EXPECT_TRUE(differs([](Settings& s) { s.maxCLL = 1; }));
  EXPECT_TRUE(differs([](Settings& s) { s.maxFALL = 1; }));
  EXPECT_TRUE(differs([](Settings& s) { s.masteringMin = 0; }));
  EXPECT_TRUE(differs([](Settings& s) { s.masteringMax = 1; }));
  EXPECT_TRUE(differs([](Settings& s) { s.metadata = std::string("{}\0", 3); }));
  EXPECT_FALSE(differs([](Settings& s) { s.masteringMin = 0.005 * 1.0; }));
}

}  // namespace
}  // namespace vl
