// Windows of a buffer, the merge of one buffer into another, emptying the
// upper buffers of a stack into a lower one, and placing the regions of a
// type-1 window.
//
// A merge moves characteristics first so that each target line's count is
// the number of records that survived the clipping at the destination width.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "process/rm_internal.h"
#include "process/rm_view.h"

namespace kivo {

namespace {

const rm_file_spec kRegionFile(uint16_t width) {
  return {"SR", uint16_t(rm_buf_size(width)), 0, 0, 1, {{0, 2, SDB_UBINARY}}};
}

// A region record as a live block (the caller frees it with mm_free).
RPT_BUF* load_region(ARB* reg_arb, uint16_t id, bool hold) {
  uint8_t key[2];
  st_le16(key, 0, id);
  const uint8_t* rec = rm_find(reg_arb, key, hold);
  if (!rec) return nullptr;
  auto* r = static_cast<RPT_BUF*>(MM_ALLOC(mm_pool_id, reg_arb->arb_len));
  memcpy(static_cast<void*>(r), rec, reg_arb->arb_len);
  return r;
}

// Places a region at column and line, then drops it and its record.
bool place_region(RPT_BUF* buf, RPT_WND* w, RPT_BUF* reg, uint32_t col, uint32_t line, uint8_t* work,
                  const char* del_text) {
  uint8_t key[2];
  st_le16(key, 0, reg->id);
  const int ok = merge_buf(reg, buf, col, line, work, 1);
  rm_destroy_buf(reg);
  mm_free(reg);
  if (!rm_find(w->reg_arb, key, true) || !rm_del(w->reg_arb)) {
    sys_err(kRmBufMod, __LINE__, "%s", del_text);
    return false;
  }
  return ok;
}

bool columns_reach(RPT_BUF* b, uint32_t from, uint32_t count, uint32_t line) {
  for (uint32_t c = from; c < from + count && c <= b->width; ++c)
    if (b->heights()[c] >= line) return true;
  return false;
}

// The regions left in the file, renumbered from 1 in key order; their count.
uint16_t renumber(RPT_WND* w) {
  std::vector<std::vector<uint8_t>> left;
  while (const uint8_t* rec = rm_from(w->reg_arb, nullptr, true)) {
    left.emplace_back(rec, rec + w->reg_arb->arb_len);
    if (!rm_del(w->reg_arb)) {
      sys_err(kRmBufMod, __LINE__, "flush");
      break;
    }
  }
  uint16_t n = 0;
  for (auto& rec : left) {
    st_le16(rec.data(), 0, ++n);
    if (!rm_put(w->reg_arb, rec.data(), uint16_t(rec.size()))) sys_err(kRmBufMod, __LINE__, "flush");
  }
  return n;
}

// The type-1 windows of a buffer, by id (their records change as they flush).
std::vector<uint16_t> region_windows(RPT_BUF* b) {
  std::vector<uint16_t> ids;
  for (const uint8_t* rec = rm_from(b->wnd_arb, nullptr, false); rec; rec = rm_next(b->wnd_arb, false)) {
    RPT_WND w;
    memcpy(static_cast<void*>(&w), rec, sizeof w);
    if (w.type == 1) ids.push_back(w.id);
  }
  return ids;
}

void flush_windows(RPT_BLK* rpt, RPT_BUF* b, bool detach) {
  for (uint16_t id : region_windows(b)) {
    if (detach) {
      rm_detach(rpt, b->id, id);
      continue;
    }
    RPT_WND w;
    if (!wnd_read(b, id, &w, false)) continue;
    while (!rm_flush_reg(b, &w, b->work)) {}
  }
}

// Start line in `lower` for the lines of `upper`: below the highest of
// lower's columns that upper uses.
uint32_t start_below(RPT_BUF* upper, RPT_BUF* lower) {
  uint32_t h = 0;
  if (upper->last_line) {
    const uint32_t n = std::min(upper->width, lower->width);
    for (uint32_t c = 1; c <= n; ++c)
      if (upper->heights()[c]) h = std::max(h, lower->heights()[c]);
  }
  uint32_t start = 1 + h;
  if (lower->last_line) start += upper->pending;
  else lower->pending = uint8_t(std::min(255, lower->pending + upper->pending));
  return start;
}

}  // namespace

int wnd_fill(RPT_BLK* rpt, RPT_BUF* buf, RPT_WND* w) {
  const char* bad = !w->id                       ? "wnd_fill - bad window id"
                    : !w->reg_rows               ? "wnd_fill - bad row size "
                    : !w->reg_cols               ? "wnd_fill - bad col size "
                    : w->rows < w->reg_rows      ? "wnd_fill - bad max row  "
                    : w->cols < w->reg_cols      ? "wnd_fill - bad max col  "
                    : w->type < 1 || w->type > 3 ? "wnd_fill - bad scroll type"
                                                 : nullptr;
  if (bad || w->reg_cols > kRmMaxWidth) {
    sys_err(kRmBufMod, __LINE__, "%s", bad ? bad : "wnd_fill - bad col size ");
    return 0;
  }
  w->across = w->cols / w->reg_cols;
  w->down = w->rows / w->reg_rows;
  w->regions = w->across * w->down;
  w->cur_region = 0;
  w->first_line = w->first_col = w->cur_line = w->cur_col = 0;
  w->reg_arb = nullptr;
  if (w->type == 1) {
    w->reg_arb = rm_file_create(kRegionFile(rpt->width), rpt->file_scope);
    if (!w->reg_arb) {
      sys_err(kRmBufMod, __LINE__, "wnd_fill - create failed");
      return 0;
    }
  }
  if (!rm_put(buf->wnd_arb, reinterpret_cast<const uint8_t*>(w), sizeof *w)) {
    sys_err(kRmBufMod, __LINE__, "wnd_fill - buf write failed");
    rm_close(w->reg_arb);
    w->reg_arb = nullptr;
    return 0;
  }
  return 1;
}

int rm_attach(RPT_BLK* rpt, uint16_t buf_id, RPT_WND* req) {
  RPT_BUF* b = rm_find_buf(rpt, buf_id);
  if (!b) {
    sys_err(kRmBufMod, __LINE__, "attach - no buffer %u", buf_id);
    return 0;
  }
  req->id = b->next_wnd++;
  return wnd_fill(rpt, b, req);
}

int rm_detach(RPT_BLK* rpt, uint16_t buf_id, uint16_t wnd_id) {
  RPT_BUF* b = rm_find_buf(rpt, buf_id);
  RPT_WND w;
  if (!b || !wnd_read(b, wnd_id, &w, false)) {
    sys_err(kRmBufMod, __LINE__, "attach - Window read failed");
    return 0;
  }
  if (w.type == 1) {
    while (!rm_flush_reg(b, &w, b->work)) {}
    rm_close(w.reg_arb);
  }
  if (!wnd_read(b, wnd_id, &w, true) || !rm_del(b->wnd_arb)) {
    sys_err(kRmBufMod, __LINE__, "detach");
    return 0;
  }
  return 1;
}

int rm_empty(RPT_BLK* rpt, uint16_t level, int flush, int detach) {
  RPT_BUF* base = rpt->rpt_top;
  RPT_BUF* b = base->below;
  if (b->id < level) {
    rpt->status = RM_NO_LEVEL;
    return 0;
  }
  while (b->id > level) {
    RPT_BUF* lower = b->below;
    flush_windows(rpt, b, detach);
    const uint32_t start = start_below(b, lower);
    if (!merge_buf(b, lower, 1, start, b->work, 0)) {
      sys_err(kRmBufMod, __LINE__, "empty");
      return 0;
    }
    if (detach) {
      rm_reset_buf(b, 1, 1);
      base->below = lower;
      lower->above = base;
    }
    b = lower;
  }
  if (flush) flush_windows(rpt, b, false);
  return 1;
}

int merge_buf(RPT_BUF* src, RPT_BUF* dst, uint32_t start_col, uint32_t start_line, uint8_t* work, int del_windows) {
  if (start_col == 0) {
    sys_err(kRmBufMod, __LINE__, "merge_buf() - invalid start_col");
    return 0;
  }
  std::map<uint32_t, uint32_t> kept;  // source line -> its characteristics that fit
  for (const uint8_t* c = rm_from(src->chr_arb, nullptr, false); c; c = rm_next(src->chr_arb, false)) {
    const buf_chr_view chr(c);
    const uint32_t line = chr.line();
    const int r = chr_write(dst, line + start_line - 1, chr.attr(), chr.col() + start_col - 1, chr.len(), chr.colour());
    if (r < 0) return sys_err(kRmBufMod, __LINE__, "merge"), 0;
    kept[line] += uint32_t(r);
  }
  const uint32_t* sh = src->heights();
  for (const uint8_t* s = rm_from(src->line_arb, nullptr, false); s; s = rm_next(src->line_arb, false)) {
    const uint32_t no = rpt_line_view(s).no();
    if (no > src->last_line) break;
    const uint32_t t = start_line + no - 1;
    const bool exists = ln_read(dst, t, work);
    if (exists) {
      st_le32(work, LN_NCHR, rpt_line_view(work).nchr() + kept[no]);
      for (uint32_t c = 1; c <= src->width; ++c)
        if (sh[c] >= no && c + start_col - 1 <= dst->width) work[LN_TEXT + c + start_col - 2] = s[LN_TEXT + c - 1];
    } else {
      ln_blank(dst, work, t);
      st_le32(work, LN_NCHR, kept[no]);
      if (start_col <= dst->width)
        memcpy(work + LN_TEXT + start_col - 1, s + LN_TEXT, std::min<size_t>(src->width, dst->width - start_col + 1));
    }
    work[LN_PLACEHOLDER] = 0;
    work[LN_BLOCK] = rpt_line_view(s).block();
    if (!ln_write(dst, work, exists)) {
      sys_err(kRmBufMod, __LINE__, exists ? "merge_buf - line rewrite failed" : "merge_buf - line write failed");
      return 0;
    }
  }
  if (src->last_line) {
    const uint32_t end = start_line + src->last_line - 1;
    for (uint32_t c = 1; c <= src->width; ++c)
      if (sh[c] && c + start_col - 1 <= dst->width) dst->heights()[c + start_col - 1] = end;
    dst->last_line = std::max(dst->last_line, end);
  }
  return rm_reset_buf(src, 1, del_windows);
}

bool rm_flush_reg(RPT_BUF* buf, RPT_WND* w, uint8_t* work) {
  for (uint32_t r = 1; r <= w->down; ++r) {
    RPT_BUF* reg = load_region(w->reg_arb, uint16_t(r), true);
    if (!reg) {
      w->cur_region = 0;
      wnd_store(buf, w);
      return true;
    }
    const uint32_t h =
        r == 1 ? (buf->last_line ? max_height(buf, 1, reg->width) : 0) : max_height(buf, 1, w->across * reg->width);
    uint32_t start = 1 + h;
    if (buf->last_line) start += reg->pending;
    else buf->pending = uint8_t(std::min(255, buf->pending + reg->pending));
    reg->pending = 0;
    place_region(buf, w, reg, 1, start, work, "flush delete");
    // A region whose columns already reach the start line waits for the next call.
    for (uint32_t c = 2; c <= w->across; ++c) {
      const uint32_t col = (c - 1) * w->reg_cols + 1;
      if (columns_reach(buf, col, w->reg_cols, start)) continue;
      if (RPT_BUF* next = load_region(w->reg_arb, uint16_t(r + (c - 1) * w->down), true))
        place_region(buf, w, next, col, start, work, "flush - buffer delete");
    }
  }
  w->cur_region = renumber(w);
  wnd_store(buf, w);
  return w->cur_region == 0;
}

}  // namespace kivo
