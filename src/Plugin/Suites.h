#pragma once
// Process-wide host state: written by setHost and the load action, read-only afterwards.
#include "ofx.h"

#include <atomic>
#include <cstdint>

namespace vl::ofx {

extern OfxHost* host;
extern const OfxPropertySuiteV1* props;
extern const OfxImageEffectSuiteV1* effects;
extern const OfxParameterSuiteV1* params;
extern std::atomic<std::uint64_t> renders;
extern std::atomic<std::int32_t> errors;

// Throws the one message for a host call that must succeed.
void check(OfxStatus status);

}  // namespace vl::ofx
