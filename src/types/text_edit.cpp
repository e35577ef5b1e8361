// Join, split and paragraph end over the display text of a wrapped alpha
// field. The text is addressed as one run of rows x columns characters; a
// row's characters lie at its start plus the stride.
#include "types/text_edit.h"

#include "foundation/com.h"

namespace kivo {

namespace {

struct text_view {
  text_cnv* c;
  int32_t cols;
  int64_t total;
  char& at(int64_t i) const {
    const int64_t stride = c->ext_stride ? c->ext_stride : c->ext_cols;
    return c->ext_addr[(i / cols) * stride + i % cols];
  }
};

bool is_alpha(const text_cnv* c) { return c->cnv_type == 1 || c->cnv_type == 2; }

// The view and the cursor's index, or false for a position outside the
// text or a non-alpha item (status CV_NOT_ALPHA).
bool open_view(text_cnv* c, const text_pos* pos, text_view* v, int64_t* cursor) {
  if (!is_alpha(c)) {
    c->cnv_status = CV_NOT_ALPHA;
    return false;
  }
  if (c->ext_rows < 1 || c->ext_cols < 1 || !pos) return false;
  if (pos->row < 1 || pos->row > c->ext_rows || pos->col < 1 || pos->col > c->ext_cols) return false;
  *v = {c, c->ext_cols, int64_t{c->ext_rows} * c->ext_cols};
  *cursor = int64_t{pos->row - 1} * c->ext_cols + (pos->col - 1);
  return true;
}

int convert_in(text_cnv* c) { return c->etoi ? c->etoi(c->block) : 0; }
int convert_out(text_cnv* c) { return c->itoe ? c->itoe(c->block) : 0; }

}  // namespace

int cv_join(text_cnv* c, const text_pos* pos) {
  text_view v;
  int64_t cur;
  if (!open_view(c, pos, &v, &cur)) return 0;
  const int64_t start = cur + 1;  // the next row's start when on the last column
  if (start >= v.total || v.at(start) != ' ') return 0;
  int64_t from = start;
  while (from < v.total && v.at(from) == ' ') ++from;
  if (from == v.total) return 0;
  // A character under the cursor stays: the text closes up behind it.
  const int64_t to = v.at(cur) == ' ' ? cur : start;
  int64_t k = to;
  for (int64_t i = from; i < v.total; ++i) v.at(k++) = v.at(i);
  while (k < v.total) v.at(k++) = ' ';
  convert_in(c);
  return convert_out(c);
}

int cv_split(text_cnv* c, const text_pos* pos) {
  text_view v;
  int64_t cur;
  if (!open_view(c, pos, &v, &cur)) return 0;
  int64_t last = v.total - 1;
  while (last >= 0 && v.at(last) == ' ') --last;
  if (last < 0 || last == v.total - 1) return 0;
  if (last < cur) return convert_in(c);
  const int64_t shift = v.total - 1 - last;
  for (int64_t i = last; i >= cur; --i) v.at(i + shift) = v.at(i);
  for (int64_t i = cur; i < cur + shift; ++i) v.at(i) = ' ';
  return convert_in(c);
}

int cv_end_parag(text_cnv* c, text_pos* pos) {
  text_view v;
  int64_t cur;
  if (!open_view(c, pos, &v, &cur)) return 0;
  // Just before the cursor, never before the text's first position.
  v.at(cur > 0 ? cur - 1 : 0) = static_cast<char>(com.parag_char);
  convert_in(c);
  c->addr_mode = 0;
  if (pos->row < c->ext_rows) {
    ++pos->row;
    pos->col = 1;
  } else if (pos->col < c->ext_cols) {
    ++pos->col;
  }
  return convert_out(c);
}

}  // namespace kivo
