#include "HostImage.h"

#include "Suites.h"

#include <cstring>
#include <stdexcept>

namespace vl::ofx {
namespace {

// A failed read or a null string counts as the empty string.
const char* string(OfxPropertySetHandle p, const char* name) {
  char* value = nullptr;
  if (props->propGetString(p, name, 0, &value) != kOfxStatOK || value == nullptr) return "";
  return value;
}

int components(const char* value) {
  if (std::strcmp(value, "OfxImageComponentRGBA") == 0) return 4;
  if (std::strcmp(value, "OfxImageComponentRGB") == 0) return 3;
  return 0;  // the image functions reject it
}

int depth(const char* value) {
  for (int i = 0; const char* name : {"OfxBitDepthByte", "OfxBitDepthShort", "OfxBitDepthHalf", "OfxBitDepthFloat"}) {
    if (std::strcmp(value, name) == 0) return i;
    ++i;
  }
  throw std::runtime_error("Unsupported OpenFX image depth");
}

}  // namespace

HostImage::HostImage(OfxImageClipHandle clip, double time) {
  OfxPropertySetHandle image = nullptr;
  check(effects->clipGetImage(clip, time, nullptr, &image));
  handle_ = image;
}

HostImage::~HostImage() {
  if (handle_ != nullptr) effects->clipReleaseImage(handle_);
}

Image HostImage::get() const {
  Image image;
  void* data = nullptr;
  check(props->propGetPointer(handle_, "OfxImagePropData", 0, &data));
  image.data = data;
  int bounds[4] = {0, 0, 0, 0};
  check(props->propGetIntN(handle_, "OfxImagePropBounds", 4, bounds));
  image.bounds = Rect{bounds[0], bounds[1], bounds[2], bounds[3]};
  check(props->propGetInt(handle_, "OfxImagePropRowBytes", 0, &image.rowBytes));
  image.components = components(string(handle_, "OfxImageEffectPropComponents"));
  char* d = nullptr;
  const bool readable = props->propGetString(handle_, "OfxImageEffectPropPixelDepth", 0, &d) == kOfxStatOK;
  image.depth = depth(readable && d != nullptr ? d : "");
  return image;
}

}  // namespace vl::ofx
