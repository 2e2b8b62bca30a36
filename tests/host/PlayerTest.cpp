#include "Bundle.h"
#include "Edits.h"
#include "Player.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace vl::host {
namespace {

// A host that has loaded and described a bundle, recording what it sends.
struct Loaded {
  explicit Loaded(const std::string& path) : bundle(path), plugin(*bundle.plugin(0)) {
    const Startup s = start(host, plugin);
    EXPECT_EQ(s.describeInContext, kOfxStatOK);
    host.recordActions(true);
  }
  ~Loaded() { action(plugin, "OfxActionUnload"); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const SentAction& a : host.actions()) out.push_back(a.name);
    return out;
  }
  const SentAction& nth(const std::string& name, int n = 0) const {
    for (const SentAction& a : host.actions())
      if (a.name == name && n-- == 0) return a;
    throw std::out_of_range("No such action was sent: " + name);
  }
  Host host;
  Bundle bundle;
  OfxPlugin& plugin;
};

Options options(const std::vector<std::string>& args) { return parseOptions(args, builtBundlePath()); }

TEST(RunnerPlay, ExportAndInteractiveSequencesWithEditsInPlace) {
  for (const char* kind : {"export", "interactive"}) {
    Loaded l(builtBundlePath());
    std::ostringstream log;
    const Tally t = play(l.host, l.plugin,
                         options({"--frames", "3", "--size", "64x36", "--depth", "byte", "--fps", "30000/1001",
                                  "--sequence", kind, "--set", "latency=200", "--press-at", "1:advancedToggle"}),
                         log);
    EXPECT_FALSE(t.failed()) << log.str();
    EXPECT_EQ(t.frames, 3);
    const std::vector<std::string> expected{
        "OfxActionCreateInstance", "OfxImageEffectActionGetClipPreferences",
        "OfxActionBeginInstanceChanged", "OfxActionInstanceChanged", "OfxActionEndInstanceChanged",
        "OfxImageEffectActionBeginSequenceRender",
        "OfxImageEffectActionGetRegionsOfInterest", "OfxImageEffectActionRender",
        "OfxActionBeginInstanceChanged", "OfxActionInstanceChanged", "OfxActionEndInstanceChanged",
        "OfxImageEffectActionGetRegionsOfInterest", "OfxImageEffectActionRender",
        "OfxImageEffectActionGetRegionsOfInterest", "OfxImageEffectActionRender",
        "OfxImageEffectActionEndSequenceRender", "OfxActionDestroyInstance"};
    EXPECT_EQ(l.names(), expected) << kind;

    const bool interactive = std::string(kind) == "interactive";
    const SentAction& begin = l.nth("OfxImageEffectActionBeginSequenceRender");
    EXPECT_EQ(begin.inArgs.integer("OfxPropIsInteractive"), interactive ? 1 : 0);
    EXPECT_EQ(begin.inArgs.number("OfxImageEffectPropFrameRange", 0), 0.0);
    EXPECT_EQ(begin.inArgs.number("OfxImageEffectPropFrameRange", 1), 2.0);
    EXPECT_EQ(l.nth("OfxImageEffectActionEndSequenceRender").inArgs.integer("OfxPropIsInteractive"),
              interactive ? 1 : 0);
    for (int i = 0; i < 3; ++i) {
      const PropertySet& r = l.nth("OfxImageEffectActionRender", i).inArgs;
      EXPECT_EQ(r.number("OfxPropTime"), i) << "frames render in order at their own times";
      EXPECT_EQ(r.integer("OfxImageEffectPropRenderWindow", 2), 64);
      EXPECT_EQ(r.integer("OfxImageEffectPropRenderWindow", 3), 36);
      EXPECT_EQ(r.integer("OfxImageEffectPropInteractiveRenderStatus"), interactive ? 1 : 0);
    }
    const SentAction& set = l.nth("OfxActionInstanceChanged", 0);
    EXPECT_EQ(set.inArgs.str("OfxPropName"), "latency");
    EXPECT_EQ(set.inArgs.str("OfxPropType"), "OfxTypeParameter");
    EXPECT_EQ(set.inArgs.str("OfxPropChangeReason"), "OfxChangeUserEdited");
    const SentAction& press = l.nth("OfxActionInstanceChanged", 1);
    EXPECT_EQ(press.inArgs.str("OfxPropName"), "advancedToggle");
    EXPECT_EQ(press.inArgs.number("OfxPropTime"), 1.0);

    // The instance the plug-in was handed carries the edit and the timeline's rate.
    auto* instance = static_cast<Effect*>(const_cast<void*>(set.handle));
    EXPECT_EQ(std::get<int>(instance->param("latency")->value), 200);
    EXPECT_NEAR(instance->props.number("OfxImageEffectPropFrameRate"), 29.97003, 1e-5);
    EXPECT_EQ(instance->clip("Source")->props.str("OfxImageEffectPropPixelDepth"), "OfxBitDepthByte");
    EXPECT_EQ(l.host.liveImages(), 0u);
    EXPECT_NE(log.str().find("Done in"), std::string::npos);
    EXPECT_NE(log.str().find("3 frames rendered"), std::string::npos) << log.str();
  }
}

TEST(RunnerPlay, BadEditsStopBeforeAnythingPlays) {
  Loaded l(builtBundlePath());
  std::ostringstream log;
  auto refusal = [&](const std::vector<std::string>& args) -> std::string {
    try {
      play(l.host, l.plugin, options(args), log);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(refusal({"--frames", "2", "--set", "nonsense=1"}), "The effect has no parameter named \"nonsense\".");
  EXPECT_EQ(refusal({"--frames", "2", "--press", "latency"}),
            "The parameter \"latency\" is not a push button; set it with --set.");
  EXPECT_EQ(refusal({"--frames", "2", "--set", "login=1"}),
            "The value \"1\" does not fit the parameter \"login\": it is a push button; press it with --press.");
  for (const SentAction& a : l.host.actions())
    EXPECT_NE(a.name, "OfxImageEffectActionRender") << "nothing rendered";
}

TEST(RunnerPlay, ValuesAreTypedByTheDeclaredParameter) {
  Loaded l(builtBundlePath());
  Effect& d = l.host.descriptor();
  auto value = [&](const char* name, const std::string& text) { return paramValue(*d.param(name), text); };
  EXPECT_EQ(std::get<int>(value("enabled", "on")), 1);
  EXPECT_EQ(std::get<int>(value("enabled", "0")), 0);
  EXPECT_THROW(value("enabled", "2"), std::runtime_error);
  EXPECT_EQ(std::get<int>(value("latency", "2000")), 2000);
  EXPECT_THROW(value("latency", "2001"), std::runtime_error) << "above the declared maximum";
  EXPECT_THROW(value("latency", "19"), std::runtime_error);
  EXPECT_THROW(value("latency", "60.5"), std::runtime_error);
  EXPECT_EQ(std::get<double>(value("customBitrate", "0.25")), 0.25);
  EXPECT_EQ(std::get<double>(value("customBitrate", "200")), 200.0);
  EXPECT_THROW(value("customBitrate", "0.2"), std::runtime_error);
  EXPECT_THROW(value("customBitrate", "nan"), std::runtime_error);
  EXPECT_EQ(std::get<int>(value("bitratePreset", "High (16 Mbit/s)")), 2) << "an option by its label";
  EXPECT_EQ(std::get<int>(value("bitratePreset", "0")), 0) << "or by its index";
  EXPECT_THROW(value("bitratePreset", "3"), std::runtime_error);
  EXPECT_EQ(std::get<std::string>(value("metadata", "{\"x\": 1}")), "{\"x\": 1}");
  EXPECT_THROW(value("hdr", "1"), std::runtime_error) << "a group takes no value";
  try {
    value("maxCLL", "-1");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "The value \"-1\" does not fit the parameter \"maxCLL\": it is below the minimum 0.");
  }
}

TEST(RunnerPlay, PicturesReachTheEffectAndComeBackAndFailuresCount) {
  Loaded l(PASSTHROUGH_BUNDLE);
  l.host.fault("clipGetImage", 1);  // from the second fetch on, the output of frame 0, fetches fail
  std::ostringstream log;
  const Tally t = play(l.host, l.plugin, options({"--frames", "3", "--size", "16x9", "--bundle", PASSTHROUGH_BUNDLE}), log);
  EXPECT_TRUE(t.failed());
  EXPECT_EQ(t.frames, 3) << "play goes on after a failed render";
  ASSERT_EQ(t.failures.size(), 1u);
  EXPECT_EQ(t.failures.at("OfxImageEffectActionRender").at(kOfxStatFailed), 3);
  EXPECT_NE(log.str().find("failed: OfxImageEffectActionRender status 1 x3"), std::string::npos) << log.str();
  EXPECT_EQ(l.host.liveImages(), 0u) << "the source was released";
}

}  // namespace
}  // namespace vl::host
