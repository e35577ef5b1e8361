// Sort keys: the descriptors built from sort element records, and the
// encoding of one record's fields into bytes that compare as unsigned.
//
// All type handling happens here, once per record; the runs and the merge
// only compare bytes. A null value sorts first (null flag 0), a descending
// element is complemented, the closing element makes every key unique.
#include <algorithm>
#include <cstring>

#include "compiler/pc.h"
#include "compiler/pc_celem.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "process/qs.h"
#include "types/date_mask.h"
#include "types/element.h"
#include "types/pd.h"
#include "types/std_date.h"

namespace kivo {

namespace {

constexpr uint32_t kClosingLen = 4;
constexpr uint8_t kNegCode = 15, kPosCode = 1;

bool date_desc(QS_DESC* d, const uint8_t* celem) {
  date_msk_blk b{};
  memcpy(d->mask, celem_view(celem).mask(), sizeof d->mask);
  b.len = sizeof d->mask;
  b.mask = d->mask;
  b.first = d->hi;
  b.last = d->lo;
  b.type = celem_view(celem).type();
  b.h24 = 1;
  if (!cv_cmpl_date_msk(&b)) return false;
  d->mask_len = b.len;
  d->date_type = b.type;
  d->doy = b.doy;
  d->h24 = b.h24;
  return true;
}

// Key length and type by the element's data type; 0 for none.
uint32_t key_len_of(QS_DESC* d, uint8_t type) {
  if (IS_ELEM_ALP(type) || IS_ELEM_LOG(type)) return d->size;
  if (IS_ELEM_DATE(type)) return d->key_type = KEY_DATE, 8;
  if (type == 5 || type == 8) return d->size + 1u;
  if (type == 12) return 2u * d->size;
  return 0;
}

bool blank(const uint8_t* p, uint32_t n) {
  return std::all_of(p, p + n, [](uint8_t c) { return c == ' '; });
}

uint8_t null_flag(const QS_DESC& d) {
  return d.has_null && d.null_val.size() == d.size && !memcmp(d.addr, d.null_val.data(), d.size) ? 0 : 1;
}

void key_alpha(const QRY_SORT* q, const QS_DESC& d, uint8_t* k) {
  if (blank(d.addr, d.size)) return void(memset(k, 0, d.size));
  for (uint32_t i = 0; i < d.size; ++i) k[i] = q->collate[d.addr[i]];
}

// Stored little-endian; the key puts the most significant byte first.
void key_binary(const QS_DESC& d, uint8_t* k) {
  k[0] = null_flag(d);
  for (uint32_t i = 0; i < d.size; ++i) k[1 + i] = d.addr[d.size - 1 - i];
  if (d.sign) k[1] ^= 0x80;
}

bool negative(const uint8_t* pd, uint32_t len) { return (pd[len - 1] & 0x0F) == pd_neg_sign(); }

void complement(uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) p[i] = uint8_t(~p[i]);
}

void key_packed(const QS_DESC& d, uint8_t* k) {
  k[0] = null_flag(d);
  const bool neg = negative(d.addr, d.size);
  const uint8_t s = neg ? kNegCode : kPosCode;
  uint8_t* v = k + 1;
  if ((d.hi + d.lo) % 2 == 0) {
    memcpy(v, d.addr, d.size);
    v[0] = uint8_t((s << 4) | (v[0] & 0x0F));
  } else {
    v[0] = uint8_t((s << 4) | (d.addr[0] >> 4));
    for (uint32_t i = 1; i < d.size; ++i) v[i] = uint8_t((d.addr[i - 1] << 4) | (d.addr[i] >> 4));
  }
  if (neg) complement(v, d.size);
}

// The stored value is packed of size - 1 bytes and a scale byte; the key
// holds it at the element's integer digits as scale, so all values share one.
void key_varpoint(const QS_DESC& d, uint8_t* k) {
  const uint32_t vlen = d.size - 1u;
  const uint8_t scale = d.addr[vlen];
  const bool neg = negative(d.addr, vlen);
  k[0] = null_flag(d);
  k[1] = uint8_t((neg ? kNegCode : kPosCode) << 4);
  uint8_t* v = k + 2;
  const int wide = int(d.key_len - 2);
  pd_set(v, wide, d.addr, int(vlen));
  pd_shft(v, wide, int(d.hi) - int(scale));
  if (neg) complement(k + 1, d.key_len - 1);
}

bool key_date(const QS_DESC& d, uint8_t* k) {
  std_date s{};
  s.raw_len = d.size;
  s.raw = const_cast<uint8_t*>(d.addr);
  s.mask_len = d.mask_len;
  s.mask = d.mask;
  s.first = d.hi;
  s.last = d.lo;
  s.type = d.date_type;
  s.doy = d.doy;
  s.h24 = d.h24;
  if (!cv_ntos_date(&s)) return false;
  memcpy(k, s.part, 8);
  k[0] ^= 0x80;
  return true;
}

bool key_elem(QRY_SORT* q, const QS_DESC& d, uint8_t* k, uint32_t selno) {
  if (d.key_type == 0) return st_be32(k, 0, selno), true;
  switch (d.key_type) {
    case 1:
    case 2:
    case 13: key_alpha(q, d, k); break;
    case 11: k[0] = d.addr[0]; break;
    case 5: key_binary(d, k); break;
    case 8: key_packed(d, k); break;
    case 12: key_varpoint(d, k); break;
    case KEY_DATE:
      if (!key_date(d, k)) {
        sys_err("PBSORT", __LINE__, "can't convert to greg_bin");
        return false;
      }
      break;
    default: sys_err("PBSORT", __LINE__, "get_pcf_rec() - unexpected case switch"); return false;
  }
  if (d.order == '-') complement(k, d.key_len);
  return true;
}

}  // namespace

bool qs_add_elem(QRY_SORT* q, const uint8_t* se) {
  const uint8_t* celem = se + SE_FLD + PCF_CELEM;
  const celem_view ce(celem);
  QS_DESC d{};
  d.level = se[SE_LEVEL];
  d.order = se[SE_ORDER];
  d.key_type = ce.type();
  d.size = ce.size();
  d.hi = ce.hi();
  d.lo = ce.lo();
  d.sign = ce.is_signed();
  d.key_len = key_len_of(&d, d.key_type);
  if (!d.key_len || (d.key_type == 12 && (d.size < 2 || d.key_len - 2 > uint32_t(kPdMaxLen)))) {
    sys_err("PBSORT", __LINE__, "cmpl_sort() - unexpected case switch");
    return false;
  }
  if (d.key_type == KEY_DATE && !date_desc(&d, celem)) {
    sys_err("PBSORT", __LINE__, "can't compile date mask");
    return false;
  }
  d.addr = q->field_addr ? q->field_addr(q->ctx, celem) : q->rec_area + ce.offset();
  if (IS_ELEM_NUM(ce.type()) || d.key_type == KEY_DATE) get_null_val(q, celem, &d);
  d.key_off = q->key_len;
  q->key_len += d.key_len;
  q->desc.push_back(std::move(d));
  return true;
}

void qs_close_key(QRY_SORT* q, uint16_t levels) {
  QS_DESC d{};
  d.order = '+';
  d.key_len = kClosingLen;
  d.key_off = q->key_len;
  q->key_len += kClosingLen;
  q->desc.push_back(d);
  q->levels = levels;
  q->level_tab.assign(q->key_len, 0);
  for (const QS_DESC& e : q->desc) memset(q->level_tab.data() + e.key_off, e.level, e.key_len);
}

void get_null_val(QRY_SORT* q, const uint8_t* celem, QS_DESC* d) {
  d->has_null = false;
  const celem_view ce(celem);
  if (IS_ELEM_NUM(ce.type()) && ce.null_ind() == ' ') return;
  switch (ce.null_src()) {
    case CEL_NULL_NONE: return;
    case CEL_NULL_FROM_FILE:
    case CEL_NULL_FROM_CONST:
      d->has_null = q->null_value ? q->null_value(q->ctx, celem, &d->null_val) : qs_module_null(q, celem, &d->null_val);
      return;
    default: sys_err("PBSORT", __LINE__, "get_null_val() - unexpected case switch");
  }
}

bool qs_make_key(QRY_SORT* q, uint8_t* entry, uint32_t selno) {
  for (const QS_DESC& d : q->desc)
    if (!key_elem(q, d, entry + d.key_off, selno)) return false;
  return true;
}

int memcmp2(const uint8_t* a, const uint8_t* b, uint32_t n, uint32_t* pos) {
  for (uint32_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return *pos = i, int(a[i]) - int(b[i]);
  return *pos = 0, 0;
}

uint16_t qs_level(const QRY_SORT* q, const uint8_t* a, const uint8_t* b) {
  uint32_t pos = 0;
  if (!memcmp2(a, b, q->key_len, &pos)) return uint16_t(q->levels + 1);
  const uint8_t level = q->level_tab[pos];
  return level ? level : uint16_t(q->levels + 1);
}

}  // namespace kivo
