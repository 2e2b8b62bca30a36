#include "InstanceFixture.h"

namespace vl::host {
namespace {

using Strings = std::vector<std::string>;

class DescribeTest : public BundleTest {
 protected:
  const PropertySet& effect() { return host.descriptor().props; }
};

// The depths offered are ours, in our order of preference, among those the host reports.
TEST_F(DescribeTest, PixelDepthsFromTheHosts) {
  // Described empty: the action is unsupported. Unreadable depths are left to independent_host.
  const std::pair<std::vector<Value>, Strings> cases[] = {
      {{std::string("OfxBitDepthByte"), std::string("OfxBitDepthFloat")}, {"OfxBitDepthFloat", "OfxBitDepthByte"}},
      {{std::string("OfxBitDepthDouble")}, {}}};
  ASSERT_EQ(load(), kOfxStatOK);
  for (const auto& [reported, described] : cases) {
    SCOPED_TRACE(described.size());
    host.props().define("OfxImageEffectPropSupportedPixelDepths", PropType::String, reported);
    host.descriptor().props = PropertySet{true};
    const OfxStatus status = action(plugin, "OfxActionDescribe", host.descriptor().handle());
    if (described.empty()) {
      EXPECT_EQ(status, kOfxStatErrUnsupported);
      EXPECT_EQ(effect().names().back(), "OfxImageEffectPropSupportedContexts") << "nothing written after";
    } else {
      EXPECT_EQ(status, kOfxStatOK);
      EXPECT_EQ(effect().strings("OfxImageEffectPropSupportedPixelDepths"), described);
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
  host.fault("clipDefine", 1);
  EXPECT_EQ(start(host, plugin).describeInContext, kOfxStatFailed);
  EXPECT_EQ(std::pair(host.descriptor().clips.size(), host.descriptor().params.size()), std::pair(1ul, 0ul));
  host.fault("clipDefine", 1 << 30);
  host.fault("paramDefine", 5);
  host.descriptor().clips.clear();
  EXPECT_EQ(action(plugin, "OfxImageEffectActionDescribeInContext", host.descriptor().handle()), kOfxStatFailed);
  EXPECT_EQ(std::pair(host.descriptor().clips.size(), host.descriptor().params.size()), std::pair(2ul, 5ul));
}

}  // namespace
}  // namespace vl::host
