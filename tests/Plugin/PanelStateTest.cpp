#include "InstanceFixture.h"

namespace vl::host {
namespace {

using testing::HasSubstr;

class PanelStateTest : public InstanceTest {
 protected:
  bool shown(const std::string& name) { return props(name).integer("OfxParamPropSecret") == 0; }
  bool enabled(const std::string& name) { return props(name).integer("OfxParamPropEnabled") == 1; }
  std::vector<std::string> presets() { return props("bitratePreset").strings("OfxParamPropChoiceOption"); }
};

const std::vector<std::string> kHdr{"hdr", "masteringMin", "masteringMax", "maxCLL", "maxFALL"};
const std::vector<std::string> kAdvanced{"advanced", "useCustomBitrate", "keyframeSeconds", "latency", "fps",
                                         "metadata", "apiBase",  "viewerId",        "sendExports",     "logout"};

TEST_F(PanelStateTest, FreshInstanceShowsOnlyTheBasics) {
  create();
  for (const auto& name : kHdr) EXPECT_FALSE(shown(name)) << name;
  for (const auto& name : kAdvanced) EXPECT_FALSE(shown(name)) << name;
  EXPECT_FALSE(shown("customBitrate"));
  EXPECT_FALSE(shown("codec"));
  EXPECT_TRUE(shown("bitratePreset"));
  EXPECT_TRUE(enabled("bitratePreset"));
  EXPECT_EQ(props("advanced").integer("OfxParamPropGroupOpen"), 0);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6");
  EXPECT_EQ(presets(), (std::vector<std::string>{"Low (4 Mbit/s)", "Medium (8 Mbit/s)", "High (16 Mbit/s)"}));
  EXPECT_EQ(props("bitratePreset").str("OfxPropLabel"), "Video quality");
}

TEST_F(PanelStateTest, AdvancedToggleAlternates) {
  create();
  press("advancedToggle");
  EXPECT_EQ(std::get<int>(param("showAdvanced").value), 1);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Hide advanced settings");
  EXPECT_EQ(props("advanced").integer("OfxParamPropGroupOpen"), 1);
  for (const auto& name : kAdvanced) EXPECT_TRUE(shown(name) && enabled(name)) << name;
  EXPECT_TRUE(shown("codec"));
  EXPECT_FALSE(shown("customBitrate")) << "only with a custom bitrate";

  press("advancedToggle");
  EXPECT_EQ(std::get<int>(param("showAdvanced").value), 0);
  EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"), "Advanced settings\xE2\x80\xA6");
  EXPECT_EQ(props("advanced").integer("OfxParamPropGroupOpen"), 0);
  for (const auto& name : kAdvanced) EXPECT_FALSE(shown(name)) << name;
  EXPECT_FALSE(shown("codec"));
}

TEST_F(PanelStateTest, HdrShowsItsValuesAndHidesTheCodec) {
  make();
  set("color", 1);
  set("showAdvanced", 1);
  create();
  for (const auto& name : kHdr) EXPECT_TRUE(shown(name) && enabled(name)) << name;
  EXPECT_FALSE(shown("codec"));
  set("color", 0);
  press("color");
  for (const auto& name : kHdr) EXPECT_FALSE(shown(name)) << name;
  EXPECT_TRUE(shown("codec"));
}

TEST_F(PanelStateTest, CustomBitrateDisablesThePresets) {
  make();
  set("useCustomBitrate", 1);
  create();
  EXPECT_TRUE(shown("bitratePreset"));
  EXPECT_FALSE(enabled("bitratePreset"));
  EXPECT_FALSE(shown("customBitrate")) << "the advanced settings are closed";
  EXPECT_EQ(props("bitratePreset").str("OfxPropLabel"), "Video quality (custom: 8 Mbit/s)");

  set("customBitrate", 12.5);
  set("showAdvanced", 1);
  press("customBitrate");
  EXPECT_TRUE(shown("customBitrate"));
  EXPECT_EQ(props("bitratePreset").str("OfxPropLabel"), "Video quality (custom: 12.5 Mbit/s)");

  set("useCustomBitrate", 0);
  press("useCustomBitrate");
  EXPECT_TRUE(enabled("bitratePreset"));
  EXPECT_FALSE(shown("customBitrate"));
  EXPECT_EQ(props("bitratePreset").str("OfxPropLabel"), "Video quality");
}

TEST_F(PanelStateTest, PresetLabelsFollowTheAccountLimit) {
  create();
  set("maxBitrateMbit", 8.0);
  press("maxBitrateMbit");
  EXPECT_EQ(presets(), (std::vector<std::string>{"Low (2 Mbit/s)", "Medium (4 Mbit/s)", "High (7.2 Mbit/s)"}));
  set("maxBitrateMbit", 10.0);
  press("");  // a host that names nothing still gets a refresh
  EXPECT_EQ(presets(), (std::vector<std::string>{"Low (2.5 Mbit/s)", "Medium (5 Mbit/s)", "High (9 Mbit/s)"}));
  set("maxBitrateMbit", 0.5);
  press("noSuchParameter");
  EXPECT_EQ(presets(), (std::vector<std::string>{"Low (0.25 Mbit/s)", "Medium (0.25 Mbit/s)", "High (0.45 Mbit/s)"}));
}

TEST_F(PanelStateTest, ANegativeLimitIsShownAndSkipsTheRefresh) {
  create();
  set("maxBitrateMbit", -1.0);
  set("showAdvanced", 1);
  EXPECT_THAT(press("maxBitrateMbit"), HasSubstr("Invalid account bitrate limit"));
  // The shown/hidden part ran before the labels failed; the labels kept their old text.
  EXPECT_TRUE(shown("latency"));
  EXPECT_EQ(presets(), (std::vector<std::string>{"Low (4 Mbit/s)", "Medium (8 Mbit/s)", "High (16 Mbit/s)"}));
}

}  // namespace
}  // namespace vl::host
