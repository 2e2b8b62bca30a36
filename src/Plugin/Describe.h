#pragma once
#include "ofx.h"

namespace vl::ofx {

OfxStatus describe(OfxImageEffectHandle descriptor);
OfxStatus describeInContext(OfxImageEffectHandle descriptor);

}  // namespace vl::ofx
