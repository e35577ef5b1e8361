// Subdivision of a rectangle B by a rectangle A: the part of B inside A and
// at most four pieces around it. The pieces above and below take B's full
// width; left and right take only the rows that B shares with A, so no cell
// is in two pieces.
#include "foundation/rect.h"

#include <algorithm>

namespace kivo {

namespace {

void add_piece(ut_subdiv_out* out, int32_t top, int32_t left, int32_t bottom, int32_t right) {
  out->piece[out->count++] = ut_rect{{top, left}, {bottom, right}};
}

}  // namespace

int ut_subdiv(ut_point a_tl, ut_point a_br, ut_point b_tl, ut_point b_br, ut_subdiv_out* out) {
  if (b_br.row < a_tl.row || b_tl.row > a_br.row || b_br.col < a_tl.col || b_tl.col > a_br.col) return 0;
  ut_rect in{{std::max(a_tl.row, b_tl.row), std::max(a_tl.col, b_tl.col)},
             {std::min(a_br.row, b_br.row), std::min(a_br.col, b_br.col)}};
  out->count = 0;
  out->inter = in;
  if (b_tl.row < in.tl.row) add_piece(out, b_tl.row, b_tl.col, in.tl.row - 1, b_br.col);
  if (b_br.row > in.br.row) add_piece(out, in.br.row + 1, b_tl.col, b_br.row, b_br.col);
  if (b_tl.col < in.tl.col) add_piece(out, in.tl.row, b_tl.col, in.br.row, in.tl.col - 1);
  if (b_br.col > in.br.col) add_piece(out, in.tl.row, in.br.col + 1, in.br.row, b_br.col);
  return 1;
}

}  // namespace kivo
