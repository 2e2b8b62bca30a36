#include "InstanceFixture.h"

#include <string>
#include <vector>

namespace vl::host {
namespace {

using Strings = std::vector<std::string>;

class DescribeTest : public BundleTest {
 protected:
  const PropertySet& effect() { return host.descriptor().props; }
};

TEST_F(DescribeTest, EffectAndClips) {
  ASSERT_EQ(start(host, plugin).describeInContext, kOfxStatOK);
  EXPECT_EQ(effect().strings("OfxImageEffectPropSupportedContexts"),
            (Strings{"OfxImageEffectContextFilter", "OfxImageEffectContextGeneral"}));
  EXPECT_EQ(effect().str("OfxImageEffectPluginRenderThreadSafety"), "OfxImageEffectRenderInstanceSafe");
  EXPECT_EQ(effect().integer("OfxImageEffectInstancePropSequentialRender"), 2);
  EXPECT_EQ(effect().integer("OfxImageEffectPropSupportsTiles"), 0);
  const auto& clips = host.descriptor().clips;
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].name, "Source");
  EXPECT_EQ(clips[1].name, "Output");
  for (const Clip& clip : clips) {
    EXPECT_EQ(clip.props.strings("OfxImageEffectPropSupportedComponents"),
              (Strings{"OfxImageComponentRGBA", "OfxImageComponentRGB"}));
    EXPECT_EQ(clip.props.integer("OfxImageEffectPropSupportsTiles"), 0);
  }
}

// The depths offered are ours, in our order of preference, among those the host reports.
TEST_F(DescribeTest, PixelDepthsFromTheHosts) {
  const Strings all{"OfxBitDepthFloat", "OfxBitDepthHalf", "OfxBitDepthShort", "OfxBitDepthByte"};
  struct Case {
    const char* name;
    std::vector<Value> reported;
    Strings described;  // empty: the action is unsupported
    bool unreadable = false;
  };
  const Case cases[] = {
      {"none reported", {}, all},
      {"host order ignored", {std::string("OfxBitDepthByte"), std::string("OfxBitDepthFloat")},
       {"OfxBitDepthFloat", "OfxBitDepthByte"}},
      {"unreadable count", {std::string("OfxBitDepthByte")}, all, true},
      {"none usable", {std::string("OfxBitDepthDouble")}, {}},
  };
  ASSERT_EQ(load(), kOfxStatOK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host.props().define("OfxImageEffectPropSupportedPixelDepths", PropType::String, c.reported);
    host.fault("propGetDimension", c.unreadable ? 0 : 1 << 30);
    host.descriptor().props = PropertySet{true};
    const OfxStatus status = action(plugin, "OfxActionDescribe", host.descriptor().handle());
    if (c.described.empty()) {
      EXPECT_EQ(status, kOfxStatErrUnsupported);
      EXPECT_EQ(effect().names().back(), "OfxImageEffectPropSupportedContexts") << "nothing written after";
    } else {
      EXPECT_EQ(status, kOfxStatOK);
      EXPECT_EQ(effect().strings("OfxImageEffectPropSupportedPixelDepths"), c.described);
    }
  }
}

TEST_F(DescribeTest, OptionalWritesMayFailMandatoryOnesMayNot) {
  host.fault("propSetString");
  host.fault("propSetInt");
  EXPECT_EQ(start(host, plugin).describe, kOfxStatOK);
  EXPECT_EQ(effect().dim("OfxImageEffectPropSupportedPixelDepths"), 4);
  EXPECT_FALSE(effect().has("OfxPropLabel"));
  host.fault("propSetStringN");
  EXPECT_EQ(action(plugin, "OfxActionDescribe", host.descriptor().handle()), kOfxStatFailed);
}

// A failed definition ends the action; what was defined before stays.
TEST_F(DescribeTest, FailingDefinitionsEndTheAction) {
  host.fault("paramDefine", 5);
  EXPECT_EQ(start(host, plugin).describeInContext, kOfxStatFailed);
  EXPECT_EQ(host.descriptor().params.size(), 5u);
}

TEST_F(DescribeTest, FailingClipDefinitionEndsTheAction) {
  host.fault("clipDefine", 1);
  EXPECT_EQ(start(host, plugin).describeInContext, kOfxStatFailed);
  EXPECT_EQ(host.descriptor().clips.size(), 1u);
  EXPECT_TRUE(host.descriptor().params.empty());
}

}  // namespace
}  // namespace vl::host
