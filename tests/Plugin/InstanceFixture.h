#pragma once
// A fresh host and a freshly opened bundle for every test; InstanceTest adds a described
// plug-in with one live instance, and the host-side moves a test makes on it.
#include "Bundle.h"
#include "Terminal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace vl::host {

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("VELTRANE_OFX_DIAGNOSTICS"); }
  void TearDown() override { unsetenv("VELTRANE_OFX_DIAGNOSTICS"); }

  // setHost and the load action only, for tests that arrange faults before describing.
  OfxStatus load() {
    plugin.setHost(host.ofxHost());
    return action(plugin, "OfxActionLoad");
  }

  Host host;
  Bundle bundle{builtBundlePath()};
  OfxPlugin& plugin = *bundle.plugin(0);
};

class InstanceTest : public BundleTest {
 protected:
  void SetUp() override {
    BundleTest::SetUp();
    ASSERT_EQ(start(host, plugin).describeInContext, kOfxStatOK);
  }
  void TearDown() override {
    // The bundle is unloaded after each test; no worker thread may outlive it.
    if (created) {
      EXPECT_EQ(action(plugin, "OfxActionDestroyInstance", fx->handle()), kOfxStatOK);
    }
    BundleTest::TearDown();
  }

  Effect& make() {
    fx = &host.createInstance("OfxImageEffectContextFilter");
    return *fx;
  }
  void create() {
    if (fx == nullptr) make();
    ASSERT_EQ(action(plugin, "OfxActionCreateInstance", fx->handle()), kOfxStatOK);
    created = true;
  }

  Param& param(const std::string& name) {
    Param* p = fx->param(name);
    if (p == nullptr) throw std::runtime_error("no parameter " + name);
    return *p;
  }
  template <typename T>
  void set(const std::string& name, T value) {
    param(name).value = Value(value);
  }
  const PropertySet& props(const std::string& name) { return param(name).props; }
  Clip& source() { return *fx->clip("Source"); }
  Clip& output() { return *fx->clip("Output"); }

  // Both clips get the same shape.
  void shape(const ClipImage& image) {
    source().image = image;
    output().image = image;
  }

  struct RenderArgs {
    double time = 0.0;
    OfxRectI window{0, 0, 16, 9};
    double scaleX = 1.0, scaleY = 1.0;
    int thumbnail = -1;  // -1: the property is absent
  };
  OfxStatus render(const RenderArgs& args) {
    PropertySet in;
    in.define("OfxPropTime", args.time);
    in.define("OfxImageEffectPropFieldToRender", std::string("OfxImageFieldNone"));
    in.define("OfxImageEffectPropRenderWindow", PropType::Int,
              {args.window.x1, args.window.y1, args.window.x2, args.window.y2});
    in.define("OfxImageEffectPropRenderScale", PropType::Double, {args.scaleX, args.scaleY});
    if (args.thumbnail >= 0) in.define("OfxImageEffectPropThumbnailRender", args.thumbnail);
    return action(plugin, "OfxImageEffectActionRender", fx->handle(), &in);
  }
  OfxStatus render(double time = 0.0) {
    RenderArgs args;
    args.time = time;
    args.window = source().image.bounds;
    return render(args);
  }

  OfxStatus sequence(bool begin, int interactive) {
    PropertySet in;
    in.define("OfxImageEffectPropFrameRange", PropType::Double, {0.0, 100.0});
    in.define("OfxImageEffectPropFrameStep", 1.0);
    in.define("OfxPropIsInteractive", interactive);
    in.define("OfxImageEffectPropRenderScale", PropType::Double, {1.0, 1.0});
    return action(plugin, begin ? "OfxImageEffectActionBeginSequenceRender" : "OfxImageEffectActionEndSequenceRender",
                  fx->handle(), &in);
  }

  // A parameter change as the host reports it; an empty name leaves "OfxPropName" out.
  OfxStatus changed(const std::string& name) {
    PropertySet in;
    if (!name.empty()) in.define("OfxPropName", name);
    in.define("OfxPropType", std::string("OfxTypeParameter"));
    in.define("OfxPropChangeReason", std::string("OfxChangeUserEdited"));
    in.define("OfxPropTime", 0.0);
    return action(plugin, "OfxActionInstanceChanged", fx->handle(), &in);
  }

  // What the user sees after pressing a button, with Enter pressed at every message.
  std::string press(const std::string& name, Terminal::Rules answers = {{"[Press Enter to continue]", ""}}) {
    Terminal user(std::move(answers));
    const OfxStatus status = changed(name);
    EXPECT_EQ(status, kOfxStatOK) << name;
    return user.shown();
  }
  // The sender's counters as the status button shows them.
  std::string status() { return press("status"); }

  Effect* fx = nullptr;
  bool created = false;
};

}  // namespace vl::host
