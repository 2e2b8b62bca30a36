#include "Fixture.h"

#include <string>
#include <vector>

namespace vl::host {
namespace {

using Strings = std::vector<std::string>;

class DescribeTest : public BundleTest {
 protected:
  OfxStatus describeWith(std::vector<Value> depths) {
    if (depths.empty()) {
      host.props().define("OfxImageEffectPropSupportedPixelDepths", PropType::String, {});
    } else {
      host.props().define("OfxImageEffectPropSupportedPixelDepths", PropType::String, std::move(depths));
    }
    return start(host, plugin).describe;
  }
  const PropertySet& effect() { return host.descriptor().props; }
};

TEST_F(DescribeTest, EffectPropertiesInOrder) {
  ASSERT_EQ(describeWith({std::string("OfxBitDepthFloat")}), kOfxStatOK);
  EXPECT_EQ(effect().names(),
            (Strings{"OfxPropLabel", "OfxImageEffectPluginPropGrouping", "OfxPropPluginDescription",
                     "OfxImageEffectPropSupportedContexts", "OfxImageEffectPropSupportedPixelDepths",
                     "OfxImageEffectPluginRenderThreadSafety", "OfxImageEffectPluginPropHostFrameThreading",
                     "OfxImageEffectPropSupportsTiles", "OfxImageEffectPropSupportsMultiResolution",
                     "OfxImageEffectPropMultipleClipDepths", "OfxImageEffectPropMetalRenderSupported",
                     "OfxImageEffectInstancePropSequentialRender"}));
  EXPECT_EQ(effect().str("OfxPropLabel"), "veltrane");
  EXPECT_EQ(effect().strings("OfxImageEffectPropSupportedContexts"),
            (Strings{"OfxImageEffectContextFilter", "OfxImageEffectContextGeneral"}));
  EXPECT_EQ(effect().str("OfxImageEffectPluginRenderThreadSafety"), "OfxImageEffectRenderInstanceSafe");
  EXPECT_EQ(effect().str("OfxImageEffectPropMetalRenderSupported"), "false");
  EXPECT_EQ(effect().integer("OfxImageEffectInstancePropSequentialRender"), 2);
  EXPECT_EQ(effect().integer("OfxImageEffectPropSupportsTiles"), 0);
  EXPECT_NE(effect().str("OfxPropPluginDescription").find("Disable render caching for this node while live."),
            std::string::npos);
}

TEST_F(DescribeTest, NoReportedDepthsMeansAllFour) {
  ASSERT_EQ(describeWith({}), kOfxStatOK);
  EXPECT_EQ(effect().strings("OfxImageEffectPropSupportedPixelDepths"),
            (Strings{"OfxBitDepthFloat", "OfxBitDepthHalf", "OfxBitDepthShort", "OfxBitDepthByte"}));
}

TEST_F(DescribeTest, DepthsFollowCandidateOrderNotTheHosts) {
  ASSERT_EQ(describeWith({std::string("OfxBitDepthByte"), std::string("OfxBitDepthFloat")}), kOfxStatOK);
  EXPECT_EQ(effect().strings("OfxImageEffectPropSupportedPixelDepths"),
            (Strings{"OfxBitDepthFloat", "OfxBitDepthByte"}));
}

TEST_F(DescribeTest, UnreadableDepthCountMeansAllFour) {
  host.fault("propGetDimension");
  ASSERT_EQ(start(host, plugin).describe, kOfxStatOK);
  EXPECT_EQ(effect().dim("OfxImageEffectPropSupportedPixelDepths"), 4);
}

TEST_F(DescribeTest, NoUsableDepthStopsAfterTheContexts) {
  ASSERT_EQ(describeWith({std::string("OfxBitDepthDouble")}), kOfxStatErrUnsupported);
  EXPECT_EQ(effect().names(), (Strings{"OfxPropLabel", "OfxImageEffectPluginPropGrouping",
                                       "OfxPropPluginDescription", "OfxImageEffectPropSupportedContexts"}));
}

TEST_F(DescribeTest, OptionalWritesMayFailMandatoryOnesMayNot) {
  host.fault("propSetString");
  host.fault("propSetInt");
  EXPECT_EQ(start(host, plugin).describe, kOfxStatOK);
  EXPECT_EQ(effect().dim("OfxImageEffectPropSupportedPixelDepths"), 4);
  EXPECT_FALSE(effect().has("OfxPropLabel"));

  Host::current()->fault("propSetStringN");
  EXPECT_EQ(action(plugin, "OfxActionDescribe", host.descriptor().handle()), kOfxStatFailed);
}

TEST_F(DescribeTest, ClipsAreSourceThenOutput) {
  ASSERT_EQ(start(host, plugin).describeInContext, kOfxStatOK);
  const auto& clips = host.descriptor().clips;
  ASSERT_EQ(clips.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(clips[i].name, i == 0 ? "Source" : "Output");
    EXPECT_EQ(clips[i].props.strings("OfxImageEffectPropSupportedComponents"),
              (Strings{"OfxImageComponentRGBA", "OfxImageComponentRGB"}));
    EXPECT_EQ(clips[i].props.integer("OfxImageEffectPropSupportsTiles"), 0);
    EXPECT_EQ(clips[i].props.integer("OfxImageClipPropIsMask"), 0);
  }
}

TEST_F(DescribeTest, FailingDefinitionsEndTheAction) {
  host.fault("paramDefine", 5);
  EXPECT_EQ(start(host, plugin).describeInContext, kOfxStatFailed);
  EXPECT_EQ(host.descriptor().params.size(), 5u) << "the parameters defined before stay";
}

TEST_F(DescribeTest, FailingClipDefinitionOrParamSetFails) {
  host.fault("clipDefine", 1);
  EXPECT_EQ(start(host, plugin).describeInContext, kOfxStatFailed);
  EXPECT_EQ(host.descriptor().clips.size(), 1u);
  EXPECT_TRUE(host.descriptor().params.empty());
}

}  // namespace
}  // namespace vl::host
