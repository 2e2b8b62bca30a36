#pragma once
// Handlers of the instance actions; each reports failure by throwing.
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
