#include "Host.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vl::host {
namespace {

// Images as a plug-in sees them through the suite, in every depth and layout.
TEST(HostImages, DepthsLayoutsAndRelease) {
  Host host;
  auto effects = static_cast<const OfxImageEffectSuiteV1*>(host.fetch("OfxImageEffectSuite", 1));
  ASSERT_NE(effects, nullptr);
  Clip& clip = host.descriptor().clips.emplace_back();
  clip.name = "Source";
  auto handle = reinterpret_cast<OfxImageClipHandle>(&clip);
  const std::pair<const char*, int> depths[] = {
      {"OfxBitDepthByte", 1}, {"OfxBitDepthShort", 2}, {"OfxBitDepthHalf", 2}, {"OfxBitDepthFloat", 4}};
  for (auto [depth, bytes] : depths) {
    for (const char* components : {"OfxImageComponentRGBA", "OfxImageComponentRGB"}) {
      for (bool bottomUp : {false, true}) {
        clip.image = ClipImage{depth, components, {2, 3, 7, 6}, bottomUp, 2.0};
        OfxPropertySetHandle image = nullptr;
        ASSERT_EQ(effects->clipGetImage(handle, 1.0, nullptr, &image), kOfxStatOK);
        const PropertySet& p = *PropertySet::from(image);
        const int channels = std::string(components) == "OfxImageComponentRGB" ? 3 : 4;
        const int rowBytes = 5 * channels * bytes;
        EXPECT_EQ(p.integer("OfxImagePropRowBytes"), bottomUp ? -rowBytes : rowBytes);
        EXPECT_EQ(p.str("OfxImageEffectPropPixelDepth"), depth);
        EXPECT_EQ(p.integer("OfxImagePropBounds", 2), 7);
        EXPECT_DOUBLE_EQ(p.number("OfxImagePropPixelAspectRatio"), 2.0);
        // Every row of the image is addressable from the data pointer and row bytes.
        auto* base = static_cast<std::uint8_t*>(p.pointer("OfxImagePropData"));
        for (int row = 0; row < 3; ++row) base[static_cast<std::ptrdiff_t>(row) * p.integer("OfxImagePropRowBytes")] = 1;
        OfxRectD rod{};
        ASSERT_EQ(effects->clipGetRegionOfDefinition(handle, 1.0, &rod), kOfxStatOK);
        EXPECT_DOUBLE_EQ(rod.x2, 14.0);
        EXPECT_EQ(host.liveImages(), 1u);
        EXPECT_EQ(effects->clipReleaseImage(image), kOfxStatOK);
        EXPECT_EQ(host.liveImages(), 0u);
        EXPECT_EQ(effects->clipReleaseImage(image), kOfxStatErrBadHandle) << "a second release is refused";
      }
    }
  }
}

TEST(HostImages, FaultsAndAbort) {
  Host host;
  auto effects = static_cast<const OfxImageEffectSuiteV1*>(host.fetch("OfxImageEffectSuite", 1));
  host.omitSuite("OfxParameterSuite");
  EXPECT_EQ(host.fetch("OfxParameterSuite", 1), nullptr);
  EXPECT_EQ(host.fetch("OfxPropertySuite", 2), nullptr);
  Effect& e = host.descriptor();
  EXPECT_EQ(effects->abort(e.handle()), 0);
  e.aborted = true;
  EXPECT_EQ(effects->abort(e.handle()), 1);
  host.fault("getParamSet", 1);
  OfxParamSetHandle set = nullptr;
  EXPECT_EQ(effects->getParamSet(e.handle(), &set), kOfxStatOK);
  EXPECT_EQ(effects->getParamSet(e.handle(), &set), kOfxStatFailed);
  EXPECT_EQ(host.calls().back(), "getParamSet");
}

}  // namespace
}  // namespace vl::host
