// The conversions of a compiled block: `cv_etoi` and `cv_itoe` dispatch on
// the data type to the alpha, date, number and logic routines; `cv_itoe`
// also answers the display compare. `cv_init` sets up the module at start-up.
//
// The date and number routines take their own views of the block (date_cnv,
// num_cnv), filled here for each call; only the status comes back.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/com.h"
#include "foundation/pool.h"
#include "types/cnv.h"
#include "types/date_convert.h"
#include "types/element.h"
#include "types/std_date.h"
#include "types/types.h"

namespace kivo {

namespace {

constexpr char kPoolName[] = " CV_POOL   ";  // 11 characters
static_assert(sizeof kPoolName == kPoolNameLen + 1);

std::string g_cmp_buf;  // display text before a compared conversion; never shrunk

// The number area is the tail of num_cnv from `kind` on, byte for byte.
static_assert(offsetof(num_cnv, no_mask) - offsetof(num_cnv, kind) ==
              offsetof(cnv_num_area, no_mask) - offsetof(cnv_num_area, kind));
static_assert(sizeof(cnv_num_area) == offsetof(cnv_num_area, no_mask) + 1);

int finish(CNV* c, uint32_t status) {
  c->cnv_status = status;
  return status == CV_OK ? 1 : 0;
}

date_cnv date_view(CNV* c) {
  const cnv_dat_area& d = c->ta.dat;
  date_cnv v{};
  v.int_addr = get_int_addr_dspl(c);
  v.int_len = c->int_len;
  v.type = c->cnv_type;
  v.ext_addr = c->ext_addr;
  v.ext_len = c->ext_len;
  v.stor_mask = d.stor_mask;
  v.stor_mask_len = d.stor_len;
  v.stor_doy = d.stor_doy;
  v.stor_h24 = d.stor_h24;
  v.dspl_mask = d.dspl_mask;
  v.dspl_mask_len = d.dspl_len;
  v.dspl_doy = d.dspl_doy;
  v.dspl_h24 = d.dspl_h24;
  v.elem_hi = d.elem_hi;
  v.elem_lo = d.elem_lo;
  v.entry = d.entry;
  return v;
}

num_cnv num_view(CNV* c) {
  num_cnv n{};
  n.int_addr = get_int_addr_dspl(c);
  n.addr_mode = c->addr_mode;
  n.int_len = c->int_len;
  n.aux_addr = c->addr_mode < 2 ? c->aux_addr : nullptr;
  n.ext_addr = c->ext_addr;
  n.ext_len = c->ext_len;
  n.cnv_status = CV_OK;
  memcpy(&n.kind, &c->ta.num.kind, sizeof(cnv_num_area));
  return n;
}

int num_dispatch(CNV* c, bool to_internal) {
  num_cnv n = num_view(c);
  const int r = to_internal ? num_etoi(&n) : num_itoe(&n);
  c->cnv_status = n.cnv_status;
  return r;
}

// One display row after another into `out`.
void gather(const CNV* c, std::string* out) {
  const size_t stride = c->ext_stride ? c->ext_stride : static_cast<size_t>(c->ext_cols);
  out->clear();
  for (int r = 0; r < c->ext_rows; ++r) out->append(c->ext_addr + r * stride, static_cast<size_t>(c->ext_cols));
}

int dispatch(CNV* c, bool to_internal) {
  switch (c->cnv_type) {
    case ELEM_ALP:
    case ELEM_ALP_BLOCK: return to_internal ? alp_etoi(c) : alp_itoe(c);
    case ELEM_LOG: return to_internal ? log_etoi(c) : log_itoe(c);
    case ELEM_BIN:
    case ELEM_PD_FIX:
    case ELEM_PD_VAR: return num_dispatch(c, to_internal);
    default: break;
  }
  if (!IS_ELEM_DATE(c->cnv_type)) return finish(c, CV_BAD_CNV_TYPE);
  const date_cnv v = date_view(c);
  if (!v.int_addr) {
    if (!to_internal) cv_fill_dspl(c, '?');
    return finish(c, CV_NO_INT_ADDR);
  }
  return finish(c, to_internal ? dat_etoi(&v) : dat_itoe(&v));
}

int text_etoi(void* block) { return cv_etoi(static_cast<CNV*>(block)); }
int text_itoe(void* block) { return cv_itoe(static_cast<CNV*>(block)); }

}  // namespace

uint8_t* get_int_addr_dspl(CNV* c) {
  uint8_t* a = nullptr;
  switch (c->addr_mode) {
    case 0: a = c->int_indirect && c->int_addr ? *reinterpret_cast<uint8_t**>(c->int_addr) : c->int_addr; break;
    case 1: a = c->alt_indirect && c->alt_addr ? *reinterpret_cast<uint8_t**>(c->alt_addr) : c->alt_addr; break;
    case 2: a = c->aux_addr; break;
    default: break;
  }
  if (!a) c->cnv_status = CV_NO_INT_ADDR;
  return a;
}

void cv_fill_dspl(CNV* c, char ch) {
  const size_t stride = c->ext_stride ? c->ext_stride : static_cast<size_t>(c->ext_cols);
  for (int r = 0; r < c->ext_rows; ++r) memset(c->ext_addr + r * stride, ch, static_cast<size_t>(c->ext_cols));
}

int cv_etoi(CNV* c) {
  c->cnv_status = CV_OK;
  return dispatch(c, true);
}

int cv_dspl_universal(CNV* c, char* universal) {
  if (!IS_ELEM_DATE(c->cnv_type) || !c->ext_addr) return 0;
  const date_cnv v = date_view(c);
  return dat_etou(&v, universal) == 1;
}

int cv_itoe(CNV* c) {
  c->cnv_status = CV_OK;
  const bool compare = c->dspl_cmp == 1;
  if (compare) gather(c, &g_cmp_buf);
  const int r = dispatch(c, false);
  if (compare) {
    std::string now;
    gather(c, &now);
    c->dspl_cmp = now == g_cmp_buf ? 2 : 3;
  }
  return r;
}

text_cnv cv_text_cnv(CNV* c) {
  text_cnv t{};
  t.cnv_type = c->cnv_type;
  t.ext_addr = c->ext_addr;
  t.ext_rows = c->ext_rows;
  t.ext_cols = c->ext_cols;
  t.ext_stride = c->ext_stride;
  t.addr_mode = c->addr_mode;
  t.cnv_status = c->cnv_status;
  t.etoi = text_etoi;
  t.itoe = text_itoe;
  t.block = c;
  return t;
}

int cv_init() {
  mm_create_pool(kPoolName, com.sys_scope);
  g_cmp_buf.clear();
  cv_200_behavior = getenv("KIVO_184_MASKS") ? 0 : 1;
  cv_220_behavior = getenv("KIVO_200_ALIGNMENT") ? 0 : 1;
  return cv_token_cache_init();
}

}  // namespace kivo
