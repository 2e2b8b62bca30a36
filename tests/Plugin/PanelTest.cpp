#include "Fixture.h"

#include <set>
#include <string>
#include <vector>

namespace vl::host {
namespace {

using Strings = std::vector<std::string>;

class PanelTest : public BundleTest {
 protected:
  void SetUp() override {
    BundleTest::SetUp();
    ASSERT_EQ(start(host, plugin).describeInContext, kOfxStatOK);
  }
  const PropertySet& p(const std::string& name) {
    Param* param = host.descriptor().param(name);
    if (param == nullptr) throw std::runtime_error("no parameter " + name);
    return param->props;
  }
};

TEST_F(PanelTest, TwentyEightParametersInOrderWithTheirTypes) {
  const std::vector<std::pair<std::string, std::string>> expected{
      {"enabled", "Boolean"},          {"login", "PushButton"},       {"choose", "PushButton"},
      {"streamLabel", "String"},       {"status", "PushButton"},      {"maxBitrateMbit", "Double"},
      {"bitratePreset", "Choice"},     {"color", "Choice"},           {"signalInfo", "String"},
      {"hdr", "Group"},                {"masteringMin", "Double"},    {"masteringMax", "Double"},
      {"maxCLL", "Integer"},           {"maxFALL", "Integer"},        {"showAdvanced", "Boolean"},
      {"advancedToggle", "PushButton"}, {"advanced", "Group"},        {"useCustomBitrate", "Boolean"},
      {"customBitrate", "Double"},     {"keyframeSeconds", "Double"}, {"latency", "Integer"},
      {"fps", "Double"},               {"codec", "Choice"},           {"metadata", "String"},
      {"apiBase", "String"},           {"viewerId", "String"},        {"sendExports", "Boolean"},
      {"logout", "PushButton"}};
  const auto& params = host.descriptor().params;
  ASSERT_EQ(params.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(params[i].name, expected[i].first);
    EXPECT_EQ(params[i].type, "OfxParamType" + expected[i].second) << params[i].name;
  }
}

TEST_F(PanelTest, AnimatesHintAndHiddenRules) {
  const std::set<std::string> visible{"enabled", "login",    "choose",         "streamLabel", "status",
                                      "bitratePreset", "color", "signalInfo", "advancedToggle", "advanced"};
  for (const Param& param : host.descriptor().params) {
    SCOPED_TRACE(param.name);
    EXPECT_TRUE(param.props.has("OfxPropLabel"));
    EXPECT_TRUE(param.props.has("OfxParamPropHint"));
    if (param.type == "OfxParamTypePushButton") {
      EXPECT_FALSE(param.props.has("OfxParamPropAnimates"));
    } else {
      EXPECT_EQ(param.props.integer("OfxParamPropAnimates"), 0);
    }
    EXPECT_EQ(param.props.has("OfxParamPropSecret"), visible.count(param.name) == 0);
    if (param.props.has("OfxParamPropSecret")) {
      EXPECT_EQ(param.props.integer("OfxParamPropSecret"), 1);
    }
    EXPECT_FALSE(param.props.has("OfxParamPropDisplayMin"));
    EXPECT_FALSE(param.props.has("OfxParamPropDisplayMax"));
  }
}

TEST_F(PanelTest, LabelsAreExactUtf8) {
  EXPECT_EQ(p("login").str("OfxPropLabel"), "Sign in using the browser\xE2\x80\xA6");
  EXPECT_EQ(p("choose").str("OfxPropLabel"), "Choose stream\xE2\x80\xA6");
  EXPECT_EQ(p("status").str("OfxPropLabel"), "Connection status\xE2\x80\xA6");
  EXPECT_EQ(p("advancedToggle").str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6");
  EXPECT_EQ(p("signalInfo").str("OfxParamPropDefault"), "Full input resolution \xE2\x80\xA2 Video only (no audio)");
  EXPECT_EQ(p("maxCLL").str("OfxPropLabel"), "Peak content brightness (MaxCLL, nits)");
  EXPECT_EQ(p("enabled").str("OfxParamPropHint"),
            "Stream the full incoming resolution. Disable node caching while live.");
  EXPECT_EQ(p("viewerId").str("OfxParamPropHint"),
            "Normally filled by Choose stream. This is a public ID; credentials stay in Keychain.");
  EXPECT_EQ(p("login").str("OfxParamPropHint"), "");
}

TEST_F(PanelTest, DefaultsRangesAndPropertyOrder) {
  EXPECT_EQ(p("customBitrate").names(),
            (Strings{"OfxParamPropType", "OfxPropName", "OfxPropLabel", "OfxParamPropHint", "OfxParamPropAnimates",
                     "OfxParamPropDefault", "OfxParamPropMin", "OfxParamPropMax", "OfxParamPropParent",
                     "OfxParamPropSecret"}));
  EXPECT_DOUBLE_EQ(p("customBitrate").number("OfxParamPropMin"), 0.25);
  EXPECT_DOUBLE_EQ(p("customBitrate").number("OfxParamPropMax"), 200.0);
  EXPECT_DOUBLE_EQ(p("masteringMin").number("OfxParamPropDefault"), 0.005);
  EXPECT_DOUBLE_EQ(p("maxBitrateMbit").number("OfxParamPropMax"), 1000000.0);
  EXPECT_EQ(p("latency").integer("OfxParamPropDefault"), 60);
  EXPECT_EQ(p("latency").integer("OfxParamPropMin"), 20);
  EXPECT_EQ(p("latency").integer("OfxParamPropMax"), 2000);
  EXPECT_EQ(p("maxFALL").integer("OfxParamPropDefault"), 400);
  EXPECT_EQ(p("maxFALL").integer("OfxParamPropMax"), 65535);
  EXPECT_DOUBLE_EQ(p("fps").number("OfxParamPropMax"), 120.0);
  EXPECT_EQ(p("bitratePreset").integer("OfxParamPropDefault"), 1);
  EXPECT_EQ(p("metadata").str("OfxParamPropDefault"), "{}");
  EXPECT_EQ(p("viewerId").str("OfxParamPropDefault"), "");
  EXPECT_EQ(p("apiBase").str("OfxParamPropDefault").rfind("https://", 0), 0u);
  // The order after definition matters to hosts that build widgets as they go.
  EXPECT_EQ(p("useCustomBitrate").names().back(), "OfxParamPropDefault");
  EXPECT_EQ(p("codec").names().back(), "OfxParamPropChoiceOption");
}

TEST_F(PanelTest, ChoicesGroupsParentsAndStringModes) {
  EXPECT_EQ(p("bitratePreset").strings("OfxParamPropChoiceOption"),
            (Strings{"Low (4 Mbit/s)", "Medium (8 Mbit/s)", "High (16 Mbit/s)"}));
  EXPECT_EQ(p("color").strings("OfxParamPropChoiceOption"),
            (Strings{"SDR (Rec.709)", "HDR PQ (Rec.2020)", "HDR HLG (Rec.2020)"}));
  EXPECT_EQ(p("codec").strings("OfxParamPropChoiceOption"), (Strings{"H.264 (fast browser playback)", "HEVC 10-bit"}));
  EXPECT_EQ(p("hdr").integer("OfxParamPropGroupOpen"), 1);
  EXPECT_EQ(p("advanced").integer("OfxParamPropGroupOpen"), 0);
  for (const char* name : {"masteringMin", "masteringMax", "maxCLL", "maxFALL"})
    EXPECT_EQ(p(name).str("OfxParamPropParent"), "hdr") << name;
  for (const char* name : {"useCustomBitrate", "customBitrate", "keyframeSeconds", "latency", "fps", "codec",
                           "metadata", "apiBase", "viewerId", "sendExports", "logout"})
    EXPECT_EQ(p(name).str("OfxParamPropParent"), "advanced") << name;
  for (const char* name : {"enabled", "showAdvanced", "advanced", "hdr"})
    EXPECT_FALSE(p(name).has("OfxParamPropParent")) << name;
  EXPECT_EQ(p("streamLabel").str("OfxParamPropStringMode"), "OfxParamStringIsLabel");
  EXPECT_EQ(p("streamLabel").integer("OfxParamPropEnabled"), 0);
  EXPECT_EQ(p("signalInfo").str("OfxParamPropStringMode"), "OfxParamStringIsLabel");
  EXPECT_EQ(p("metadata").str("OfxParamPropStringMode"), "OfxParamStringIsMultiLine");
  EXPECT_FALSE(p("apiBase").has("OfxParamPropStringMode"));
  EXPECT_FALSE(p("viewerId").has("OfxParamPropStringMode"));
}

TEST_F(PanelTest, InstancesStartAtTheDefaults) {
  Effect& instance = host.createInstance("OfxImageEffectContextFilter");
  EXPECT_EQ(std::get<int>(instance.param("bitratePreset")->value), 1);
  EXPECT_EQ(std::get<std::string>(instance.param("streamLabel")->value), "Choose a stream");
  EXPECT_DOUBLE_EQ(std::get<double>(instance.param("keyframeSeconds")->value), 1.0);
}

}  // namespace
}  // namespace vl::host
