#pragma once
// Which render of a frame captures its picture. A host may render one frame time in
// horizontal strips, each a render of its own that is handed the whole source picture:
// the first strip captures it, the others only copy their rows. A render covering rows
// already rendered at the same time is that frame rendered again (a paused
// frame after an upstream edit), so it is a new picture.
#include <array>

namespace vl::ofx {

struct RenderedRows {
  double time = 0.0;
  int count = 0;  // spans in use; none before the first render
  std::array<std::array<int, 2>, 8> spans{};  // [y1, y2), disjoint and not touching
};

// Records rows [y1, y2) as rendered; true when they start a new picture. An empty
// window renders nothing and starts nothing.
bool startsPicture(RenderedRows& rows, double time, int y1, int y2);

}  // namespace vl::ofx
