// The compiled item's native figures and its helpers.
#include "compiler/em_item.h"

#include <cstddef>
#include <cstring>

#include "compiler/inst.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"

namespace kivo {

// The IT record's keys read these fields as stored bytes.
static_assert(offsetof(CITM, citm_row) == 4 && offsetof(CITM, citm_col) == 8);
static_assert(offsetof(CITM, citm_fld) == offsetof(CITM, citm_ap) + 3);
static_assert(offsetof(CITM, citm_occ) == offsetof(CITM, citm_fld) + 22);
static_assert(sizeof(CITM) <= 0xFFFF && sizeof(CNV) <= 0xFFFF);

void em_set_layout() {
  em_layout.cnv_len = sizeof(CNV);
  em_layout.citm_len = sizeof(CITM);
  em_layout.citm_ap_off = offsetof(CITM, citm_ap);
  em_layout.citm_fld_off = offsetof(CITM, citm_fld);
  em_layout.citm_occ_off = offsetof(CITM, citm_occ);
  em_layout.citm_elem_off = offsetof(CITM, citm_elem);
  em_layout.citm_itemno_off = offsetof(CITM, citm_itemno);
}

int INT_DATE(std_date* desc, CITM* item, int direct) {
  CNV* c = &item->citm_cnv;
  if (!is_date_type(c->cnv_type)) return 0;
  uint8_t* value = direct ? c->int_addr : get_int_addr_dspl(c);
  if (!value) return 0;
  const cnv_dat_area& d = c->ta.dat;
  *desc = std_date{};
  desc->raw = value;
  desc->raw_len = c->int_len;
  desc->type = c->cnv_type;
  desc->mask = d.stor_mask;
  desc->mask_len = d.stor_len;
  desc->doy = d.stor_doy;
  desc->h24 = d.stor_h24;
  desc->first = d.elem_hi;
  desc->last = d.elem_lo;
  return 1;
}

void ALP_PREP(CITM* item) {
  memset(static_cast<void*>(item), 0, sizeof *item);
  CNV& c = item->citm_cnv;
  c.cnv_type = 1;
  c.ext_rows = 1;
  c.ext_cols = 1;
  c.ext_len = 1;
  c.ext_stride = 1;
  c.ta.alp.align_mode = ALN_ASIS;
  c.ta.alp.fill_char = ' ';
  item->citm_float[0] = 255;
}

void ALPHA_PREP(CITM* item) {
  ALP_PREP(item);
  memcpy(item->citm_cnv.ta.alp.mask, com.blanks, kCvMaskLen);
}

void SET_ITM(CITM* item, uint16_t length, uint8_t* address, int32_t column) {
  CNV& c = item->citm_cnv;
  c.int_addr = address;
  c.int_indirect = 0;
  c.addr_mode = 0;
  c.int_len = length;
  c.ext_cols = length;
  c.ext_len = length;
  c.ext_stride = length;
  item->citm_col = column;
  item->citm_bot = item->citm_row;
  item->citm_right = column + length - 1;
}

}  // namespace kivo
