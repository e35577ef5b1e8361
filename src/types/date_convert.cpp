// Dispatch of the date forms by storage type, and the two conversions
// between display text and stored value.
//
// The stored value is written only after both sides converted: a refused
// entry leaves it as it was.
#include "types/date_convert.h"

#include <cstring>

#include "foundation/sys_err.h"
#include "types/date_internal.h"
#include "types/pd.h"
#include "types/std_date.h"

namespace kivo {

int cv_ntos_date(std_date* d) {
  switch (d->type) {
    case DT_TEXT_DOY:
    case DT_TEXT: return ntos_alp_date(d);
    case DT_BIN_DOY:
    case DT_BIN: return ntos_bin_date(d);
    case DT_PD_DOY:
    case DT_PD: return ntos_pd_date(d);
    case DT_UNIVERSAL: return ntos_uni_date(d);
    default: sys_err("CVDAT", __LINE__, "cv_ntos_date() - bad storage type"); return 0;
  }
}

int cv_ston_date(std_date* d) {
  switch (d->type) {
    case DT_TEXT_DOY:
    case DT_TEXT: return ston_alp_date(d);
    case DT_BIN_DOY:
    case DT_BIN: return ston_bin_date(d);
    case DT_PD_DOY:
    case DT_PD: return ston_pd_date(d);
    case DT_UNIVERSAL: return ston_uni_date(d);
    default: sys_err("CVDAT", __LINE__, "cv_ston_date() - bad storage type"); return 0;
  }
}

namespace {

constexpr int kMaxStored = 256;

std_date display_side(const date_cnv* c) {
  std_date d{};
  d.raw_len = c->ext_len;
  d.raw = reinterpret_cast<uint8_t*>(c->ext_addr);
  d.mask_len = c->dspl_mask_len;
  d.mask = c->dspl_mask;
  d.first = c->elem_hi;
  d.last = c->elem_lo;
  d.type = c->dspl_doy ? DT_TEXT_DOY : DT_TEXT;
  d.doy = c->dspl_doy;
  d.h24 = c->dspl_h24;
  d.entry = c->entry;
  d.display = 1;
  return d;
}

std_date stored_side(const date_cnv* c, uint8_t* raw) {
  std_date d{};
  d.raw_len = c->int_len;
  d.raw = raw;
  d.mask_len = c->stor_mask_len;
  d.mask = c->stor_mask;
  d.first = c->elem_hi;
  d.last = c->elem_lo;
  d.type = c->type;
  d.doy = c->stor_doy;
  d.h24 = c->stor_h24;
  d.entry = c->entry;
  return d;
}

}  // namespace

uint32_t dat_etoi(const date_cnv* c) {
  if (!c->int_addr || c->int_len > kMaxStored) return CV_BAD_DATE;
  std_date shown = display_side(c);
  if (!cv_ntos_date(&shown)) return CV_BAD_DATE;

  uint8_t staged[kMaxStored];
  memcpy(staged, c->int_addr, c->int_len);
  std_date stored = stored_side(c, staged);
  memcpy(stored.part, shown.part, sizeof stored.part);
  if (!cv_ston_date(&stored)) return CV_BAD_DATE;
  memcpy(c->int_addr, staged, c->int_len);
  return 1;
}

uint32_t dat_etou(const date_cnv* c, char* universal) {
  std_date shown = display_side(c);
  if (!cv_ntos_date(&shown)) return CV_BAD_DATE;
  std_date u{};
  u.raw_len = kUniversalLen;
  u.raw = reinterpret_cast<uint8_t*>(universal);
  u.first = c->elem_hi;
  u.last = c->elem_lo;
  u.type = DT_UNIVERSAL;
  memcpy(u.part, shown.part, sizeof u.part);
  return cv_ston_date(&u) ? 1 : CV_BAD_DATE;
}

uint32_t dat_itoe(const date_cnv* c) {
  std_date shown = display_side(c);
  uint32_t status = 1;
  if (c->int_undefined) {
    date_set_all(&shown, kPartNotGiven);
  } else {
    std_date stored = stored_side(c, c->int_addr);
    if (c->int_addr && cv_ntos_date(&stored)) {
      memcpy(shown.part, stored.part, sizeof shown.part);
    } else {
      date_set_all(&shown, kPartUnknown);
      status = CV_BAD_DATE;
    }
  }
  if (!cv_ston_date(&shown)) return CV_BAD_DATE;
  return status;
}

}  // namespace kivo
