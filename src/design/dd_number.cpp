// Element and file numbers: the BITMAP pages of a data area (400
// sequences a page, 999,999 an area), the allocation of a number that no
// other file or element holds, and the record helpers of a run.
#include <cstring>

#include "compiler/design_records.h"
#include "design/dd.h"
#include "design/dd_msg.h"
#include "design/design_builder.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/os.h"

namespace kivo {

namespace {

constexpr uint32_t kSeqMax = kAreaSpan - 1;  // 999,999: the next would be the next area's
constexpr uint32_t kBmBytes = kBitmapPerPage / 8;

// Page `p` of `area` read with hold; a missing one is written with zero
// bits and read again. 1, or 0 with the status in the handle.
int page_held(ARB* a, uint32_t area, uint32_t p, uint8_t* page) {
  memset(page, 0, kBitmapSize);
  st_le32(page, BM_AREA, area);
  st_le32(page, BM_PAGE, p);
  if (dd_read(a, 0, page, kBitmapSize, true)) return 1;
  if (a->arb_stat != FM_NOT_FOUND) return 0;
  memset(page + BM_HIGH, 0, kBitmapSize - BM_HIGH);
  return dd_write(a, page, kBitmapSize) && dd_read(a, 0, page, kBitmapSize, true);
}

bool raise_high(ARB* a, uint32_t area, uint32_t seq) {
  uint8_t page[kBitmapSize];
  if (!page_held(a, area, 1, page)) return false;
  if (ld_le32(page, BM_HIGH) >= seq) return fm_release(a), true;
  st_le32(page, BM_HIGH, seq);
  return dd_rewrite(a, page, kBitmapSize);
}

const uint8_t kAreaTable[4][4] = {{0, 0, 0, 0}, {1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}};

}  // namespace

uint32_t bm_take(ARB* a, uint32_t area, bool* full) {
  *full = false;
  uint8_t page[kBitmapSize];
  for (uint32_t p = 1; (p - 1) * kBitmapPerPage < kSeqMax; ++p) {
    if (!page_held(a, area, p, page)) return 0;
    for (uint32_t i = 0; i < kBmBytes; ++i) {
      if (page[BM_BITS + i] == 0xFF) continue;
      uint32_t b = 0;
      while (page[BM_BITS + i] & (1u << b)) ++b;
      const uint32_t seq = (p - 1) * kBitmapPerPage + i * 8 + b + 1;
      if (seq > kSeqMax) break;
      page[BM_BITS + i] = static_cast<uint8_t>(page[BM_BITS + i] | (1u << b));
      if (!dd_rewrite(a, page, kBitmapSize)) return 0;
      return raise_high(a, area, seq) ? seq : 0;
    }
    fm_release(a);
  }
  *full = true;
  return 0;
}

int bm_set(ARB* a, uint32_t area, uint32_t seq, bool on, bool* was) {
  uint8_t page[kBitmapSize];
  const uint32_t bit = (seq - 1) % kBitmapPerPage;
  if (seq == 0 || seq > kSeqMax || !page_held(a, area, (seq - 1) / kBitmapPerPage + 1, page)) return 0;
  uint8_t& byte = page[BM_BITS + bit / 8];
  *was = byte & (1u << (bit % 8));
  byte = static_cast<uint8_t>(on ? byte | (1u << (bit % 8)) : byte & ~(1u << (bit % 8)));
  if (!dd_rewrite(a, page, kBitmapSize)) return 0;
  return on ? raise_high(a, area, seq) : 1;
}

uint32_t bm_high(ARB* a, uint32_t area) {
  uint8_t page[kBitmapSize] = {};
  st_le32(page, BM_AREA, area);
  st_le32(page, BM_PAGE, 1);
  return dd_read(a, 0, page, kBitmapSize, false) ? ld_le32(page, BM_HIGH) : 0;
}

int bit_find(dd_ctx* ctx, uint32_t* seq, uint32_t area) {
  ARB* a = ctx->arb[DD_BITMAP];
  if (*seq != 0 && *seq <= bm_high(a, area)) return 1;
  bool full = false;
  const uint32_t s = bm_take(a, area, &full);
  if (!s) {
    if (!full) checkstat(a->arb_stat, "Read bitmap fi", "DDCMPL", __LINE__);
    return 0;
  }
  *seq = s;
  return 1;
}

int bit_free(dd_ctx* ctx, uint32_t number) {
  bool was = false;
  const int ok = bm_set(ctx->arb[DD_BITMAP], number / kAreaSpan, number % kAreaSpan, false, &was);
  if (!ok) checkstat(ctx->arb[DD_BITMAP]->arb_stat, "Bad BITMAP write", "DDCMPL", __LINE__);
  return ok && was;
}

namespace {

// Another file's FILE record holds `number` as its first or second number.
bool held_by_file(dd_ctx* ctx, uint32_t number) {
  for (uint8_t k : {1, 2}) {
    uint8_t fi[kFileRecSize] = {};
    st_le32(fi, k == 1 ? FI_NUMBER : FI_NUMBER2, number);
    if (dd_read(ctx->arb[DD_FILE], k, fi, kFileRecSize, false) && memcmp(fi + FI_NAME, ctx->file, 8) != 0) return true;
  }
  return false;
}

// An element of another name (or, for a file, of another file) holds it.
bool held_by_element(dd_ctx* ctx, uint32_t number, const uint8_t* name) {
  uint8_t from[kElementSize] = {};
  st_le32(from, ELEM_NUMBER, number);
  std::vector<std::vector<uint8_t>> found;
  if (!dd_scan(
          ctx->arb[DD_ELEM], 3, from, kElementSize,
          [](const uint8_t* r, const uint8_t* f) { return ld_le32(r, ELEM_NUMBER) == ld_le32(f, ELEM_NUMBER); },
          &found)) {
    checkstat(ctx->arb[DD_ELEM]->arb_stat, "Bad constraint", "DDCMPL", __LINE__);
    return true;
  }
  for (auto& e : found)
    if (name ? memcmp(e.data() + ELEM_NAME, name, 22) != 0 : memcmp(e.data() + ELEM_FILE, ctx->file, 8) != 0)
      return true;
  return false;
}

}  // namespace

int proc_ano(dd_ctx* ctx, uint32_t* number, uint8_t row, uint8_t col, int mode, const uint8_t* name) {
  uint32_t area = row < 4 && col < 4 ? kAreaTable[row][col] : 0;
  if ((mode == 1 || mode == 2) && area > 2) area = 2;
  uint32_t seq = 0;
  if (*number) {
    seq = *number % kAreaSpan;
    if (seq && *number / kAreaSpan != area) {
      bit_free(ctx, *number);
      seq = 0;
    }
  }
  for (;;) {
    if (!bit_find(ctx, &seq, area)) {
      if (name) dd_err(ctx, DD_AREA_FULL, DD_KIND_FIELD, name);
      else dd_err(ctx, DD_AREA_FULL, DD_KIND_FILE, reinterpret_cast<const uint8_t*>(ctx->file));
      return 0;
    }
    const uint32_t n = area * kAreaSpan + seq;
    if (!held_by_file(ctx, n) && !held_by_element(ctx, n, name)) {
      *number = n;
      return 1;
    }
    seq = 0;  // a fresh allocation
  }
}

// ---- record helpers ----

int dd_read(ARB* a, uint8_t keyno, uint8_t* rec, size_t len, bool hold) {
  PROTO_FULL(a, keyno, rec);
  a->arb_len = static_cast<uint16_t>(len);
  a->arb_mod = static_cast<uint16_t>(ARB_EQUAL | (hold ? ARB_HOLD : 0));
  const int ok = fm_read(a);
  a->arb_mod = 0;
  return ok;
}

int dd_write(ARB* a, const uint8_t* rec, size_t len) {
  a->arb_rec = const_cast<uint8_t*>(rec);
  a->arb_len = static_cast<uint16_t>(len);
  a->arb_var_len = 0;
  a->arb_mod = 0;
  return fm_write(a);
}

int dd_rewrite(ARB* a, const uint8_t* rec, size_t len) {
  a->arb_rec = const_cast<uint8_t*>(rec);
  a->arb_len = static_cast<uint16_t>(len);
  a->arb_var_len = 0;
  a->arb_mod = 0;
  return fm_rewrite(a);
}

int dd_delete(ARB* a, uint8_t keyno, uint8_t* rec, size_t len) {
  if (!dd_read(a, keyno, rec, len, true)) return 0;
  return fm_del(a);
}

bool dd_scan(ARB* a, uint8_t keyno, const uint8_t* from, size_t len, bool (*same)(const uint8_t*, const uint8_t*),
             std::vector<std::vector<uint8_t>>* out) {
  std::vector<uint8_t> rec(from, from + len);
  PROTO_FULL(a, keyno, rec.data());
  a->arb_len = static_cast<uint16_t>(len);
  a->arb_mod = 0;
  if (!fm_start(a)) return a->arb_stat == FM_NOT_FOUND || a->arb_stat == FM_EOF;
  while (fm_rdnxt(a) && same(rec.data(), from)) out->push_back(rec);
  a->arb_mod = 0;
  return true;
}

// Stamps decide what is up to date: two compiles within one hundredth
// still get distinct ones.
void dd_now(uint8_t* stamp) { ss_clock_store(stamp, DesignBuilder::unique_stamp()); }

void dd_null_date(uint8_t* stamp) { memset(stamp, 0xFF, 8); }
bool dd_is_null_date(const uint8_t* stamp) { return ld_le32(stamp, 0) == 0xFFFFFFFF; }

}  // namespace kivo
