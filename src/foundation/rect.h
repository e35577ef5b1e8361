// Rectangles of screen cells and their subdivision, for composing windows
// that overlap. Corners are inclusive; rows and columns grow down and right.
#pragma once

#include <cstdint>

namespace kivo {

struct ut_point {
  int32_t row;
  int32_t col;
};

struct ut_rect {
  ut_point tl;  // top-left
  ut_point br;  // bottom-right
};

// The intersection of B with A and the pieces of B outside A, in the order
// above, below, left, right (only those that exist; `count` of them).
struct ut_subdiv_out {
  int32_t count;
  ut_rect inter;
  ut_rect piece[4];
};

// 0 when B does not overlap A; else 1 and `out` filled.
int ut_subdiv(ut_point a_tl, ut_point a_br, ut_point b_tl, ut_point b_br, ut_subdiv_out* out);

}  // namespace kivo
