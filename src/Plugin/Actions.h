#pragma once
// Instance and render handlers; they answer OK until the instance work lands.
#include "ofx.h"

namespace vl::ofx {

OfxStatus createInstance(OfxImageEffectHandle effect);
OfxStatus destroyInstance(OfxImageEffectHandle effect);
OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);
OfxStatus instanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);
OfxStatus clipPreferences(OfxImageEffectHandle effect, OfxPropertySetHandle outArgs);
OfxStatus regionsOfInterest(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs,
                            OfxPropertySetHandle outArgs);
OfxStatus beginSequence(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);
OfxStatus endSequence(OfxImageEffectHandle effect);

}  // namespace vl::ofx
