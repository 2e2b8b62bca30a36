#include "Core/Settings.h"

#include "Failure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace vl {
namespace {

TEST(SelectedBitrate, WorkedValuesAndRefusals) {
  // The account limit is not applied to a custom bitrate; halves round away from zero.
  for (auto [preset, custom, mbps, limit, kbps] :
       {std::tuple{1, false, 0.0, 10.0, 5000}, {2, false, 0.0, 20.0, 16000}, {0, false, 0.0, 0.5, 250},
        {1, false, 0.0, 0.0, 8000}, {0, false, 0.0, 0.0, 4000}, {1, true, 12.3456, 0.0, 12346},
        {1, true, 200.0, 0.0, 200000}, {1, true, 0.25, 0.0, 250}, {2, true, 50.0, 3.0, 50000},
        {1, false, 0.0, 16.0, 8000}, {1, true, 1.0005, 0.0, 1001}})
    EXPECT_EQ(selectedBitrateKbps(preset, custom, mbps, limit), kbps) << preset << custom << mbps << " " << limit;
  // Bad input is refused with its sentence.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (int preset : {-1, 3})
    EXPECT_EQ(test::failure([&] { selectedBitrateKbps(preset, false, 0, 0); }), "Invalid video bitrate");
  for (double custom : {0.249, 200.001, nan, inf})
    EXPECT_EQ(test::failure([&] { selectedBitrateKbps(1, true, custom, 0); }), "Invalid video bitrate");
  for (double limit : {-1.0, nan, inf})
    for (bool custom : {false, true})
      EXPECT_EQ(test::failure([&] { selectedBitrateKbps(1, custom, 8, limit); }), "Invalid account bitrate limit");
}

// A field left out of the comparison would make a change in the panel go unnoticed.
TEST(Settings, FieldByFieldEquality) {
  const Settings a;
  using Change = void (*)(Settings&);
  int field = 0;
  for (Change change : std::initializer_list<Change>{
           [](Settings& s) { s.apiBase += "/"; }, [](Settings& s) { s.viewerId = "x"; },
           [](Settings& s) { s.bitrateKbps = 1; }, [](Settings& s) { s.latencyMs = 61; },
           [](Settings& s) { s.fps = 29.97; }, [](Settings& s) { s.keyframeSeconds = 2; },
           [](Settings& s) { s.color = 1; }, [](Settings& s) { s.hevc = true; }, [](Settings& s) { s.maxCLL = 1; },
           [](Settings& s) { s.maxFALL = 1; }, [](Settings& s) { s.masteringMin = 0; },
           [](Settings& s) { s.masteringMax = 1; }, [](Settings& s) { s.metadata = std::string("{}\0", 3); }}) {
    Settings b;
    change(b);
    EXPECT_FALSE(a == b) << "field " << field++;
  }
  Settings same;
  same.masteringMin = 0.005 * 1.0;
  EXPECT_TRUE(a == same);
}

std::string refusal(const Settings& s) {
  const std::string message = test::failure([&] { validate(s); });
  return message == "no error" ? "" : message;
}

// The refusal of settings with a stream chosen and the change made.
template <class Change>
std::string with(Change change) {
  Settings s;
  s.viewerId = "abc";
  change(s);
  return refusal(s);
}

TEST(Validate, AcceptsTheBoundsAndRefusesJustBeyondThem) {
  EXPECT_EQ(refusal(Settings{}), "Sign in and choose a veltrane stream");
  EXPECT_EQ(with([](Settings&) {}), "");
  // The origin is checked first: later failures do not mask it.
  EXPECT_EQ(with([](Settings& s) { s.apiBase = "http://example.com"; s.fps = 0; }),
            "API origin must use HTTPS (HTTP is allowed only on loopback)");
  const std::string range = "Bitrate, frame rate or latency is out of range",
                    keyframe = "Keyframe interval must be between 0.1 and 5 seconds";
  const double inf = std::numeric_limits<double>::infinity();
  // Per field: the bounds it accepts, the values just beyond them and their refusal.
  struct Field {
    void (*set)(Settings&, double);
    std::vector<double> inside, outside;
    const std::string& refusal;
  };
  for (const Field& f :
       {Field{[](Settings& s, double v) { s.latencyMs = static_cast<int>(v); }, {20, 2000}, {19, 2001}, range},
        Field{[](Settings& s, double v) { s.fps = v; }, {1, 120}, {0.5, 120.5, std::nan(""), inf}, range},
        Field{[](Settings& s, double v) { s.bitrateKbps = static_cast<int>(v); }, {250, 200000}, {249, 200001}, range},
        Field{[](Settings& s, double v) { s.keyframeSeconds = v; }, {0.1, 5}, {0.09, 5.01, std::nan("")}, keyframe}}) {
    for (double v : f.inside) EXPECT_EQ(with([&](Settings& s) { f.set(s, v); }), "") << v;
    for (double v : f.outside) EXPECT_EQ(with([&](Settings& s) { f.set(s, v); }), f.refusal) << v;
  }
}

TEST(Validate, SignalFormatAndHdrMetadata) {
  const std::string hdr = "Invalid HDR mastering or light-level metadata";
  // The format check comes before the codec check.
  EXPECT_EQ(with([](Settings& s) { s.color = 3; }), "Invalid signal format");
  EXPECT_EQ(with([](Settings& s) { s.color = 1; }), "HDR requires HEVC Main10");
  // SDR ignores the HDR fields, however inconsistent.
  EXPECT_EQ(with([](Settings& s) { s.maxFALL = 5000; s.masteringMax = -1; }), "");
  const auto hdrWith = [&](auto change) {
    return with([&](Settings& s) {
      s.color = 2;
      s.hevc = true;
      change(s);
    });
  };
  EXPECT_EQ(hdrWith([](Settings& s) { s.masteringMax = 10000; s.maxCLL = 65535; s.maxFALL = 65535; }), "");
  EXPECT_EQ(hdrWith([](Settings& s) { s.masteringMin = s.masteringMax; }), hdr);
  EXPECT_EQ(hdrWith([](Settings& s) { s.masteringMax = 10000.5; }), hdr);
  EXPECT_EQ(hdrWith([](Settings& s) { s.masteringMax = 0.9; s.masteringMin = 0; }), hdr);
  EXPECT_EQ(hdrWith([](Settings& s) { s.masteringMin = -0.001; }), hdr);
  EXPECT_EQ(hdrWith([](Settings& s) { s.masteringMin = std::nan(""); }), hdr);
  EXPECT_EQ(hdrWith([](Settings& s) { s.maxCLL = 65536; s.maxFALL = 0; }), hdr);
  EXPECT_EQ(hdrWith([](Settings& s) { s.maxFALL = s.maxCLL + 1; }), hdr);
}

TEST(Validate, CustomMetadataMustBeASmallJsonObject) {
  const auto withMetadata = [](std::string metadata) { return with([&](Settings& s) { s.metadata = metadata; }); };
  const std::string notObject = "Custom metadata must be a valid JSON object";
  EXPECT_EQ(withMetadata("{}"), "");
  EXPECT_EQ(withMetadata(R"({"show":"Reel 3","take":4})"), "");
  for (const char* bad : {"", "[]", "\"x\"", "3", "null", "{", "{} {}", "{/*c*/}", "{'a':1}"})
    EXPECT_EQ(withMetadata(bad), notObject) << bad;
  // Byte length counts, not characters: "é" is two bytes.
  const std::string prefix = R"({"k":")", suffix = R"("})";
  const std::string exact = prefix + std::string(4096 - prefix.size() - suffix.size(), 'a') + suffix;
  EXPECT_EQ(withMetadata(exact), "");
  std::string over = prefix + std::string(4096 - prefix.size() - suffix.size() - 1, 'a') + "\xc3\xa9" + suffix;
  ASSERT_EQ(over.size(), 4097u);
  EXPECT_EQ(withMetadata(over), "Custom JSON metadata exceeds 4096 bytes");
}

}  // namespace
}  // namespace vl
