// Typed dates: a value typed in the universal form CCYYMMDDhhmmssth turned
// into the stored form of a compiled date block, for `cv_get_universal`.
//
// The typed-value reader sees only its own view of the block, so
// `cv_universal` names the block it reads for while it runs. A text that
// leaves out one of the element's levels is refused. Token codes are read
// through the block's own alpha conversion.
#include <cstring>
#include <vector>

#include "foundation/pool.h"
#include "types/cnv.h"
#include "types/element.h"
#include "types/std_date.h"

namespace kivo {

namespace {

const CNV* g_owner = nullptr;  // the block cv_universal reads for
std::vector<uint8_t> g_work;   // the value when no pool is given

uint8_t* place(POOL* pool, size_t n) {
  if (pool) return static_cast<uint8_t*>(MM_ALLOC(pool, n));
  if (g_work.size() < n) g_work.resize(n);
  return g_work.data();
}

// A token field whose code is stored: the typed text goes through the
// block's own conversion into a value of the stored length.
int token_code_value(CNV* c, POOL* pool) {
  uint8_t* value = place(pool, c->int_len);
  if (!value) return 0;
  CNV t = *c;
  t.int_addr = value;
  t.int_indirect = 0;
  t.addr_mode = 0;
  t.ext_rows = 1;
  t.ext_cols = c->ext_len;
  t.ext_stride = c->ext_len;
  if (!cv_etoi(&t)) return 0;
  c->int_addr = value;
  c->int_indirect = 0;
  c->addr_mode = 0;
  return 1;
}

}  // namespace

int cv_typed_date(uni_cnv* u, int, POOL* pool) {
  const CNV* c = g_owner;
  if (!c || !IS_ELEM_DATE(c->cnv_type) || u->ext_len < kUniversalLen) return 0;
  std_date typed{};
  typed.raw_len = kUniversalLen;
  typed.raw = reinterpret_cast<uint8_t*>(const_cast<char*>(u->ext_addr));
  typed.type = DT_UNIVERSAL;
  typed.first = 8;
  typed.last = 1;
  if (!cv_ntos_date(&typed)) return 0;
  const cnv_dat_area& d = c->ta.dat;
  if (typed.first < d.elem_hi || typed.last > d.elem_lo) return 0;
  std::vector<uint8_t> value(c->int_len, ' ');
  std_date s{};
  s.raw_len = c->int_len;
  s.raw = value.data();
  s.mask_len = d.stor_len;
  s.mask = d.stor_mask;
  s.first = d.elem_hi;
  s.last = d.elem_lo;
  s.type = c->cnv_type;
  s.doy = d.stor_doy;
  s.h24 = d.stor_h24;
  memcpy(s.part, typed.part, sizeof s.part);
  if (!cv_ston_date(&s)) return 0;
  u->int_addr = place(pool, value.size());
  if (!u->int_addr) return 0;
  memcpy(u->int_addr, value.data(), value.size());
  return 1;
}

int cv_universal(CNV* c, int keep_type, uint8_t* shared, POOL* pool) {
  uni_cnv u{};
  u.cnv_type = c->cnv_type;
  u.int_len = c->int_len;
  u.ext_addr = c->ext_addr;
  u.ext_len = c->ext_len;
  if (IS_ELEM_NUM(c->cnv_type)) {
    const cnv_num_area& n = c->ta.num;
    u.kind = n.kind;
    u.tot_digits = n.tot_digits;
    u.elem_hi = n.elem_hi;
    u.elem_lo = n.elem_lo;
    u.elem_signed = n.elem_signed;
  } else if (IS_ELEM_ALP(c->cnv_type)) {
    const cnv_alp_area& a = c->ta.alp;
    u.align_mode = a.align_mode;
    u.fill_char = a.fill_char;
    u.has_mask = !BLANK_MSK(a.mask);
    u.token_id = a.token_id;
    u.token_check = a.token_check;
  }
  if (IS_ELEM_ALP(c->cnv_type) && u.token_id && !u.token_check) return token_code_value(c, pool);
  g_owner = c;
  const int ok = cv_get_universal(&u, keep_type, shared, pool);
  g_owner = nullptr;
  if (!ok) return 0;
  c->int_addr = u.int_addr;
  c->int_indirect = 0;
  c->addr_mode = 0;
  c->int_len = u.int_len;
  c->cnv_type = u.cnv_type;
  if (IS_ELEM_NUM(u.cnv_type)) c->ta.num.kind = u.kind;
  return 1;
}

}  // namespace kivo
