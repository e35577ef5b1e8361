// The debugger's data lines: the fields a statement uses, found in the
// dictionary, shown through their conversion and stored back from text.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "compiler/pcb.h"
#include "compiler/stmt_layout.h"
#include "compiler/stmt_view.h"
#include "editors/dbg.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "interp/interp.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "types/cnv.h"
#include "types/date_mask.h"
#include "types/element.h"
#include "types/element_view.h"
#include "types/pd.h"

namespace kivo {

namespace {

// An operand reference of a STMT record (two, at bytes 88 and 118).
enum : size_t { OR_OCC = 0, OR_KIND = 2, OR_AP = 4, OR_NAME = 7, kOpndRefLen = 30 };
constexpr uint32_t kCvTextCut = 200050;  // the display is cut: the line shows what fits
constexpr uint32_t kDateMaskMsg = 760;   // the date mask of the data lines

// The application of a line: "---" is "0LA".
const char* line_ap(const dbg_line& l) { return memcmp(l.ap, "---", 3) == 0 ? "0LA" : l.ap; }

bool blank(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t c) { return c == ' ' || c == 0; });
}

// Which operands of a verb have data lines: 1 first, 2 second, 3 both.
int shown_operands(uint16_t verb, bool* has_lines) {
  static const uint16_t kBoth[] = {3, 4, 16, 18, 20, 23, 24, 38, 52, 66, 69, 71, 72, 74, 78};
  static const uint16_t kFirst[] = {5, 9, 10, 11, 27, 28, 41, 46, 48, 49, 50, 56, 57, 70, 81};
  static const uint16_t kNone[] = {8, 59, 60, 73};
  *has_lines = true;
  if (std::find(std::begin(kBoth), std::end(kBoth), verb) != std::end(kBoth)) return 3;
  if (std::find(std::begin(kFirst), std::end(kFirst), verb) != std::end(kFirst)) return 1;
  if (verb == 77) return 2;
  if (std::find(std::begin(kNone), std::end(kNone), verb) != std::end(kNone)) return 0;
  *has_lines = false;
  return 0;
}

// The ELEMENT record of `name` in `ap` for the process's version.
bool element(PCB* pcb, const char* ap, const char* name, uint8_t* elem) {
  char ver[2];
  pi_get_ver(pcb, ap, ver);
  ARB* a = ii_open_delem_fi(ap, ver);
  if (!a) return false;
  memset(elem, 0, kElementSize);
  memcpy(elem + ELEM_NAME, name, 22);
  PROTO_FULL(a, 0, elem);
  a->arb_len = kElementSize, a->arb_mod = ARB_EQUAL;
  const bool found = fm_read(a) != 0;
  FM_CLOSE(a, 0);
  return found;
}

// The display mask of a date field of `ap`: message 760, else the date
// mask of the field's application (its own, the system's, the built-in
// one). The current application plays no part: a stop may come before any
// screen set it, and a date would then end the process with a system error.
bool date_display_mask(PCB* pcb, const char* ap, const uint8_t* elem, char* mask) {
  const elem_view el(elem);
  char text[kDateMaskLen + 1];
  if (la_get_str(text, sizeof text, kDateMaskMsg)) {
    memset(mask, ' ', kDateMaskLen);
    memcpy(mask, text, strlen(text));
    dbg_date_mask_levels(mask, el.hi(), el.lo());
    return true;
  }
  char ver[2];
  pi_get_ver(pcb, ap, ver);
  return ut_get_date_msk(ap, ver, mask) != 0;
}

// A compiled conversion of the element of a field of `ap`; a date is shown
// through the mask above.
bool conversion(PCB* pcb, const char* ap, const uint8_t* elem, CNV* c) {
  sitm s;
  cv_item item{};
  item.rows = 1;
  const bool dated = IS_ELEM_DATE(elem_view(elem).type()) && date_display_mask(pcb, ap, elem, item.mask);
  cv_bld_sitm(&s, elem, dated ? &item : nullptr);
  if (!cv_cmpl(c, &s, nullptr)) return false;
  if (c->cnv_type == 1 && c->ta.alp.token_id) cv_load_token_of(c);
  return true;
}

}  // namespace

void dbg_date_mask_levels(char* mask, uint8_t hi, uint8_t lo) {
  for (int at = 0; at < kDateMaskLen;) {
    const date_chunk c = cv_get_chunk(mask + at, kDateMaskLen - at, 1);
    if (!c.used) break;
    // A day of year stands for the month and the day (levels 6 and 5).
    const int top = c.code == TK_DOY ? 6 : is_level_code(c.code) ? c.code - '0' : 0;
    const int bottom = c.code == TK_DOY ? 5 : top;
    if (top && (top > hi || bottom < lo)) memset(mask + at, '-', c.used);
    at += int(c.used);
  }
}

uint8_t* dbg_field_addr(PCB* pcb, dbg_line* l) {
  l->flags = 0;
  const char* ap = line_ap(*l);
  if (!element(pcb, ap, l->name, l->elem)) return nullptr;
  uint32_t occ = 1;
  if (l->occ[0] >= '0' && l->occ[0] <= '9') {
    occ = 0;
    for (char ch : l->occ)
      if (ch >= '0' && ch <= '9') occ = occ * 10 + uint32_t(ch - '0');
  } else if (isalpha(uint8_t(l->occ[0]))) {
    // The "0LA" index field of that name: binary when it ends in "I".
    dbg_line ix;
    memcpy(ix.ap, "0LA", 3);
    memset(ix.name, ' ', sizeof ix.name);
    memcpy(ix.name, l->occ, l->occ[1] == ' ' ? 1 : 2);
    const uint8_t* v = dbg_field_addr(pcb, &ix);
    if (!v) return nullptr;
    const int32_t n = l->occ[1] == 'I' ? int32_t(ld_le32(v, 0)) : pd_cvb(v, 8);
    occ = n > 0 ? uint32_t(n) : 0;
  }
  const elem_view el(l->elem);
  const uint32_t count = std::max<uint32_t>(el.occurs(), 1), len = el.size();
  // An occurrence outside the element's count would address another field.
  if (occ < 1 || occ > count || !len) return nullptr;
  if (el.type() == 2) l->flags |= kLineBinary;
  l->len = len;
  return pi_find_addr(pcb, ap, el.number(), 0, el.offset() + (occ - 1) * len, nullptr);
}

int cnv_fld_val(PCB* pcb, dbg_line* l, int direction) {
  uint8_t* at = dbg_field_addr(pcb, l);
  CNV c;
  if (!at || !conversion(pcb, line_ap(*l), l->elem, &c)) {
    if (direction) l->value.assign(kLineValueLen, '?');
    return 0;
  }
  std::string text(std::max<size_t>(size_t(c.ext_cols > 0 ? c.ext_cols : 1), kLineValueLen), ' ');
  std::vector<uint8_t> shown(at, at + l->len);
  if (l->flags & kLineBinary)
    for (uint8_t& b : shown)
      if (b < 32 || b > 126) b = '`';
  c.int_addr = direction ? shown.data() : at, c.int_indirect = 0, c.addr_mode = 0;
  c.ext_rows = 1, c.ext_addr = text.data(), c.ext_stride = uint32_t(text.size());
  c.ext_len = uint16_t(std::min<size_t>(text.size(), 65535));
  if (direction) {
    if (!cv_itoe(&c) && c.cnv_status != kCvTextCut) {
      l->value.assign(kLineValueLen, '?');
      return 0;
    }
    l->value.assign(text, 0, kLineValueLen);
    return 1;
  }
  memcpy(text.data(), l->value.data(), std::min(l->value.size(), text.size()));
  return cv_etoi(&c) ? 1 : 0;
}

int set_data_val(PCB* pcb, const uint8_t* rec, dbg_line lines[2]) {
  for (int i = 0; i < 2; ++i) lines[i] = dbg_line{};
  bool has = false;
  const int which = shown_operands(stmt_view(rec).verb(), &has);
  int n = 0;
  for (int k = 0; k < 2; ++k) {
    if (!(which & (1 << k))) continue;
    const uint8_t* o = rec + STMT_OPND + size_t(k) * kOpndRefLen;
    if (blank(o + OR_AP, 3) || blank(o + OR_NAME, 22)) continue;
    dbg_line& l = lines[n++];
    memcpy(l.ap, memcmp(o + OR_AP, "0LA", 3) == 0 ? "---" : reinterpret_cast<const char*>(o + OR_AP), 3);
    memcpy(l.name, o + OR_NAME, 22);
    const uint16_t kind = ld_le16(o, OR_KIND);
    if (kind == OCC_NUMBER) {
      const std::string d = std::to_string(ld_le16(o, OR_OCC) % 1000);
      memcpy(l.occ, (std::string(3 - d.size(), '0') + d).data(), 3);
    } else if (kind == OCC_INDEX) {
      memcpy(l.occ, o + OR_OCC, 2);
    }
    l.used = true;
    cnv_fld_val(pcb, &l, 1);
  }
  return has ? 1 : 0;
}

}  // namespace kivo
