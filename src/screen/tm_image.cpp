// The cell image: text runs, scrolls, frames, glyphs, the saved screen and
// the field scans. Every write is bounded by the grid.
#include "screen/tm_image.h"

#include <algorithm>
#include <cstring>

#include "foundation/sys_err.h"

namespace kivo {

namespace {

constexpr uint8_t kDefaultBox[kBoxChars] = {'+', '+', '+', '+', '|', '-', '+', '+', '+', '+', '+', '.'};

// Box index by the four line bits; -1 = blank (no line or a single stub).
constexpr int8_t kBoxByLines[16] = {-1, -1, -1, 5, -1, 3, 2, 6, -1, 1, 0, 7, 4, 8, 9, 10};

void clear_cell(tm_cell* c) { *c = tm_cell{0, 0, 0}; }

}  // namespace

tm_term* tm_image_new(int rows, int cols) {
  auto* t = new tm_term;
  t->rows = std::clamp(rows, 1, kTmMaxDim);
  t->cols = std::clamp(cols, 1, kTmMaxDim);
  t->cells.assign(static_cast<size_t>(t->rows) * t->cols, tm_cell{0, 0, 0});
  memcpy(t->box, kDefaultBox, kBoxChars);
  t->cut.assign(t->cols, 0);
  return t;
}

void tm_image_free(tm_term* t) { delete t; }

int tm_upd_scr(tm_term* t, const tm_text_run& run) {
  if (run.row < 1 || run.row > t->rows || run.col < 1 || run.col > t->cols) return 0;
  int n = std::min<int>(run.len, t->cols - run.col + 1);
  for (int i = 0; i < n; ++i) {
    int col = run.col + i;  // 1-based
    uint16_t attr = 0;
    for (int r = 0; r < run.nruns; ++r) {
      const tm_attr_run& a = run.runs[r];
      if (col >= a.col && col < a.col + a.len) {
        attr = static_cast<uint16_t>((a.attr & CELL_ATTR_MASK) | (a.chr ? 0x80 : 0));
        break;
      }
    }
    uint8_t ch = run.text[i];
    if (ch == ' ' && (attr & CELL_PSEUDO) == CELL_PSEUDO) ch = kPseudoFillChar;
    *tm_at(t, run.row - 1, col - 1) = tm_cell{ch, 0, attr};
  }
  return 1;
}

namespace {

// Copies the cell at the source into dst, or clears dst when the source lies
// outside [lo, hi).
void move_cell(tm_cell* dst, const tm_cell* src, bool inside) {
  if (!inside) return clear_cell(dst);
  *dst = *src;
  dst->line &= LINE_KEPT;
}

}  // namespace

int tm_scroll(tm_term* t, int row, int col, int nrows, int ncols, int direction, int count) {
  if (direction < SCROLL_UP || direction > SCROLL_RIGHT) {
    sys_err("TMUNIX", __LINE__, "tm_scroll() - FAILURE: hit default.  Shouldn't get here.");
    return 0;
  }
  int64_t r0 = std::max(row - 1, 0), c0 = std::max(col - 1, 0);
  int64_t r1 = std::min<int64_t>(int64_t{row} - 1 + nrows, t->rows);
  int64_t c1 = std::min<int64_t>(int64_t{col} - 1 + ncols, t->cols);
  if (r0 >= r1 || c0 >= c1 || count <= 0) return 1;
  int64_t k = count;
  if (direction == SCROLL_UP) {
    for (int64_t r = r0; r < r1; ++r)
      for (int64_t c = c0; c < c1; ++c)
        move_cell(tm_at(t, r, c), r + k < r1 ? tm_at(t, r + k, c) : nullptr, r + k < r1);
  } else if (direction == SCROLL_DOWN) {
    for (int64_t r = r1 - 1; r >= r0; --r)
      for (int64_t c = c0; c < c1; ++c)
        move_cell(tm_at(t, r, c), r - k >= r0 ? tm_at(t, r - k, c) : nullptr, r - k >= r0);
  } else if (direction == SCROLL_LEFT) {
    for (int64_t r = r0; r < r1; ++r)
      for (int64_t c = c0; c < c1; ++c)
        move_cell(tm_at(t, r, c), c + k < c1 ? tm_at(t, r, c + k) : nullptr, c + k < c1);
  } else {
    for (int64_t r = r0; r < r1; ++r)
      for (int64_t c = c1 - 1; c >= c0; --c)
        move_cell(tm_at(t, r, c), c - k >= c0 ? tm_at(t, r, c - k) : nullptr, c - k >= c0);
  }
  return 1;
}

namespace {

// A frame's edges, 0-based and inclusive, possibly beyond the screen.
struct frame_box {
  int64_t top, left, bottom, right;
  uint32_t flags;
};

void line_bits(tm_term* t, int64_t r, int64_t c, uint8_t set, uint8_t clear) {
  if (r < 0 || r >= t->rows || c < 0 || c >= t->cols) return;
  tm_cell* cell = tm_at(t, r, c);
  cell->line = static_cast<uint8_t>((cell->line & ~clear) | set);
}

// The cells strictly between the side columns that lie on the screen.
void between(tm_term* t, const frame_box& f, int64_t r, uint8_t set, uint8_t clear) {
  int64_t from = std::max<int64_t>(f.left + 1, 0), to = std::min<int64_t>(f.right - 1, t->cols - 1);
  for (int64_t c = from; c <= to; ++c) line_bits(t, r, c, set, clear);
}

void middle_row(tm_term* t, const frame_box& f, int64_t r) {
  if (f.flags & FRAME_ERASE) {
    line_bits(t, r, f.left, 0, LINE_RIGHT | LINE_UP | LINE_DOWN);
    line_bits(t, r, f.right, 0, LINE_LEFT | LINE_UP | LINE_DOWN);
    between(t, f, r, 0, LINE_DRAWN);
  }
  if (f.flags & FRAME_DRAW) {
    line_bits(t, r, f.left, LINE_UP | LINE_DOWN, 0);
    line_bits(t, r, f.right, LINE_UP | LINE_DOWN, 0);
  }
}

void edge_row(tm_term* t, const frame_box& f, int64_t r, bool top) {
  bool under = top ? (f.flags & FRAME_TOP_UNDER) : (f.flags & FRAME_BOTTOM_UNDER);
  if (under) {
    for (int64_t c = f.left; c <= f.right; ++c) line_bits(t, r, c, LINE_UNDER, 0);
    if (!top && (f.flags & FRAME_DRAW)) {
      line_bits(t, r, f.left, LINE_UP | LINE_DOWN, 0);
      line_bits(t, r, f.right, LINE_UP | LINE_DOWN, 0);
    }
    return;
  }
  uint8_t vert = top ? LINE_DOWN : LINE_UP;
  if (f.flags & FRAME_ERASE) {
    line_bits(t, r, f.left, 0, LINE_LEFT | LINE_RIGHT | vert);
    line_bits(t, r, f.right, 0, LINE_LEFT | LINE_RIGHT | vert);
    between(t, f, r, 0, LINE_DRAWN);
  }
  if (f.flags & FRAME_DRAW) {
    line_bits(t, r, f.left, LINE_RIGHT | vert, 0);
    line_bits(t, r, f.right, LINE_LEFT | vert, 0);
    between(t, f, r, LINE_LEFT | LINE_RIGHT, 0);
  }
}

void apply_frame(tm_term* t, const uint32_t* e) {
  frame_box f{int64_t{e[0]} - 1, int64_t{e[1]} - 1, int64_t{e[2]} - 1, int64_t{e[3]} - 1, e[4]};
  if (f.flags & FRAME_OUTSIDE) {
    if (!(f.flags & FRAME_TOP_UNDER)) --f.top;
    if (!(f.flags & FRAME_BOTTOM_UNDER)) ++f.bottom;
    --f.left;
    ++f.right;
  }
  if (f.bottom < 0 || f.right < 0 || f.top >= t->rows || f.left >= t->cols) return;
  for (int64_t r = std::max<int64_t>(f.top, 0); r <= f.bottom && r < t->rows; ++r) {
    if (r == f.top) edge_row(t, f, r, true);
    else if (r == f.bottom) edge_row(t, f, r, false);
    else middle_row(t, f, r);
  }
}

}  // namespace

void tm_apply_frames(tm_term* t, const uint32_t* entries, uint32_t count) {
  for (tm_cell& c : t->cells) c.line &= static_cast<uint8_t>(~LINE_DRAWN);
  for (uint32_t i = 0; entries && i < count; ++i) apply_frame(t, entries + size_t{i} * kFrameWords);
}

tm_glyph tm_cell_glyph(const tm_term* t, const tm_cell& c) {
  tm_glyph g{' ', false, false};
  uint8_t lines = c.line & 0x0F;
  if (c.line & LINE_UNDER) g.underline = true;
  if (lines && ((lines & (LINE_UP | LINE_DOWN)) || !(c.line & LINE_UNDER))) {
    int idx = kBoxByLines[lines];
    if (idx >= 0) g = tm_glyph{t->box[idx], t->box_alt, false};
    else g.underline = false;
    return g;
  }
  if (c.attr & CELL_EXCLUDE) return g;  // either no-display bit
  if (c.ch == kPseudoFillChar) return tm_glyph{t->box[kBoxFill], t->box_alt, g.underline};
  if (c.ch >= 32) g.ch = c.ch;
  return g;
}

void tm_row_text(const tm_term* t, int row, char* out) {
  const tm_cell* cells = &t->cells[static_cast<size_t>(row) * t->cols];
  for (int c = 0; c < t->cols; ++c) out[c] = static_cast<char>(tm_cell_glyph(t, cells[c]).ch);
}

namespace {

int compared_rows(const tm_term* t) { return std::max(t->rows - kTmUncompared, 0); }

}  // namespace

void save_screen(tm_term* t) {
  int rows = compared_rows(t);
  t->saved.resize(static_cast<size_t>(rows) * t->cols);
  for (int r = 0; r < rows; ++r)
    tm_row_text(t, r, reinterpret_cast<char*>(&t->saved[static_cast<size_t>(r) * t->cols]));
}

int compare_screen(const tm_term* t) {
  int rows = compared_rows(t);
  if (t->saved.size() != static_cast<size_t>(rows) * t->cols || t->saved.empty()) return 1;
  for (size_t i = 0; i < t->saved.size(); ++i) {
    const tm_cell& c = t->cells[i];
    if ((c.attr & CELL_EXCLUDE) == CELL_EXCLUDE) continue;
    if (tm_cell_glyph(t, c).ch != t->saved[i]) return 1;
  }
  return 0;
}

void extent(const tm_term* t, int row, int col, int* start, int* len, uint16_t mask) {
  *start = col;
  *len = 0;
  if (row < 0 || row >= t->rows || col < 0 || col >= t->cols) return;
  const tm_cell* cells = &t->cells[static_cast<size_t>(row) * t->cols];
  if (!tm_cell_match(cells[col], mask)) return;
  int s = col, e = col;
  while (s > 0 && tm_cell_match(cells[s - 1], mask)) --s;
  while (e + 1 < t->cols && tm_cell_match(cells[e + 1], mask)) ++e;
  *start = s;
  *len = e - s + 1;
}

int find_field(const tm_term* t, int dir, int row, int col, int* out_row, int* out_col, uint16_t mask, bool skip) {
  if (row < 0 || row >= t->rows || col < 0 || col >= t->cols) {
    sys_err("TMUNIX", __LINE__, dir > 0 ? "find_field(+) wrapped wrong" : "find_field(-) wrapped wrong");
    return 0;
  }
  const int64_t total = int64_t{t->rows} * t->cols;
  const int step = dir > 0 ? 1 : -1;
  int64_t p = int64_t{row} * t->cols + col, moved = 0;
  if (skip) {
    // The current field ends at the row's edge as well.
    while (moved < t->cols && tm_cell_match(t->cells[p], mask)) {
      ++moved;
      bool edge = step > 0 ? (p % t->cols == t->cols - 1) : (p % t->cols == 0);
      p = (p + step + total) % total;
      if (edge) break;
    }
  }
  for (int64_t n = total - moved; n > 0; --n, p = (p + step + total) % total) {
    if (!tm_cell_match(t->cells[p], mask)) continue;
    *out_row = static_cast<int>(p / t->cols);
    *out_col = static_cast<int>(p % t->cols);
    return 1;
  }
  return 0;
}

}  // namespace kivo
