// A field reference compiled to its CELEM: the element found (in its
// application, else in "0LA"), its area and FL record, and the occurrence.
//
// Invariant: a literal occurrence lies within the element's count, so the
// offset it folds in stays inside the field; an index occurrence is checked
// when it runs (IDX).
#include <cstring>

#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "compiler/em_records.h"
#include "compiler/pc.h"
#include "foundation/bytes.h"
#include "types/element_view.h"

namespace kivo {

namespace {

bool is_file_field(const uint8_t* elem) { return elem[ELEM_FILE] != ' ' && elem[ELEM_FILE] != 0; }

// The area and the offset of occurrence 1 of the field.
bool place(PC_CTX* ctx, const char* ap, const uint8_t* elem, uint32_t* area, uint16_t* off) {
  const elem_view el(elem);
  if (is_file_field(elem)) {
    uint8_t* cap = pc_ap(ap, ctx->em, ctx);
    uint8_t cfi[CFI_LEN];
    if (!cap || !pc_fi(cap, el.file(), cfi, ctx)) return false;
    *area = cfi_view(cfi).rec_area();
    *off = el.offset();
    // A design record is outside input: every occurrence must lie in the record.
    const uint32_t end = *off + el.size() * uint32_t{el.occurs()};
    const uint16_t rec_len = cfi_view(cfi).rec_len();
    if (end > rec_len) return pc_err(ctx, "field %.22s ends at %u, past its record of %u", el.name(), end, rec_len);
    return true;
  }
  const uint32_t no = el.number();
  const uint32_t size = el.size() * uint32_t{el.occurs()};
  *area = pc_area(ctx, static_cast<uint8_t>(no / kAreaSpan), ap, no % kAreaSpan, size, 0, 2, el.area_class());
  *off = 0;
  return *area != 0;
}

// The compiled element: the field's type, place, mask and null source as
// the interpreter reads them, and the constants of its FL record.
void fill_celem(PC_CTX* ctx, const uint8_t* elem, const char* at, uint32_t area, uint16_t off, uint8_t* c) {
  const elem_view el(elem);
  c[CEL_TYPE] = el.type();
  c[CEL_SIGNED] = elem[ELEM_SIGNED];
  st_le16(c, CEL_SIZE, el.size());
  st_le16(c, CEL_OFF, off);
  c[CEL_HI] = el.hi();
  c[CEL_LO] = el.lo();
  memcpy(c + CEL_MASK, el.mask(), kMaskLen);
  const uint8_t ind = elem[ELEM_NULL_TEXT];
  c[CEL_NULL_IND] = ind;
  c[CEL_NULL_SRC] = ind == ' ' || ind == 0 ? CEL_NULL_NONE
                    : is_file_field(elem)  ? CEL_NULL_FROM_FILE
                                           : CEL_NULL_FROM_CONST;
  st_le16(c, CEL_OCCURS, el.occurs());
  st_le16(c, CEL_ADDR, static_cast<uint16_t>(area));
  st_le16(c, CEL_ADDR + 2, off);
  memcpy(c + CEL_AP, at, 3);
  memcpy(c + CEL_NAME, el.name(), 22);
  c[CEL_KIND] = el.kind();
  memcpy(c + CEL_CODE_LEN, elem + ELEM_CODE_LEN, 2);
  memcpy(c + CEL_ELEM, elem + ELEM_NUMBER, 4);
  // The constants of the FL record (read back by key: its own record).
  uint8_t key[CFLD_LEN] = {};
  memcpy(key + CFLD_AP, at, 3), memcpy(key + CFLD_NAME, el.name(), 22);
  if (const uint8_t* r = em_read_key(ctx->em->em_cfld_arb, 0, key)) {
    memcpy(c + CEL_INIT, r + CFLD_INIT, 4);
    memcpy(c + CEL_NULL, r + CFLD_NULL, 4);
  }
}

}  // namespace

int pc_fld(const char* ap, const char* name, const pc_occ& occ, uint8_t* out, PC_CTX* ctx, uint8_t* elem_out) {
  if (ctx->err_cnt) return 0;
  uint8_t elem[kElementSize];
  char at[3];
  if (!pc_elem(ctx, ap, name, elem, at)) return pc_err(ctx, "field %.22s of %.3s not found", name, ap);
  const uint16_t size = elem_view(elem).size(), occurs = elem_view(elem).occurs();
  if (occ.kind == PC_OCC_NUM && occ.value > occurs)
    return pc_err(ctx, "occurrence %u of %.22s above its %u", occ.value, name, occurs);
  if (occ.kind != PC_OCC_NUM && occ.kind != PC_OCC_INDEX && occ.kind != PC_OCC_NONE)
    return pc_err(ctx, "occurrence kind %u of %.22s not supported", occ.kind, name);
  uint32_t area = 0;
  uint16_t off = 0;
  if (!place(ctx, at, elem, &area, &off)) return 0;
  const uint32_t fl = pc_fl(ctx, at, elem, area, off);
  if (!fl) return 0;
  if (occ.kind == PC_OCC_NUM && occ.value > 1) off = static_cast<uint16_t>(off + (occ.value - 1u) * size);
  memset(out, 0, kPcFldOut);
  out[PCF_KIND] = elem_view(elem).kind();
  st_le32(out, PCF_FL, fl);
  fill_celem(ctx, elem, at, area, off, out + PCF_CELEM);
  if (elem_out) memcpy(elem_out, elem, kElementSize);
  return 1;
}

}  // namespace kivo
