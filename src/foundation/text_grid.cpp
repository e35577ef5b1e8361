// Blank text grids: allocation and cut writes.
#include "foundation/text_grid.h"

#include <cstring>

#include "foundation/pool.h"

namespace kivo {

ut_bg* ut_alloc_bg(POOL* pool, uint16_t rows, uint16_t cols) {
  if (!pool || rows == 0 || cols == 0) return nullptr;
  size_t cells = static_cast<size_t>(rows) * cols;
  auto* grid = static_cast<ut_bg*>(MM_ALLOC(pool, sizeof(ut_bg) + cells));
  if (!grid) return nullptr;
  grid->buf = reinterpret_cast<char*>(grid + 1);
  grid->rows = rows;
  grid->cols = cols;
  memset(grid->buf, ' ', cells);
  return grid;
}

void ut_free_bg(ut_bg* grid) {
  if (grid) mm_free(grid);
}

const char* ut_bg_row(const ut_bg* grid, int row) {
  if (!grid || row < 1 || row > grid->rows) return nullptr;
  return grid->buf + static_cast<size_t>(row - 1) * grid->cols;
}

void ut_bg_ncpy(ut_bg* grid, const char* text, int row, int col, size_t max) {
  if (!grid || !text || max == 0 || row < 1 || row > grid->rows || col < 1 || col > grid->cols) return;
  size_t room = static_cast<size_t>(grid->cols - col + 1);
  size_t n = strnlen(text, max < room ? max : room);
  memcpy(grid->buf + static_cast<size_t>(row - 1) * grid->cols + (col - 1), text, n);
}

void ut_bg_cpy(ut_bg* grid, const char* text, int row, int col) {
  if (grid) ut_bg_ncpy(grid, text, row, col, grid->cols);
}

void ut_bg_center(ut_bg* grid, const char* text, int row) {
  if (!grid || !text) return;
  size_t n = strnlen(text, grid->cols);
  ut_bg_ncpy(grid, text, row, static_cast<int>((grid->cols - n) / 2) + 1, n);
}

}  // namespace kivo
