// Images of a report: compiling an image with its items and
// characteristics into the report's files, executing it into its executed
// copy (text and cells), and updating cells and item values there.
//
// Compiled positions are checked once here: a characteristic is cut to the
// image and an item that does not lie inside it is refused, so execution and
// updates never reach outside the executed text and cells.
#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "process/rm_internal.h"
#include "process/rm_view.h"

namespace kivo {

namespace {

bool inside(const uint8_t* img, uint32_t row, uint32_t col, int64_t rows, int64_t cols) {
  return row >= 1 && col >= 1 && rows >= 1 && cols >= 1 && row + rows - 1 <= rpt_img_view(img).rows() &&
         col + cols - 1 <= rpt_img_view(img).cols();
}

RPT_XIMG* new_ximg(RPT_BLK* rpt, uint32_t cells) {
  auto* x = static_cast<RPT_XIMG*>(MM_ALLOC(rpt->pool, sizeof(RPT_XIMG)));
  memset(static_cast<void*>(x), 0, sizeof *x);
  if (cells) {
    x->text = static_cast<char*>(MM_ALLOC(rpt->pool, cells));
    x->cells = static_cast<uint8_t*>(MM_ALLOC(rpt->pool, cells * kRmCellSize));
    memset(x->cells, 0, cells * kRmCellSize);
  }
  auto** table = static_cast<RPT_XIMG**>(MM_ALLOC(rpt->pool, sizeof(RPT_XIMG*) * (rpt->ximg_count + 1)));
  if (rpt->ximg_count) memcpy(table, rpt->ximg, sizeof(RPT_XIMG*) * rpt->ximg_count);
  if (rpt->ximg) mm_free(rpt->ximg);
  rpt->ximg = table;
  table[rpt->ximg_count++] = x;
  return x;
}

void grow_work(RPT_BLK* rpt, size_t len) {
  if (rpt->work_img_size >= len) return;
  if (rpt->work_img) mm_free(rpt->work_img);
  rpt->work_img = static_cast<uint8_t*>(MM_ALLOC(rpt->pool, len));
  rpt->work_img_size = uint32_t(len);
}

bool copy_items(RPT_BLK* rpt, const uint8_t* img, ARB* from) {
  if (!from) return true;
  for (const uint8_t* rec = rm_from(from, nullptr, false); rec; rec = rm_next(from, false)) {
    RPT_ITM it;
    memcpy(static_cast<void*>(&it), rec, sizeof it);
    it.img_id = rpt_img_view(img).id();
    if (!inside(img, it.row, it.col, it.cnv.ext_rows, it.cnv.ext_cols)) {
      sys_err(kRmImgMod, __LINE__, "cmpl_img - item at row %u column %u (%d x %d) lies outside the %u x %u image",
              it.row, it.col, it.cnv.ext_rows, it.cnv.ext_cols, rpt_img_view(img).rows(), rpt_img_view(img).cols());
      continue;
    }
    if (!rm_put(rpt->itm_arb, reinterpret_cast<const uint8_t*>(&it), sizeof it))
      return sys_err(kRmImgMod, __LINE__, "cmpl_img - write"), false;
  }
  return true;
}

// Each row of a characteristic becomes a record of one row, cut to the image.
bool copy_chrs(RPT_BLK* rpt, const uint8_t* img, ARB* from) {
  if (!from) return true;
  for (const uint8_t* rec = rm_from(from, nullptr, false); rec; rec = rm_next(from, false)) {
    uint8_t c[kRmRcLen];
    memcpy(c, rec, kRmRcLen);
    const rpt_chr_view chr(c);
    const uint32_t attr = chr.attr() & kRmAttrMask;
    const uint32_t row = chr.row(), col = chr.col(), n = chr.rows();
    if (!attr || row == 0 || col == 0 || col > rpt_img_view(img).cols()) continue;
    st_le32(c, RC_IMG, rpt_img_view(img).id());
    st_le32(c, RC_ATTR, attr);
    st_le32(c, RC_ROWS, 1);
    st_le32(c, RC_LEN, std::min(chr.len(), rpt_img_view(img).cols() - col + 1));
    for (uint32_t r = row; r < row + n && r <= rpt_img_view(img).rows(); ++r) {
      st_le32(c, RC_ROW, r);
      if (!rm_put(rpt->chr_arb, c, kRmRcLen))
        return sys_err(kRmImgMod, __LINE__, n == 1 ? "cmpl_img - write chr" : "cmpl_img - Write failed"), false;
    }
  }
  return true;
}

// Key image of the first record of an image in the item or characteristic file.
void first_key(uint8_t* key, size_t len, uint32_t img_id) {
  memset(key, 0, len);
  st_le32(key, 0, img_id);
}

void apply_chrs(RPT_BLK* rpt, const uint8_t* img, RPT_XIMG* x) {
  const uint32_t id = rpt_img_view(img).id(), cols = rpt_img_view(img).cols();
  uint8_t key[kRmRcLen];
  first_key(key, sizeof key, id);
  for (const uint8_t* c = rm_from(rpt->chr_arb, key, false); c; c = rm_next(rpt->chr_arb, false)) {
    const rpt_chr_view chr(c);
    if (chr.img() != id) break;
    const uint32_t row = chr.row(), col = chr.col(), attr = chr.attr();
    if (!inside(img, row, col, 1, 1)) continue;
    const uint32_t len = std::min(chr.len(), cols - col + 1);
    for (uint32_t k = 0; k < len; ++k) {
      uint8_t* cell = x->cells + ((row - 1) * cols + col - 1 + k) * kRmCellSize;
      st_le32(cell, 0, attr);
      cell[4] = chr.colour();
    }
    if (attr & kRmAttrKeepRow) x->kept[row - 1] = 1;
  }
}

void place_items(RPT_BLK* rpt, const uint8_t* img) {
  const uint32_t id = rpt_img_view(img).id();
  RPT_ITM it{};
  it.img_id = id;
  for (const uint8_t* rec = rm_from(rpt->itm_arb, reinterpret_cast<uint8_t*>(&it), true); rec;
       rec = rm_next(rpt->itm_arb, true)) {
    memcpy(static_cast<void*>(&it), rec, sizeof it);
    if (it.img_id != id) break;
    it.text_off = (it.row - 1) * rpt_img_view(img).cols() + it.col - 1;
    rm_reput(rpt->itm_arb, reinterpret_cast<const uint8_t*>(&it), sizeof it);
  }
  rm_unhold(rpt->itm_arb);
}

void set_executed(RPT_BLK* rpt, uint8_t* img) {
  if (img == rpt->cur_img) {
    img[IMG_EXEC] = 1;
    return;
  }
  uint8_t key[2];
  st_le16(key, 0, rpt_img_view(img).id());
  const uint8_t* rec = rm_find(rpt->img_arb, key, true);
  if (!rec) return;
  const uint16_t len = rpt->img_arb->arb_len;
  std::vector<uint8_t> copy(rec, rec + len);
  copy[IMG_EXEC] = 1;
  rm_reput(rpt->img_arb, copy.data(), len);
}

}  // namespace

RPT_XIMG* rm_ximg(RPT_BLK* rpt, const uint8_t* img) {
  const uint32_t idx = rpt_img_view(img).ximg();
  return idx >= 1 && idx <= rpt->ximg_count ? rpt->ximg[idx - 1] : nullptr;
}

uint8_t* rm_image(RPT_BLK* rpt, uint16_t id) {
  if (id == 1 && rpt->cur_img) return rpt->cur_img;
  uint8_t key[2];
  st_le16(key, 0, id);
  return rm_find(rpt->img_arb, key, false);
}

uint8_t* rm_cmpl_img(RPT_BLK* rpt, uint8_t* img, ARB* itm_file, ARB* chr_file) {
  if (!rpt) return sys_err(kRmImgMod, __LINE__, "cmpl_img - Bad rpt_blk pointer"), nullptr;
  if (!img) return sys_err(kRmImgMod, __LINE__, "cmpl_img - Bad img_blk pointer"), nullptr;
  const uint32_t rows = rpt_img_view(img).rows(), cols = rpt_img_view(img).cols();
  if (rows > kRmMaxRows) return sys_err(kRmImgMod, __LINE__, "cmpl_img - image rows exceeds maximum size"), nullptr;
  if (cols > kRmMaxCols) return sys_err(kRmImgMod, __LINE__, "cmpl_img - image columns exceeds maximum size"), nullptr;
  st_le16(img, IMG_ID, ++rpt->img_count);
  new_ximg(rpt, rows * cols);
  st_le32(img, IMG_XIMG, rpt->ximg_count);
  img[IMG_EXEC] = 0;
  const size_t len = rm_img_len(rows, cols);
  if (!rm_put(rpt->img_arb, img, uint16_t(len))) return sys_err(kRmImgMod, __LINE__, "cmpl_img - write"), nullptr;
  uint8_t* stored = rm_find(rpt->img_arb, img, false);
  if (!stored) return sys_err(kRmImgMod, __LINE__, "cmpl_img - Image fast read failed"), nullptr;
  grow_work(rpt, len);
  if (!copy_items(rpt, img, itm_file) || !copy_chrs(rpt, img, chr_file)) return nullptr;
  return stored;
}

int rm_exec_img(RPT_BLK* rpt, uint16_t img_id) {
  uint8_t* img = rm_image(rpt, img_id);
  if (!img) return sys_err(kRmImgMod, __LINE__, "Image read failed"), 0;
  const uint32_t rows = rpt_img_view(img).rows(), cols = rpt_img_view(img).cols();
  if (rows == 0 || cols == 0) return 1;  // nothing to execute
  RPT_XIMG* x = rm_ximg(rpt, img);
  if (!x) return sys_err(kRmImgMod, __LINE__, "exec_img - No ximg provided"), 0;
  memcpy(x->text, img + IMG_TEXT, size_t(rows) * cols);
  memset(x->kept, 0, sizeof x->kept);
  apply_chrs(rpt, img, x);
  place_items(rpt, img);
  set_executed(rpt, img);
  return 1;
}

int rm_upd_chr(RPT_BLK* rpt, const rm_chr_upd* u, uint32_t value, uint32_t mask) {
  const uint8_t* img = rm_image(rpt, uint16_t(u->img_id));
  RPT_XIMG* x = img ? rm_ximg(rpt, img) : nullptr;
  if (!x) return sys_err(kRmUpdMod, __LINE__, "upd_chr - can't find image block"), 0;
  if (!inside(img, u->row, u->col, u->rows, u->cols))
    return sys_err(kRmUpdMod, __LINE__, "upd_chr - characteristic doesn't fit on image"), 0;
  const uint32_t cols = rpt_img_view(img).cols();
  for (uint32_t r = u->row; r < u->row + u->rows; ++r)
    for (uint32_t c = u->col; c < u->col + u->cols; ++c) {
      uint8_t* cell = x->cells + ((r - 1) * cols + c - 1) * kRmCellSize;
      st_le32(cell, 0, (ld_le32(cell, 0) & ~mask) | (value & mask));
    }
  return 1;
}

int rm_upd_itm(RPT_BLK* rpt, const RPT_ITM* item, uint32_t value, uint32_t mask) {
  const uint8_t* img = rm_image(rpt, uint16_t(item->img_id));
  const uint8_t* rec =
      img ? rm_find(rpt->itm_arb, reinterpret_cast<uint8_t*>(const_cast<RPT_ITM*>(item)), false) : nullptr;
  if (!rec) {
    rpt->status = RM_NO_ITEM;
    return 0;
  }
  RPT_ITM stored, it = *item;
  memcpy(static_cast<void*>(&stored), rec, sizeof stored);
  it.cnv.int_addr = stored.cnv.int_addr;
  it.cnv.int_len = stored.cnv.int_len;
  memcpy(&it.cnv.ta, &stored.cnv.ta, 1);
  if (!rpt_img_view(img).executed()) {
    rpt->status = RM_NOT_EXECUTED;
    return 0;
  }
  if (!inside(img, it.row, it.col, it.cnv.ext_rows, it.cnv.ext_cols))
    return sys_err(kRmUpdMod, __LINE__, "upd_itm - item doesn't fit on image"), 0;
  const rm_chr_upd u = {it.img_id, it.row, it.col, uint32_t(it.cnv.ext_rows), uint32_t(it.cnv.ext_cols)};
  if (mask && !rm_upd_chr(rpt, &u, value, mask)) return 0;
  if (!it.has_value) return 1;
  RPT_XIMG* x = rm_ximg(rpt, img);
  const uint32_t cols = rpt_img_view(img).cols();
  it.cnv.ext_addr = x->text + (it.row - 1) * cols + it.col - 1;
  it.cnv.ext_stride = cols;
  it.cnv.ext_len = uint16_t(it.cnv.ext_rows * it.cnv.ext_cols);
  return cv_itoe(&it.cnv) ? 1 : 0;
}

}  // namespace kivo
