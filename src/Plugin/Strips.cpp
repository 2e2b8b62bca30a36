#include "Strips.h"

#include <algorithm>

namespace vl::ofx {

bool startsPicture(RenderedRows& rows, double time, int y1, int y2) {
  if (y2 <= y1) return false;
  bool fresh = rows.count == 0 || rows.time != time;
  for (int i = 0; i < rows.count && !fresh; ++i) fresh = y1 < rows.spans[i][1] && rows.spans[i][0] < y2;
  if (fresh) {
    rows.time = time;
    rows.count = 0;
  }
  // Touching spans merge, so strips rendered in order stay one span.
  int lo = y1, hi = y2, kept = 0;
  for (int i = 0; i < rows.count; ++i) {
    if (rows.spans[i][1] == lo) {
      lo = rows.spans[i][0];
    } else if (rows.spans[i][0] == hi) {
      hi = rows.spans[i][1];
    } else {
      rows.spans[kept++] = rows.spans[i];
    }
  }
  rows.count = kept;
  if (rows.count == static_cast<int>(rows.spans.size())) {
    // Out of room: the hull stands in, so a later strip in one of its gaps counts as a
    // new picture. Only a host rendering many strips out of order gets here.
    for (int i = 1; i < rows.count; ++i) {
      rows.spans[0][0] = std::min(rows.spans[0][0], rows.spans[i][0]);
      rows.spans[0][1] = std::max(rows.spans[0][1], rows.spans[i][1]);
    }
    rows.count = 1;
  }
  rows.spans[rows.count++] = {lo, hi};
  return fresh;
}

}  // namespace vl::ofx
