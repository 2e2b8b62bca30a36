#pragma once
// An image fetched from a host clip, released when the scope ends on any path.
#include "ofx.h"

#include "Core/Image.h"

namespace vl::ofx {

class HostImage {
public:
  HostImage(OfxImageClipHandle clip, double time);  // the whole clip; must succeed
  ~HostImage();
  HostImage(const HostImage&) = delete;
  HostImage& operator=(const HostImage&) = delete;

  OfxPropertySetHandle handle() const { return handle_; }
  // Throws "Unsupported OpenFX image depth" for a depth outside the four.
  Image get() const;

private:
  OfxPropertySetHandle handle_ = nullptr;
};

}  // namespace vl::ofx
