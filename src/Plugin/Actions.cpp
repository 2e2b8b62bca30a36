#include "Actions.h"

namespace vl::ofx {

OfxStatus createInstance(OfxImageEffectHandle) { return kOfxStatOK; }
OfxStatus destroyInstance(OfxImageEffectHandle) { return kOfxStatOK; }
OfxStatus render(OfxImageEffectHandle, OfxPropertySetHandle) { return kOfxStatOK; }
OfxStatus instanceChanged(OfxImageEffectHandle, OfxPropertySetHandle) { return kOfxStatOK; }
OfxStatus clipPreferences(OfxImageEffectHandle, OfxPropertySetHandle) { return kOfxStatOK; }
OfxStatus regionsOfInterest(OfxImageEffectHandle, OfxPropertySetHandle, OfxPropertySetHandle) {
  return kOfxStatOK;
}
OfxStatus beginSequence(OfxImageEffectHandle, OfxPropertySetHandle) { return kOfxStatOK; }
OfxStatus endSequence(OfxImageEffectHandle) { return kOfxStatOK; }

}  // namespace vl::ofx
