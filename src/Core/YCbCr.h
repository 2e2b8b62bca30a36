#pragma once
// 16-bit RGB frames to the 4:2:0 Y'CbCr planes an encoder takes, limited range.
#include "Core/Image.h"

#include <cstddef>
#include <cstdint>

namespace vl {

enum class PlaneLayout {
  nv12,       // 8-bit Y' plane, then one plane of interleaved Cb, Cr bytes
  p010,       // as nv12 with 16-bit words holding the 10-bit code in the top bits
  yuv420p,    // 8-bit Y', Cb and Cr planes
  yuv420p10,  // three planes of 16-bit words holding the 10-bit code in the low bits
};

enum class Matrix { rec709, rec2020 };

// Row starts and strides of the destination; unused planes stay null.
struct Planes {
  std::uint8_t* data[3] = {};
  std::ptrdiff_t bytesPerRow[3] = {};
};

// The settings' signal format: 0 is SDR Rec. 709, the HDR formats use Rec. 2020.
Matrix matrixFor(int color);
bool isTenBit(PlaneLayout layout);

// Writes every sample of the planes from one pass over the frame. Each 2x2 block
// takes the plain average of its four colour differences. Throws when the frame
// is odd-sized or holds fewer samples than its size says.
void convertToYCbCr(const Frame& frame, Matrix matrix, PlaneLayout layout, const Planes& planes);

}  // namespace vl
