// Writing an image into a buffer (rm_write_img) and its steps: invisible
// cells blanked, floating items moved left, blank rows compressed, the place
// chosen in a window, then blank lines, rows, messages, a separator and
// reserved lines written at the buffer's next free lines.
//
// Everything is clipped at the buffer's width: text and characteristics
// alike, so that no run starts or ends beyond the line that is printed.
#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/bytes.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "process/rm_internal.h"
#include "process/rm_view.h"

namespace kivo {

namespace {

uint8_t* cell(RPT_XIMG* x, uint32_t cols, uint32_t r, uint32_t c) { return x->cells + (r * cols + c) * kRmCellSize; }

// Where the image goes: its buffer, first column and the flag that lets its
// first written line start a block.
struct place {
  const uint8_t* img;
  RPT_XIMG* x;
  RPT_BUF* b;
  uint32_t col0;
  bool first;
};

// Line `n` into the work line: the existing one (held), or a new blank one.
bool open_line(RPT_BUF* b, uint32_t n) {
  if (ln_read(b, n, b->work)) return true;
  ln_blank(b, b->work, n);
  return false;
}

void put_text(RPT_BUF* b, uint32_t col, const char* text, uint32_t len) {
  if (col == 0 || col > b->width) return;
  memcpy(b->work + LN_TEXT + col - 1, text, std::min<uint32_t>(len, b->width - col + 1));
}

// Block start and placeholder of a line the image writes into, then the write.
bool close_line(place& p, bool exists, const char* rewrite_text, const char* write_text) {
  uint8_t* w = p.b->work;
  w[LN_PLACEHOLDER] = 0;
  w[LN_BLOCK] = exists ? (p.first && rpt_line_view(w).block()) : p.first;
  p.first = false;
  if (ln_write(p.b, w, exists)) return true;
  sys_err(kRmImgMod, __LINE__, "%s", exists ? rewrite_text : write_text);
  return false;
}

// Runs of equal cells with an attribute besides invisibility; their count.
int row_chrs(place& p, uint32_t line, uint32_t r) {
  const uint32_t cols = rpt_img_view(p.img).cols();
  int count = 0;
  for (uint32_t k = 0; k < cols;) {
    const uint8_t* c = cell(p.x, cols, r, k);
    uint32_t j = k + 1;
    while (j < cols && memcmp(cell(p.x, cols, r, j), c, 5) == 0) ++j;
    const uint32_t attr = ld_le32(c, 0);
    if (attr & ~kRmAttrInvisible) {
      const int w = chr_write(p.b, line, attr, p.col0 + k, j - k, c[4]);
      if (w < 0) return sys_err(kRmImgMod, __LINE__, "bad chr write"), -1;
      count += w;
    }
    k = j;
  }
  return count;
}

uint32_t fill_buffer(place& p, uint32_t line) {
  const uint32_t cols = rpt_img_view(p.img).cols();
  for (uint32_t r = 0; r < rpt_img_view(p.img).rows(); ++r) {
    const uint32_t n = ++line;
    const int count = row_chrs(p, n, r);
    if (count < 0) return line;
    const bool exists = open_line(p.b, n);
    put_text(p.b, p.col0, p.x->text + r * cols, cols);
    st_le32(p.b->work, LN_NCHR, (exists ? rpt_line_view(p.b->work).nchr() : 0) + uint32_t(count));
    if (!close_line(p, exists, "write_img - Buf rewrite", "write_img - Buf write")) return line;
  }
  return line;
}

uint32_t add_msg(place& p, ARB* msgs, uint32_t line) {
  const uint32_t cols = rpt_img_view(p.img).cols();
  while (const uint8_t* m = rm_from(msgs, nullptr, true)) {
    const char* text = reinterpret_cast<const char*>(m + RMSG_TEXT);
    const uint32_t len = uint32_t(ut_buflen(text, kRmMsgTextLen));
    const uint32_t pieces = std::max<uint32_t>(1, cols ? (len + cols - 1) / cols : 1);
    for (uint32_t k = 0; k < pieces; ++k) {
      const bool exists = open_line(p.b, ++line);
      if (len > k * cols) put_text(p.b, p.col0, text + k * cols, std::min(cols, len - k * cols));
      if (!close_line(p, exists, "add_msg() - buffer rewrite failed", "add_msg() - buffer write failed")) break;
    }
    if (!rm_find(msgs, const_cast<uint8_t*>(m), true) || !rm_del(msgs)) {
      sys_err(kRmImgMod, __LINE__, "add_msg() - message delete failed");
      break;
    }
  }
  return line;
}

uint32_t add_separator(place& p, uint32_t line) {
  const bool exists = open_line(p.b, ++line);
  const std::string sep(rpt_img_view(p.img).cols(), char(rpt_img_view(p.img).separator()));
  put_text(p.b, p.col0, sep.data(), uint32_t(sep.size()));
  close_line(p, exists, "add_separator() - buffer rewrite failed", "write_img - Write of lines");
  return line;
}

// Blank lines before the image: the first may start the block.
uint32_t lines_before(place& p, uint32_t line) {
  const uint32_t n = rpt_img_view(p.img).before(), cols = rpt_img_view(p.img).cols();
  const std::string blanks(cols, ' ');
  for (uint32_t k = 0; k < n; ++k) {
    uint8_t* w = p.b->work;
    const bool exists = open_line(p.b, ++line);
    w[LN_PLACEHOLDER] = 0;
    if (exists) {
      if (k > 0) w[LN_BLOCK] = 0;
      put_text(p.b, p.col0, blanks.data(), cols);
    } else {
      w[LN_BLOCK] = k == 0;
    }
    if (!ln_write(p.b, w, exists))
      sys_err(kRmImgMod, __LINE__, exists ? "write_img() - buffer rewrite failed" : "write_img - Buf write");
  }
  return line;
}

// Blank lines after as plain lines, then the reserved placeholder lines.
void reserve(RPT_BUF* b, uint32_t line, uint32_t after, uint32_t reserved) {
  uint8_t* w = b->work;
  for (uint32_t n = line - after + 1; n <= line; ++n) {
    const bool exists = open_line(b, n);
    w[LN_PLACEHOLDER] = w[LN_BLOCK] = 0;
    if (!ln_write(b, w, exists))
      sys_err(kRmImgMod, __LINE__, exists ? "write_img() - buffer rewrite failed" : "buf line write failed");
  }
  for (uint32_t n = line + 1; n <= line + reserved; ++n) {
    const bool exists = open_line(b, n);
    if (exists && n <= b->last_line) {
      rm_unhold(b->line_arb);
      continue;
    }
    w[LN_PLACEHOLDER] = 1;
    if (!ln_write(b, w, exists))
      sys_err(kRmImgMod, __LINE__, exists ? "write_img() - buffer rewrite failed" : "buf line write failed");
  }
}

bool restart(RPT_WND* w) {
  w->cur_region = 0;
  w->cur_line = w->cur_col = 0;
  return false;
}

// Type 2: the next region that is free at the current line, left to right.
bool next_side_by_side(RPT_BUF* b, RPT_WND* w) {
  for (;;) {
    if (++w->cur_region > w->regions) return restart(w);
    uint32_t c = w->cur_region % w->across;
    if (c == 0) c = w->across;
    const uint32_t start = (c - 1) * w->reg_cols + w->first_col;
    if (c == 1) {
      w->cur_line = max_height(b, start, start + w->reg_cols) + 1;
      w->cur_col = start;
      return true;
    }
    bool busy = false;
    for (uint32_t k = start; k < start + w->reg_cols && k <= b->width; ++k) busy |= b->heights()[k] >= w->cur_line;
    if (!busy) {
      w->cur_col = start;
      return true;
    }
  }
}

// Type 3: the first column of regions, from the current one, with room for
// the image, its messages, separator and blank lines after.
bool next_flowing(const uint8_t* img, RPT_BUF* b, RPT_WND* w, ARB* msgs) {
  const rpt_img_view im(img);
  const uint32_t need =
      w->reg_rows + (msgs ? msg_line_cnt(msgs, im.cols()) : 0) + im.after() + (im.separator() != ' ' ? 1 : 0);
  for (;;) {
    w->cur_line = max_height(b, w->cur_col, w->cur_col + w->reg_cols - 1) + 1;
    if (w->cur_line + need <= w->first_line + w->rows) return true;
    w->cur_col += w->reg_cols;
    if (++w->cur_region > w->across) return restart(w);
  }
}

void scroll_pos(const uint8_t* img, RPT_BUF* b, RPT_WND* w, ARB* msgs, RPT_BUF* region) {
  switch (w->type) {
    case 1:
      if (++w->cur_region > w->regions) {
        sys_err(kRmImgMod, __LINE__, "scroll_pos - matrix down scrolling didn't flush");
        --w->cur_region;
      }
      region->id = w->cur_region;
      return;
    case 2: next_side_by_side(b, w); return;
    case 3: next_flowing(img, b, w, msgs); return;
    default: sys_err(kRmImgMod, __LINE__, "scroll_pos() - unexpected case switch");
  }
}

// Writes the window's state back to its record in the buffer.
void keep_window(RPT_BUF* b, const RPT_WND* w) {
  RPT_WND old;
  if (wnd_read(b, w->id, &old, true)) rm_reput(b->wnd_arb, reinterpret_cast<const uint8_t*>(w), sizeof *w);
}

void drop_region(RPT_BUF* region) {
  if (!region) return;
  rm_destroy_buf(region);
  rm_free_block(region);
}

}  // namespace

void invis_chr(const uint8_t* img, RPT_XIMG* x) {
  const uint32_t n = rpt_img_view(img).rows() * rpt_img_view(img).cols();
  for (uint32_t i = 0; i < n; ++i)
    if ((ld_le32(x->cells + i * kRmCellSize, 0) & 0x30) == kRmAttrInvisible) x->text[i] = ' ';
}

void float_item(RPT_BLK* rpt, const uint8_t* img, RPT_XIMG* x) {
  const uint32_t id = rpt_img_view(img).id(), cols = rpt_img_view(img).cols();
  RPT_ITM it{};
  it.img_id = id;
  for (const uint8_t* rec = rm_from(rpt->itm_arb, reinterpret_cast<uint8_t*>(&it), false); rec;
       rec = rm_next(rpt->itm_arb, false)) {
    memcpy(static_cast<void*>(&it), rec, sizeof it);
    if (it.img_id != id) break;
    if (it.flt == kRmFixed) continue;
    const uint32_t rows = uint32_t(it.cnv.ext_rows), len = uint32_t(it.cnv.ext_cols);
    uint32_t d = it.col;
    for (uint32_t r = it.row - 1; r < it.row - 1 + rows; ++r)
      for (uint32_t k = it.col - 1; k >= 1; --k)
        if (x->text[r * cols + k - 1] != ' ') {
          d = std::min(d, it.col - k);
          break;
        }
    const int64_t shift = int64_t(d) - (it.flt + 1);
    if (shift < 1) continue;
    for (uint32_t r = it.row - 1; r < it.row - 1 + rows; ++r) {
      char* t = x->text + r * cols + it.col - 1;
      memmove(t - shift, t, len);
      memset(t - shift + len, ' ', size_t(shift));
      uint8_t* c = cell(x, cols, r, it.col - 1);
      memmove(c - shift * kRmCellSize, c, len * kRmCellSize);
      memset(c + (int64_t(len) - shift) * int64_t(kRmCellSize), 0, size_t(shift) * kRmCellSize);
    }
  }
}

void cmprs_img(uint8_t* img, RPT_XIMG* x) {
  const uint8_t mode = rpt_img_view(img).compress();
  const uint32_t cols = rpt_img_view(img).cols();
  uint32_t rows = rpt_img_view(img).rows();
  auto blank = [&](uint32_t r) { return !x->kept[r] && ut_is_all(x->text + r * cols, ' ', cols); };
  auto clear = [&](uint32_t r) { memset(cell(x, cols, r, 0), 0, cols * kRmCellSize); };
  auto drop_trailing = [&] {
    while (rows > 0 && blank(rows - 1)) --rows;
  };
  if (mode & 2) drop_trailing();
  if (mode & 1) {
    int64_t free_row = -1;
    for (uint32_t r = 0; r < rows; ++r) {
      if (blank(r)) {
        clear(r);
        if (free_row < 0) free_row = r;
        continue;
      }
      if (free_row < 0) continue;
      const auto f = uint32_t(free_row);
      memcpy(x->text + f * cols, x->text + r * cols, cols);
      memcpy(cell(x, cols, f, 0), cell(x, cols, r, 0), cols * kRmCellSize);
      x->kept[f] = x->kept[r];
      memset(x->text + r * cols, ' ', cols);
      clear(r);
      x->kept[r] = 0;
      ++free_row;
    }
    if (mode == 3) drop_trailing();
  }
  st_le32(img, IMG_ROWS, rows);
}

uint32_t msg_line_cnt(ARB* msgs, uint32_t width) {
  uint32_t lines = 0;
  for (const uint8_t* m = rm_from(msgs, nullptr, true); m; m = rm_next(msgs, true)) {
    uint8_t rec[kRmMsgRecLen];
    memcpy(rec, m, kRmMsgRecLen);
    const auto len = uint16_t(ut_buflen(reinterpret_cast<const char*>(rec + RMSG_TEXT), kRmMsgTextLen));
    st_le16(rec, RMSG_LEN, len);
    rm_reput(msgs, rec, kRmMsgRecLen);
    lines += std::max<uint32_t>(1, width ? (len + width - 1) / width : 1);
  }
  return lines;
}

namespace {

// The report's work image, grown to len, holding a copy of src.
uint8_t* work_copy(RPT_BLK* rpt, const uint8_t* src, size_t len) {
  if (rpt->work_img_size < len) {
    if (rpt->work_img) mm_free(rpt->work_img);
    rpt->work_img = static_cast<uint8_t*>(MM_ALLOC(rpt->pool, len));
    rpt->work_img_size = uint32_t(len);
  }
  memcpy(rpt->work_img, src, len);
  return rpt->work_img;
}

// The line and column offset the image starts at in target; false when a
// window has no room left for it.
bool start_at(RPT_WND* wnd, RPT_BUF* target, RPT_BUF* region, uint8_t* img, ARB* msgs, uint32_t& line, uint32_t& off) {
  const rpt_img_view im(img);
  const uint32_t col = im.col();
  line = off = 0;
  if (wnd && wnd->cur_region) scroll_pos(img, target, wnd, msgs, region);
  if (wnd && wnd->cur_region) {
    line = wnd->cur_line - 1;
    off = wnd->cur_col - wnd->first_col;
    return true;
  }
  line = max_height(target, col, col + im.cols() - 1);
  if (!wnd) return true;
  if (wnd->rows < line + 1) return false;
  wnd->cur_region = 1;
  wnd->first_line = wnd->cur_line = line + 1;
  wnd->first_col = wnd->cur_col = col;
  if (region) region->id = 1;
  return true;
}

// Lays the image into the target from line and returns the line after it.
uint32_t lay_out(place& p, const rpt_img_view& im, RPT_XIMG* x, ARB* msgs, uint32_t line) {
  line = lines_before(p, line);
  if (x && x->text) line = fill_buffer(p, line);
  if (msgs) line = add_msg(p, msgs, line);
  if (im.separator() != ' ') line = add_separator(p, line);
  line += im.after();
  RPT_BUF* target = p.b;
  for (uint32_t c = p.col0; c < p.col0 + im.cols() && c <= target->width; ++c) target->heights()[c] = line;
  if (im.reserved()) {
    reserve(target, line, im.after(), im.reserved());
    target->last_line = std::max(target->last_line, line + im.reserved());
  } else {
    target->last_line = std::max(target->last_line, line);
  }
  return line;
}

// A scroll-down window's image went to a region of its own: store it.
int store_region(RPT_BUF* b, RPT_WND* wnd, RPT_BUF* region) {
  if (!rm_put(wnd->reg_arb, reinterpret_cast<const uint8_t*>(region), uint16_t(rm_buf_size(region->alloc_width)))) {
    sys_err(kRmImgMod, __LINE__, "write_img()");
    drop_region(region);
    return 0;
  }
  rm_free_block(region);
  if (wnd->cur_region == wnd->regions) rm_flush_reg(b, wnd, b->work);
  return 1;
}

}  // namespace

int rm_write_img(RPT_BLK* rpt, uint16_t img_id, ARB* msgs, uint16_t buf_id, RPT_WND* wnd) {
  const uint8_t* src = rm_image(rpt, img_id);
  if (!src) return sys_err(kRmImgMod, __LINE__, "rm_write_img - image read failed"), 0;
  const uint32_t src_rows = rpt_img_view(src).rows();
  uint8_t* img = work_copy(rpt, src, rm_img_len(src_rows, rpt_img_view(src).cols()));
  RPT_BUF* b = buf_id <= rpt->rpt_top->below->id ? rm_find_buf(rpt, buf_id) : nullptr;
  if (!b) return sys_err(kRmImgMod, __LINE__, "write_img - invalid buffer id"), 0;
  RPT_XIMG* x = rm_ximg(rpt, img);
  if (rpt_img_view(img).rows()) {
    if (!x) return sys_err(kRmImgMod, __LINE__, "write_img - No ximg provided"), 0;
    invis_chr(img, x);
    float_item(rpt, img, x);
    if (rpt_img_view(img).compress()) cmprs_img(img, x);
  }
  RPT_BUF* region = nullptr;
  if (wnd && wnd->type == 1 && !(region = rm_new_region(rpt, uint16_t(wnd->reg_cols))))
    return sys_err(kRmImgMod, __LINE__, "write_img - scroll down buf"), 0;
  RPT_BUF* target = region ? region : b;
  const rpt_img_view im(img);
  uint32_t line, off;
  if (!start_at(wnd, target, region, img, msgs, line, off)) {
    drop_region(region);  // the image waits for the next page
    rpt->status = RM_NO_FIT;
    return 0;
  }
  place p{img, x, target, im.col() + off, im.before() == 0};
  lay_out(p, im, x, msgs, line);
  if (x && x->cells) memset(x->cells, 0, size_t(src_rows) * im.cols() * kRmCellSize);
  if (wnd) keep_window(b, wnd);
  return region ? store_region(b, wnd, region) : 1;
}

}  // namespace kivo
