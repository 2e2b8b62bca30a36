#include "InstanceFixture.h"

namespace vl::host {
namespace {

using testing::HasSubstr;
using Strings = std::vector<std::string>;

class PanelStateTest : public InstanceTest {
 protected:
  bool shown(const std::string& name) { return props(name).integer("OfxParamPropSecret") == 0; }
  bool enabled(const std::string& name) { return props(name).integer("OfxParamPropEnabled") == 1; }
  // Every named parameter shown (and enabled) or hidden.
  void expectShown(const Strings& names, bool expected) {
    for (const auto& name : names) EXPECT_EQ(shown(name) && enabled(name), expected) << name;
  }
  Strings presets() { return props("bitratePreset").strings("OfxParamPropChoiceOption"); }
};

const Strings kHdr{"hdr", "masteringMin", "masteringMax", "maxCLL", "maxFALL"};
const Strings kAdvanced{"advanced", "useCustomBitrate", "keyframeSeconds", "latency", "fps",
                        "metadata", "apiBase",  "viewerId",         "sendExports",     "logout", "codec"};

// The toggle alternates from the basics; HDR shows its values and hides the codec; a custom
// bitrate disables the presets.
TEST_F(PanelStateTest, AdvancedToggleHdrAndCustomBitrate) {
  create();
  for (int pressed = 0; pressed < 4; ++pressed) {
    const bool open = pressed % 2 == 1;
    SCOPED_TRACE(pressed);
    EXPECT_EQ(std::get<int>(param("showAdvanced").value), open);
    EXPECT_EQ(props("advancedToggle").str("OfxPropLabel"),
              open ? "Hide advanced settings" : "Advanced settings\xE2\x80\xA6");
    EXPECT_EQ(props("advanced").integer("OfxParamPropGroupOpen"), open);
    expectShown(kAdvanced, open);
    expectShown(kHdr, false);
    expectShown({"bitratePreset"}, true);
    EXPECT_FALSE(shown("customBitrate")) << "only with a custom bitrate";
    press("advancedToggle");
  }
  set("color", 1);
  set("useCustomBitrate", 1);
  press("color");
  expectShown(kHdr, true);
  EXPECT_TRUE(shown("bitratePreset"));
  EXPECT_FALSE(enabled("bitratePreset"));
  EXPECT_FALSE(shown("customBitrate")) << "the advanced settings are closed";
  EXPECT_EQ(props("bitratePreset").str("OfxPropLabel"), "Video quality (custom: 8 Mbit/s)");

  set("customBitrate", 12.5);
  set("showAdvanced", 1);
  press("customBitrate");
  EXPECT_TRUE(shown("customBitrate"));
  EXPECT_FALSE(shown("codec"));
  EXPECT_EQ(props("bitratePreset").str("OfxPropLabel"), "Video quality (custom: 12.5 Mbit/s)");
}

// Any change refreshes the preset labels, a host naming nothing included.
TEST_F(PanelStateTest, PresetLabelsFollowTheAccountLimit) {
  create();
  EXPECT_EQ(presets(), (Strings{"Low (4 Mbit/s)", "Medium (8 Mbit/s)", "High (16 Mbit/s)"}));
  set("maxBitrateMbit", 0.5);
  press("");
  const Strings smallest{"Low (0.25 Mbit/s)", "Medium (0.25 Mbit/s)", "High (0.45 Mbit/s)"};
  EXPECT_EQ(presets(), smallest) << "never below the least bitrate";
  // A negative limit is shown; the shown/hidden part ran before the labels failed.
  set("maxBitrateMbit", -1.0);
  set("showAdvanced", 1);
  EXPECT_THAT(press("maxBitrateMbit"), HasSubstr("Invalid account bitrate limit"));
  EXPECT_TRUE(shown("latency"));
  EXPECT_EQ(presets(), smallest);
}

}  // namespace
}  // namespace vl::host
