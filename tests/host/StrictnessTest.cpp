#include "Host.h"

#include <gtest/gtest.h>

namespace vl::host {
namespace {

// Wrong types, indices and names fail as a real host fails them, and so does a second release.
TEST(HostStrictness, PropertyAndImageMistakesAreErrors) {
  PropertySet closed;
  closed.define("OfxImagePropBounds", PropType::Int, {0, 0, 4, 2});
  const Value* v = nullptr;
  EXPECT_EQ(closed.get("OfxImagePropBounds", 3, PropType::Int, &v), kOfxStatOK);
  EXPECT_EQ(std::get<int>(*v), 2);
  EXPECT_EQ(closed.get("OfxImagePropBounds", 4, PropType::Int, &v), kOfxStatErrBadIndex);
  EXPECT_EQ(closed.get("OfxImagePropBounds", -1, PropType::Int, &v), kOfxStatErrBadIndex);
  EXPECT_EQ(closed.get("OfxImagePropBounds", 0, PropType::Double, &v), kOfxStatErrValue);
  EXPECT_EQ(closed.get("OfxImagePropMissing", 0, PropType::Int, &v), kOfxStatErrUnknown);
  EXPECT_EQ(closed.set("OfxImagePropMissing", 0, Value(1)), kOfxStatErrUnknown) << "closed sets do not grow";
  EXPECT_EQ(closed.set("OfxImagePropBounds", 0, Value(std::string("x"))), kOfxStatErrValue);

  // The product's tests count live images to find leaks; a second release is the plug-in's fault.
  Host host;
  auto effects = static_cast<const OfxImageEffectSuiteV1*>(host.fetch("OfxImageEffectSuite", 1));
  ASSERT_NE(effects, nullptr);
  Clip& clip = host.descriptor().clips.emplace_back();
  clip.name = "Source";
  clip.image = ClipImage{"OfxBitDepthShort", "OfxImageComponentRGBA", {0, 0, 4, 2}, false, 1.0};
  OfxPropertySetHandle image = nullptr;
  ASSERT_EQ(effects->clipGetImage(reinterpret_cast<OfxImageClipHandle>(&clip), 0.0, nullptr, &image), kOfxStatOK);
  EXPECT_EQ(host.liveImages(), 1u);
  EXPECT_EQ(effects->clipReleaseImage(image), kOfxStatOK);
  EXPECT_EQ(host.liveImages(), 0u);
  EXPECT_EQ(effects->clipReleaseImage(image), kOfxStatErrBadHandle);
}

}  // namespace
}  // namespace vl::host
