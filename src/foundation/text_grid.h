// Blank text grids: a rows x columns block of characters that callers fill
// at a row and column (both counted from 1) and then show or print.
//
// A write never leaves its row: text is cut at the row's end, and a write
// with a zero, null or outside argument does nothing. The grid and its
// characters are one allocation of the caller's pool.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

struct POOL;

struct ut_bg {
  char* buf;  // rows x cols characters, row by row, no terminators
  uint16_t rows;
  uint16_t cols;
};

// A blank grid from `pool`; null when the size is 0 or memory fails.
ut_bg* ut_alloc_bg(POOL* pool, uint16_t rows, uint16_t cols);
void ut_free_bg(ut_bg* grid);

// Writes the NUL-terminated `text` (at most `max` characters for ncpy) at
// `row`, `col`.
void ut_bg_cpy(ut_bg* grid, const char* text, int row, int col);
void ut_bg_ncpy(ut_bg* grid, const char* text, int row, int col, size_t max);

// Writes `text`, cut to the width, centred in `row`.
void ut_bg_center(ut_bg* grid, const char* text, int row);

// The characters of `row` (cols of them), or null outside the grid.
const char* ut_bg_row(const ut_bg* grid, int row);

}  // namespace kivo
