#include "InstanceFixture.h"

#include <string>
#include <vector>

namespace vl::host {
namespace {

using Strings = std::vector<std::string>;

// The panel as described, before any instance exists.
class PanelTest : public InstanceTest {
 protected:
  const PropertySet& p(const std::string& name) {
    Param* param = host.descriptor().param(name);
    if (param == nullptr) throw std::runtime_error("no parameter " + name);
    return param->props;
  }
};

// Hosts build their widgets in definition order, so order, type, group and first visibility all count.
TEST_F(PanelTest, ParametersInOrderWithTypesGroupsAndVisibility) {
  struct Row {
    const char* name;
    const char* type;
    const char* parent;  // "" for the top level
    bool shown;
  };
  const Row rows[] = {
      {"enabled", "Boolean", "", true},          {"login", "PushButton", "", true},
      {"choose", "PushButton", "", true},        {"streamLabel", "String", "", true},
      {"status", "PushButton", "", true},        {"maxBitrateMbit", "Double", "", false},
      {"bitratePreset", "Choice", "", true},     {"color", "Choice", "", true},
      {"signalInfo", "String", "", true},        {"hdr", "Group", "", false},
      {"masteringMin", "Double", "hdr", false},  {"masteringMax", "Double", "hdr", false},
      {"maxCLL", "Integer", "hdr", false},       {"maxFALL", "Integer", "hdr", false},
      {"showAdvanced", "Boolean", "", false},    {"advancedToggle", "PushButton", "", true},
      {"advanced", "Group", "", true},           {"useCustomBitrate", "Boolean", "advanced", false},
      {"customBitrate", "Double", "advanced", false}, {"keyframeSeconds", "Double", "advanced", false},
      {"latency", "Integer", "advanced", false}, {"fps", "Double", "advanced", false},
      {"codec", "Choice", "advanced", false},    {"metadata", "String", "advanced", false},
      {"apiBase", "String", "advanced", false},  {"viewerId", "String", "advanced", false},
      {"sendExports", "Boolean", "advanced", false}, {"logout", "PushButton", "advanced", false}};
  const auto& params = host.descriptor().params;
  ASSERT_EQ(params.size(), std::size(rows));
  for (size_t i = 0; i < params.size(); ++i) {
    const Param& param = params[i];
    const Row& row = rows[i];
    SCOPED_TRACE(row.name);
    ASSERT_EQ(param.name, row.name);
    EXPECT_EQ(param.type, std::string("OfxParamType") + row.type);
    EXPECT_EQ(param.props.has("OfxParamPropParent") ? param.props.str("OfxParamPropParent") : "", row.parent);
    EXPECT_EQ(param.props.has("OfxParamPropSecret") ? param.props.integer("OfxParamPropSecret") : 0, !row.shown);
    EXPECT_TRUE(param.props.has("OfxPropLabel") && param.props.has("OfxParamPropHint"));
    // Nothing animates: a button has no such property, everything else says 0.
    if (param.type == "OfxParamTypePushButton") {
      EXPECT_FALSE(param.props.has("OfxParamPropAnimates"));
    } else {
      EXPECT_EQ(param.props.integer("OfxParamPropAnimates"), 0);
    }
    EXPECT_FALSE(param.props.has("OfxParamPropDisplayMin") || param.props.has("OfxParamPropDisplayMax"));
  }
}

TEST_F(PanelTest, RangesAndChoices) {
  EXPECT_DOUBLE_EQ(p("customBitrate").number("OfxParamPropMin"), 0.25);
  EXPECT_DOUBLE_EQ(p("customBitrate").number("OfxParamPropMax"), 200.0);
  EXPECT_EQ(p("latency").integer("OfxParamPropDefault"), 60);
  EXPECT_EQ(p("latency").integer("OfxParamPropMin"), 20);
  EXPECT_EQ(p("latency").integer("OfxParamPropMax"), 2000);
  EXPECT_EQ(p("apiBase").str("OfxParamPropDefault").rfind("https://", 0), 0u);
  // The default comes last, after the range, for hosts that build widgets as they go.
  EXPECT_EQ(p("useCustomBitrate").names().back(), "OfxParamPropDefault");
  EXPECT_EQ(p("codec").names().back(), "OfxParamPropChoiceOption");
  // The choices' positions are the stored values, so their order is fixed.
  EXPECT_EQ(p("color").strings("OfxParamPropChoiceOption"),
            (Strings{"SDR (Rec.709)", "HDR PQ (Rec.2020)", "HDR HLG (Rec.2020)"}));
  EXPECT_EQ(p("codec").strings("OfxParamPropChoiceOption"), (Strings{"H.264 (fast browser playback)", "HEVC 10-bit"}));
  EXPECT_EQ(p("metadata").str("OfxParamPropStringMode"), "OfxParamStringIsMultiLine");
}

}  // namespace
}  // namespace vl::host
