#include "Bundle.h"
#include "Edits.h"
#include "Player.h"

#include "../support/Failure.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace vl::host {
namespace {

// A host that has loaded and described a bundle, recording what it sends.
struct Loaded {
  explicit Loaded(const std::string& path = builtBundlePath()) : bundle(path), plugin(*bundle.plugin(0)) {
    EXPECT_EQ(start(host, plugin).describeInContext, kOfxStatOK);
    host.recordActions(true);
  }
  ~Loaded() { action(plugin, "OfxActionUnload"); }
  // The n-th sent action of that name.
  const SentAction& nth(const std::string& name, int n = 0) const {
    for (const SentAction& a : host.actions())
      if (a.name == name && n-- == 0) return a;
    throw std::out_of_range("No such action was sent: " + name);
  }
  Tally play(const std::vector<std::string>& args) { return vl::host::play(host, plugin, parseOptions(args, builtBundlePath()), log); }
  Host host;
  Bundle bundle;
  OfxPlugin& plugin;
  std::ostringstream log;
};

TEST(RunnerPlay, ExportAndInteractiveSequencesWithEditsInPlace) {
  for (const char* kind : {"export", "interactive"}) {
    Loaded l;
    const Tally t = l.play({"--frames", "3", "--size", "64x36", "--depth", "byte", "--fps", "30000/1001", "--sequence",
                            kind, "--set", "latency=200", "--press-at", "1:advancedToggle"});
    EXPECT_FALSE(t.failed()) << l.log.str();
    EXPECT_EQ(t.frames, 3);
    std::vector<std::string> names;
    for (const SentAction& a : l.host.actions()) names.push_back(a.name);
    const std::string roi = "OfxImageEffectActionGetRegionsOfInterest", render = "OfxImageEffectActionRender",
                      begin = "OfxActionBeginInstanceChanged", changed = "OfxActionInstanceChanged",
                      end = "OfxActionEndInstanceChanged";
    EXPECT_EQ(names, (std::vector<std::string>{"OfxActionCreateInstance", "OfxImageEffectActionGetClipPreferences",
                                               begin, changed, end, "OfxImageEffectActionBeginSequenceRender", roi,
                                               render, begin, changed, end, roi, render, roi, render,
                                               "OfxImageEffectActionEndSequenceRender", "OfxActionDestroyInstance"}))
        << kind;

    const int interactive = std::string(kind) == "interactive" ? 1 : 0;
    const PropertySet& seq = l.nth("OfxImageEffectActionBeginSequenceRender").inArgs;
    EXPECT_EQ(seq.integer("OfxPropIsInteractive"), interactive);
    EXPECT_EQ(std::pair(seq.number("OfxImageEffectPropFrameRange", 0), seq.number("OfxImageEffectPropFrameRange", 1)),
              std::pair(0.0, 2.0));
    EXPECT_EQ(l.nth("OfxImageEffectActionEndSequenceRender").inArgs.integer("OfxPropIsInteractive"), interactive);
    for (int i = 0; i < 3; ++i) {
      const PropertySet& r = l.nth(render, i).inArgs;
      EXPECT_EQ(r.number("OfxPropTime"), i) << "frames render in order at their own times";
      EXPECT_EQ(std::pair(r.integer("OfxImageEffectPropRenderWindow", 2), r.integer("OfxImageEffectPropRenderWindow", 3)),
                std::pair(64, 36));
      EXPECT_EQ(r.integer("OfxImageEffectPropInteractiveRenderStatus"), interactive);
    }
    const SentAction& set = l.nth(changed, 0);
    EXPECT_EQ(std::tuple(set.inArgs.str("OfxPropName"), set.inArgs.str("OfxPropType"), set.inArgs.str("OfxPropChangeReason")),
              std::tuple("latency", "OfxTypeParameter", "OfxChangeUserEdited"));
    const PropertySet& press = l.nth(changed, 1).inArgs;
    EXPECT_EQ(std::tuple(press.str("OfxPropName"), press.number("OfxPropTime")), std::tuple("advancedToggle", 1.0));

    // The instance the plug-in was handed carries the edit and the timeline's rate.
    auto* instance = static_cast<Effect*>(const_cast<void*>(set.handle));
    EXPECT_EQ(std::get<int>(instance->param("latency")->value), 200);
    EXPECT_NEAR(instance->props.number("OfxImageEffectPropFrameRate"), 29.97003, 1e-5);
    EXPECT_EQ(instance->clip("Source")->props.str("OfxImageEffectPropPixelDepth"), "OfxBitDepthByte");
    EXPECT_EQ(l.host.liveImages(), 0u);
    EXPECT_NE(l.log.str().find("Done in"), std::string::npos);
    EXPECT_NE(l.log.str().find("3 frames rendered"), std::string::npos) << l.log.str();
  }
}

TEST(RunnerPlay, BadEditsStopBeforeAnythingPlays) {
  Loaded l;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--set", "nonsense=1"}, "The effect has no parameter named \"nonsense\"."},
      {{"--press", "latency"}, "The parameter \"latency\" is not a push button; set it with --set."},
      {{"--set", "login=1"},
       "The value \"1\" does not fit the parameter \"login\": it is a push button; press it with --press."}};
  for (auto [args, message] : cases) {
    args.insert(args.begin(), {"--frames", "2"});
    EXPECT_EQ(test::failure([&] { l.play(args); }), message);
  }
  for (const SentAction& a : l.host.actions()) EXPECT_NE(a.name, "OfxImageEffectActionRender") << "nothing rendered";
}

TEST(RunnerPlay, ValuesAreTypedByTheDeclaredParameter) {
  Loaded l;
  Effect& d = l.host.descriptor();
  const std::tuple<const char*, const char*, std::optional<Value>> cases[] = {
      {"enabled", "on", Value(1)},          {"enabled", "0", Value(0)},        {"enabled", "2", std::nullopt},
      {"latency", "2000", Value(2000)},     {"latency", "2001", std::nullopt},  // above the declared maximum
      {"latency", "19", std::nullopt},      {"latency", "60.5", std::nullopt},
      {"customBitrate", "0.25", Value(0.25)}, {"customBitrate", "200", Value(200.0)},
      {"customBitrate", "0.2", std::nullopt}, {"customBitrate", "nan", std::nullopt},
      {"bitratePreset", "High (16 Mbit/s)", Value(2)},  // an option by its label
      {"bitratePreset", "0", Value(0)},                 // or by its index
      {"bitratePreset", "3", std::nullopt},
      {"metadata", "{\"x\": 1}", Value(std::string("{\"x\": 1}"))},
      {"hdr", "1", std::nullopt},  // a group takes no value
  };
  for (const auto& [name, text, expected] : cases) {
    if (expected)
      EXPECT_TRUE(paramValue(*d.param(name), text) == *expected) << name << " " << text;
    else
      EXPECT_THROW(paramValue(*d.param(name), text), std::runtime_error) << name << " " << text;
  }
  EXPECT_EQ(test::failure([&] { paramValue(*d.param("maxCLL"), "-1"); }),
            "The value \"-1\" does not fit the parameter \"maxCLL\": it is below the minimum 0.");
}

TEST(RunnerPlay, PicturesReachTheEffectAndComeBackAndFailuresCount) {
  Loaded l(PASSTHROUGH_BUNDLE);
  l.host.fault("clipGetImage", 1);  // from the second fetch on, the output of frame 0, fetches fail
  const Tally t = l.play({"--frames", "3", "--size", "16x9", "--bundle", PASSTHROUGH_BUNDLE});
  EXPECT_TRUE(t.failed());
  EXPECT_EQ(t.frames, 3) << "play goes on after a failed render";
  ASSERT_EQ(t.failures.size(), 1u);
  EXPECT_EQ(t.failures.at("OfxImageEffectActionRender").at(kOfxStatFailed), 3);
  EXPECT_NE(l.log.str().find("failed: OfxImageEffectActionRender status 1 x3"), std::string::npos) << l.log.str();
  EXPECT_EQ(l.host.liveImages(), 0u) << "the source was released";
}

}  // namespace
}  // namespace vl::host
