// Images of a frame: one IM record per IMAGE record with its ROW text as a
// constant in the compile's language, the IT records of its items (their
// conversions compiled, their display size derived) and the CR records of
// its characteristics and of the items that carry attributes.
//
// Invariants: an image's items are consecutive IT records from its first
// item, its characteristics consecutive CR records from its first one, and
// item numbers run module-wide from 1 (the index of the PCB's items).
#include <cstring>
#include <string>

#include "compiler/design_records.h"
#include "compiler/em_item.h"
#include "compiler/em_records.h"
#include "compiler/pc_celem.h"
#include "compiler/pc_cmpl.h"
#include "compiler/pl.h"
#include "fm/fm_xlate.h"
#include "foundation/bytes.h"
#include "foundation/text.h"
#include "types/cnv.h"
#include "types/element_view.h"
#include "types/num_convert.h"

namespace kivo {

namespace {

constexpr uint32_t kDerive = 32767;  // item rows or columns to be derived
constexpr size_t kCursorBytes = 80;  // ten {row, column} pairs
// Characteristic attributes.
constexpr uint32_t kAttrUnderline = 0x100, kAttrBold = 0x40, kAttrReverse = 0x80, kAttrFlag = 0x4000;
constexpr uint32_t kAttrBox = 0x88000000;

bool flag(const uint8_t* rec, size_t at) { return rec[at] == '1'; }

// The ROW texts of the image, rows x columns, blank where no row is given.
uint32_t image_text(PC_CTX* ctx, ARB* rows_arb, const uint8_t* img, uint32_t rows, uint32_t cols) {
  if (!rows || !cols) return 0;
  if (uint64_t{rows} * cols > kMaxConstLen)
    return pc_err(ctx, "image %u text over %u bytes", img[IM_NUMBER], kMaxConstLen);
  std::string text(rows * cols, ' ');
  uint8_t key[kRowRecSize] = {};
  memcpy(key, img, kImageKeyLen);
  // Rows of the base language (blank) first, then the compile's own over them.
  const int read =
      pc_each_design(ctx, INIT_DROW_FDB, ctx->ap, rows_arb, key, kImageKeyLen, kRowRecSize, [&](const uint8_t* r) {
        const uint32_t row = ld_le32(r, RI_ROW);
        const bool lang = r[RI_LANG] == ' ' || memcmp(r + RI_LANG, ctx->em->em_lang, 3) == 0;
        if (lang && row >= 1 && row <= rows)
          memcpy(&text[(row - 1) * cols], r + RO_TEXT, std::min<size_t>(cols, kRowTextLen));
        return true;
      });
  if (!read) return 0;  // the error names the file
  const uint32_t c =
      bld_cnst(&ctx->bld, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint16_t>(text.size()));
  return c ? c : pc_err(ctx, "text of image %u not stored", img[IM_NUMBER]);
}

bool add_chr(PC_CTX* ctx, uint32_t img, uint32_t row, uint32_t col, uint32_t rows, uint32_t cols, uint32_t attr,
             uint32_t item_row, uint32_t item_col, uint32_t* count) {
  uint8_t cr[CCHR_LEN] = {};
  st_le32(cr, CCHR_IMG, img), st_le32(cr, CCHR_ROW, row), st_le32(cr, CCHR_COL, col);
  st_le32(cr, CCHR_ROWS, rows), st_le32(cr, CCHR_COLS, cols), st_le32(cr, CCHR_ATTR, attr);
  st_le32(cr, CCHR_ITM_ROW, item_row), st_le32(cr, CCHR_ITM_COL, item_col);
  if (!em_append(ctx->em, EM_CR, cr, CCHR_LEN)) return pc_err(ctx, "characteristic at %u/%u not written", row, col);
  ++*count;
  return true;
}

// An item whose display does not compile: the mask the conversions refuse
// by its text, any other failure by its status.
int conversion_refused(PC_CTX* ctx, const uint8_t* it, const uint8_t* elem, uint32_t status) {
  if (status != CV_BAD_NUM_MASK) return pc_err(ctx, "item %.22s: conversion status %u", it + IT_FIELD, status);
  std::string mask(reinterpret_cast<const char*>(elem + ELEM_MASK), kCvMaskLen);
  mask.erase(mask.find_last_not_of(' ') + 1);
  return pc_err(ctx, "item %.22s: numeric mask \"%s\" not accepted", it + IT_FIELD, mask.c_str());
}

bool item_size(PC_CTX* ctx, const uint8_t* it, const uint8_t* elem, uint32_t img_cols, uint32_t* rows, uint32_t* cols) {
  uint32_t status = 0;
  return pc_item_size(it, elem, img_cols, rows, cols, &status) || conversion_refused(ctx, it, elem, status);
}

// The screen attributes the item asks for, as a characteristic's bits.
uint32_t item_attr(const uint8_t* it) {
  uint32_t attr = 0;
  if (flag(it, IT_ATTR) || flag(it, IT_ATTR + 3)) attr |= kAttrBold;
  if (flag(it, IT_ATTR + 2)) attr |= kAttrUnderline;
  if (flag(it, IT_ATTR + 4)) attr |= kAttrReverse;
  return attr;
}

// The compiled item's field: application, name, occurrence and where it lies.
void name_item_field(CITM& c, const uint8_t* out, const uint8_t* it, uint16_t occ, const EM* em) {
  const celem_view ce(out + PCF_CELEM);
  memcpy(c.citm_ap, ce.ap(), 3), memcpy(c.citm_fld, it + IT_FIELD, 22);
  c.citm_occ = occ;
  c.citm_elem = ce.elem();
  c.citm_area = ce.area(), c.citm_off = ce.area_offset();
  c.citm_itemno = static_cast<uint16_t>(em->em_itm_cnt + 1);
}

bool item(PC_CTX* ctx, const uint8_t* it, uint32_t img, uint32_t img_rows, uint32_t img_cols, uint32_t* chrs) {
  EM* em = ctx->em;
  const uint16_t occ = ld_le16(it, IT_OCC);
  uint8_t out[kPcFldOut], elem[kElementSize];
  if (!pc_fld(reinterpret_cast<const char*>(it + IT_AP), reinterpret_cast<const char*>(it + IT_FIELD),
              pc_occ{occ, occ ? PC_OCC_NUM : PC_OCC_NONE, {}}, out, ctx, elem))
    return false;
  uint32_t rows = 1, cols = 1;
  if (!item_size(ctx, it, elem, img_cols, &rows, &cols)) return false;
  CITM c;
  memset(static_cast<void*>(&c), 0, sizeof c);  // padding too: the record is stored as it lies
  cv_item ci{};
  ci.row = static_cast<int32_t>(ld_le32(it, RI_ROW)), ci.col = static_cast<int32_t>(ld_le32(it, RI_COL));
  ci.rows = rows, ci.cols = cols;
  memset(ci.mask, ' ', sizeof ci.mask);
  ci.entry = flag(it, IT_INPUT), ci.option = ' ';
  sitm s{};
  cv_bld_sitm(&s, elem, &ci);
  const cv_area area{static_cast<int32_t>(img_rows), static_cast<int32_t>(img_cols)};
  if (!cv_cmpl(&c.citm_cnv, &s, &area)) return conversion_refused(ctx, it, elem, c.citm_cnv.cnv_status);
  c.citm_img = img;
  c.citm_row = ci.row, c.citm_col = ci.col;
  c.citm_bot = static_cast<int32_t>(ci.row + rows - 1), c.citm_right = static_cast<int32_t>(ci.col + cols - 1);
  if (!pc_item_inside(it, rows, cols, img_rows, img_cols))
    return pc_err(ctx, "item %.22s at %d/%d does not end inside the image", it + IT_FIELD, ci.row, ci.col);
  c.citm_float[0] = 255;
  c.citm_entry = ci.entry;
  name_item_field(c, out, it, occ, em);
  c.citm_cnv.int_addr = c.citm_cnv.alt_addr = c.citm_cnv.aux_addr = nullptr, c.citm_cnv.ext_addr = nullptr;
  if (!em_append(em, EM_IT, reinterpret_cast<const uint8_t*>(&c), sizeof c))
    return pc_err(ctx, "item %.22s not written", it + IT_FIELD);
  ++em->em_itm_cnt;
  const uint32_t attr = item_attr(it);
  return !attr || add_chr(ctx, img, ci.row, ci.col, rows, cols, attr, ci.row, ci.col, chrs);
}

bool chr(PC_CTX* ctx, const uint8_t* ch, uint32_t img, uint32_t img_rows, uint32_t img_cols, uint32_t* chrs) {
  const uint32_t row = ld_le32(ch, RI_ROW), col = ld_le32(ch, RI_COL);
  const uint32_t rows = ld_le32(ch, CR_ROWS), cols = ld_le32(ch, CR_COLS);
  if (!pc_chr_inside(ch, img_rows, img_cols))
    return pc_err(ctx, "characteristic at %u/%u does not end inside the image", row, col);
  uint32_t attr = flag(ch, CR_BOX) ? kAttrBox : 0;
  if (flag(ch, CR_FLAGS + 1)) attr |= kAttrUnderline;
  if (flag(ch, CR_FLAGS + 2)) attr |= kAttrBold;
  if (flag(ch, CR_FLAGS + 3) || ch[CR_REVERSE]) attr |= kAttrReverse;
  if (flag(ch, CR_FLAGS)) attr |= kAttrFlag;
  return add_chr(ctx, img, row, col, rows, cols, attr, 0, 0, chrs);
}

// One image: IM record, then its items and characteristics.
bool image(PC_CTX* ctx, const uint8_t* img, uint32_t frm, ARB* rows, ARB* items, ARB* chrs) {
  EM* em = ctx->em;
  const uint32_t index = em->em_img_cnt + 1;
  const uint32_t nrows = ld_le32(img, IM_ROWS), ncols = ld_le32(img, IM_COLS);
  uint8_t im[CIMG_LEN] = {};
  st_le32(im, CIMG_FRM, frm);
  im[CIMG_NO] = img[IM_NUMBER], im[CIMG_KIND] = img[IM_KIND];
  st_le32(im, CIMG_ROWS, nrows), st_le32(im, CIMG_COLS, ncols);
  memcpy(im + CIMG_WROW, img + IM_WIN_ROW, 4), memcpy(im + CIMG_WCOL, img + IM_WIN_COL, 4);
  im[CIMG_SCROLL] = img[IM_SCROLL], im[CIMG_COMPRESS] = img[IM_COMPRESS], im[CIMG_SEP] = img[IM_SEPARATOR];
  im[CIMG_BLANK_BEFORE] = img[IM_BLANK_BEFORE], im[CIMG_BLANK_AFTER] = img[IM_BLANK_AFTER];
  st_le16(im, CIMG_START_COL, static_cast<uint16_t>(ld_le32(img, IM_START_COL)));
  st_le32(im, CIMG_TEXT, image_text(ctx, rows, img, nrows, ncols));
  memcpy(im + CIMG_CURSOR, img + IM_CURSOR, kCursorBytes);
  st_le32(im, CIMG_INDEX, index);
  for (size_t i = 0; i < 4; ++i) st_le16(im, CIMG_EP + 4 * i, kNoCode);
  uint8_t key[kItemRecSize] = {};
  memcpy(key, img, kImageKeyLen);
  const uint32_t first_itm = em->em_itm_cnt + 1, first_chr = pl_sub_count(em, EM_CR) + 1;
  uint32_t nchr = 0;
  if (!pc_each_design(ctx, INIT_DITM_FDB, ctx->ap, items, key, kImageKeyLen, kItemRecSize,
                      [&](const uint8_t* it) { return item(ctx, it, index, nrows, ncols, &nchr); }) ||
      !pc_each_design(ctx, INIT_DCHR_FDB, ctx->ap, chrs, key, kImageKeyLen, kChrRecSize,
                      [&](const uint8_t* ch) { return chr(ctx, ch, index, nrows, ncols, &nchr); }))
    return false;
  st_le32(im, CIMG_FIRST_ITM, first_itm), st_le32(im, CIMG_ITM_CNT, em->em_itm_cnt + 1 - first_itm);
  st_le32(im, CIMG_FIRST_CHR, nchr ? first_chr : 0), st_le32(im, CIMG_CHR_CNT, nchr);
  if (ctx->err_cnt || !em_append(em, EM_IM, im, CIMG_LEN)) return pc_err(ctx, "image %u not written", img[IM_NUMBER]);
  ++em->em_img_cnt;
  return true;
}

}  // namespace

void display_size(const uint8_t* it, const uint8_t* elem, uint32_t len, uint32_t img_cols, uint32_t* rows,
                  uint32_t* cols) {
  uint32_t r = ld_le32(it, IT_ROWS), c = ld_le32(it, IT_COLS);
  if (r == 0) r = kDerive;
  if (c == 0) c = kDerive;
  len = std::max<uint32_t>(len, 1);
  if (!IS_ELEM_ALP(elem_view(elem).type())) r = 1, c = len;
  else if (r == kDerive && c == kDerive) {
    const uint32_t col = ld_le32(it, RI_COL);
    if (col + len - 1 <= img_cols || col > img_cols) r = 1, c = len;
    else c = img_cols - col + 1, r = (len - 1) / c + 1;
  } else if (r == kDerive) r = (len - 1) / c + 1;  // rounded up: the last row holds the rest
  else if (c == kDerive) c = (len - 1) / r + 1;
  *rows = r, *cols = c;
}

int pc_item_size(const uint8_t* it, const uint8_t* elem, uint32_t img_cols, uint32_t* rows, uint32_t* cols,
                 uint32_t* status) {
  // The display length of the field alone decides the item's size; its own
  // conversion is then compiled for that size.
  sitm s{};
  CNV plain{};
  cv_bld_sitm(&s, elem, nullptr);
  if (!cv_cmpl(&plain, &s, nullptr)) return *status = plain.cnv_status, 0;
  display_size(it, elem, plain.ext_len, img_cols, rows, cols);
  return 1;
}

bool pc_item_inside(const uint8_t* it, uint32_t rows, uint32_t cols, uint32_t img_rows, uint32_t img_cols) {
  const auto row = static_cast<int32_t>(ld_le32(it, RI_ROW)), col = static_cast<int32_t>(ld_le32(it, RI_COL));
  const auto bot = static_cast<int32_t>(row + rows - 1), right = static_cast<int32_t>(col + cols - 1);
  return static_cast<uint32_t>(bot) <= img_rows && static_cast<uint32_t>(right) <= img_cols;
}

bool pc_chr_inside(const uint8_t* ch, uint32_t img_rows, uint32_t img_cols) {
  const uint32_t row = ld_le32(ch, RI_ROW), col = ld_le32(ch, RI_COL);
  const uint32_t rows = ld_le32(ch, CR_ROWS), cols = ld_le32(ch, CR_COLS);
  return row && col && rows && cols && row + rows - 1 <= img_rows && col + cols - 1 <= img_cols;
}

uint32_t pc_image_index(EM* em, uint32_t frm, uint8_t no) {
  uint8_t key[CIMG_LEN] = {};
  st_le32(key, CIMG_FRM, frm), key[CIMG_NO] = no;
  const uint8_t* im = em_read_key(em->em_cimg_arb, 1, key);
  return im ? ld_le32(im, CIMG_INDEX) : 0;
}

int pc_cmpl_images(PC_CTX* ctx, uint8_t* fr) {
  pc_dsn_file imgs(ctx, INIT_DIMG_FDB), rows(ctx, INIT_DROW_FDB), items(ctx, INIT_DITM_FDB), chrs(ctx, INIT_DCHR_FDB);
  if (!imgs.ok() || !rows.ok() || !items.ok() || !chrs.ok()) return 0;
  if (rows.arb) fm_set_lang(rows.arb, "ENG", ctx->em->em_lang);
  uint8_t key[kImageRecSize] = {};
  key[0] = ctx->proc_type, memcpy(key + 1, ctx->proc_nam, 30);
  key[FR_PART] = fr[CFRM_PART], memcpy(key + FR_NUMBER, fr + CFRM_DESIGN_NO, 4);
  const uint32_t first = ctx->em->em_img_cnt + 1;
  if (!pc_each_design(ctx, INIT_DIMG_FDB, ctx->ap, imgs.arb, key, IM_NUMBER, kImageRecSize, [&](const uint8_t* img) {
        return image(ctx, img, ld_le32(fr, CFRM_NO), rows.arb, items.arb, chrs.arb);
      }))
    return 0;
  const uint32_t n = ctx->em->em_img_cnt + 1 - first;
  st_le32(fr, CFRM_FIRST_IMG, n ? first : 0);
  fr[CFRM_IMG_CNT] = static_cast<uint8_t>(n);
  return 1;
}

}  // namespace kivo
