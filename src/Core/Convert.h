#pragma once
// Host components to 16-bit samples, one row at a time, with the fastest code the
// processor runs; every variant gives the same samples as the portable one.
#include <cstdint>

namespace vl {

// Converts width pixels of components (3 or 4) values of the depth code into
// width x 3 samples; a fourth component is skipped. Unless copy is null, the
// row's bytes also go there unchanged, read once for both.
using RowConverter = void (*)(const void* in, std::uint16_t* out, std::int32_t width, void* copy);

RowConverter rowConverter(std::int32_t depth, std::int32_t components);
// The plain C++ variant, for comparison.
RowConverter portableRowConverter(std::int32_t depth, std::int32_t components);

}  // namespace vl
