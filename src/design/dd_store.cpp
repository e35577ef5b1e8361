// The file pass: a file's up-to-date test, its compile, the comparison of
// its structure with the stored one (which decides its structure date),
// and the store of the compiled file as ELEMENT, INITIAL, FILE and RECORD
// records with its summary.
//
// Invariants: a file that does not compile stores nothing; a FILE record is
// written only after its elements and images are, so a store cut short
// leaves a FILE record whose stamp no element carries, and the next run
// compiles the file again.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "design/dd.h"
#include "design/dd_msg.h"
#include "fm/file_rec_view.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/text.h"

namespace kivo {

namespace {

constexpr const char* kModule = "DDSTORE";

using rec_list = std::vector<std::vector<uint8_t>>;

bool same_elem_file(const uint8_t* r, const uint8_t* from) { return memcmp(r + ELEM_FILE, from + ELEM_FILE, 8) == 0; }
bool same_init_file(const uint8_t* r, const uint8_t* from) { return memcmp(r + INIT_FILE, from + INIT_FILE, 8) == 0; }

// The ELEMENT records of file `name` (8) in sequence order; false when they
// cannot be read.
bool file_elements(ARB* a, const uint8_t* name, rec_list* out) {
  uint8_t from[kElementSize] = {};
  memcpy(from + ELEM_FILE, name, 8);
  return dd_scan(a, 2, from, kElementSize, same_elem_file, out);
}

bool is_key(const uint8_t* e) { return e[ELEM_KEY_ROLE] != 255; }

// One stored element against its compiled form: false when stored data
// would read differently.
bool same_element(const uint8_t* old, const uint8_t* now) {
  const bool dom_old = old[ELEM_KIND] == 1, dom_now = now[ELEM_KIND] == 1;
  if (!dom_old && !dom_now && !is_key(old) && !is_key(now)) return true;
  if (ld_le16(old, ELEM_OFFSET) != ld_le16(now, ELEM_OFFSET) || ld_le16(old, ELEM_SIZE) != ld_le16(now, ELEM_SIZE))
    return false;
  const bool keys = is_key(old) || is_key(now);
  if (keys && (old[ELEM_KEY_ROLE] != now[ELEM_KEY_ROLE] || old[ELEM_KEY_NO] != now[ELEM_KEY_NO] ||
               old[ELEM_KEY_FLAG] != now[ELEM_KEY_FLAG]))
    return false;
  if (!dom_old || !dom_now) return true;
  if (ld_le16(old, ELEM_OCCURS) != ld_le16(now, ELEM_OCCURS) || old[ELEM_TYPE] != now[ELEM_TYPE] ||
      memcmp(old + ELEM_NULL_TEXT, now + ELEM_NULL_TEXT, 33) != 0 || memcmp(old + ELEM_MASK, now + ELEM_MASK, 60) != 0)
    return false;
  if (now[ELEM_TYPE] == 1) {
    if (old[ELEM_JUSTIFY] != now[ELEM_JUSTIFY] || old[ELEM_FILL] != now[ELEM_FILL]) return false;
    if (old[ELEM_CHAR_FLAG] == '1' && now[ELEM_CHAR_FLAG] == '0') return false;
    bool blank_mask = true;
    for (size_t i = 0; i < kMaskLen; ++i) blank_mask = blank_mask && (now[ELEM_MASK + i] == ' ' || !now[ELEM_MASK + i]);
    if (blank_mask && old[ELEM_WORD_FLOW] != now[ELEM_WORD_FLOW]) return false;
  }
  return old[ELEM_SIGNED] == now[ELEM_SIGNED] && old[ELEM_HI] == now[ELEM_HI] && old[ELEM_LO] == now[ELEM_LO];
}

// The fixed structure numbers of the design files of "0AD"; 0 for a name
// that keeps its date.
uint32_t design_struct_no(const uint8_t* name) {
  static const struct {
    const char* name;
    uint32_t no;
  } kFixed[] = {{"BITMAP", 1},  {"INITIAL", 1}, {"DOCUMENT", 3}, {"DOMAIN", 3},   {"FIELD", 3}, {"IMAGE", 3},
                {"SELECT", 3},  {"SORT", 3},    {"TOKEN", 3},    {"EXCEPT", 3},   {"CHILD", 2}, {"CHR", 2},
                {"ELEMENT", 2}, {"FILE", 2},    {"FRAME", 2},    {"ITEM", 2},     {"PARAM", 2}, {"PROCESS", 2},
                {"RECORD", 2},  {"ROW", 2},     {"STMT", 2},     {"DICTNARY", 2}, {"XLAT", 2}};
  for (auto& f : kFixed) {
    char padded[8];
    memset(padded, ' ', 8);
    memcpy(padded, f.name, strlen(f.name));
    if (memcmp(padded, name, 8) == 0) return f.no;
  }
  return 0;
}

// The store failed after it began: the caller learns it by 100150.
int store_failed(dd_ctx* ctx) {
  dd_err(ctx, 100150, DD_KIND_FILE, reinterpret_cast<const uint8_t*>(ctx->file));
  return 0;
}

bool replace_elements(dd_ctx* ctx, const uint8_t* fi) {
  ARB* ea = ctx->arb[DD_ELEM];
  rec_list old, fresh;
  if (!file_elements(ea, fi + FI_NAME, &old))
    return checkstat(ea->arb_stat, "bad elem constraint", kModule, __LINE__), false;
  for (auto& e : old)
    if (!dd_delete(ea, 0, e.data(), kElementSize))
      return checkstat(ea->arb_stat, "bad del_all", kModule, __LINE__), false;
  uint8_t from[kMelemSize] = {};
  if (!dd_scan(
          dd.melem_arb, 0, from, kMelemSize, [](const uint8_t*, const uint8_t*) { return true; }, &fresh))
    return checkstat(dd.melem_arb->arb_stat, "Bad melem start ", kModule, __LINE__), false;
  for (auto& m : fresh) {
    uint8_t* e = m.data();
    if (e[ELEM_KIND] != 3) st_le32(e, ELEM_NUMBER, file_rec_view(fi).number());
    memcpy(e + ELEM_STAMP, fi + FI_STAMP, 8);
    if (!dd_write(ea, e, kElementSize)) return checkstat(ea->arb_stat, "bad element write", kModule, __LINE__), false;
  }
  return true;
}

bool replace_initial(dd_ctx* ctx, const uint8_t* fi) {
  ARB* ia = ctx->arb[DD_INIT];
  uint8_t from[kInitRecMax] = {};
  memcpy(from + INIT_FILE, fi + FI_NAME, 8);
  rec_list old;
  if (!dd_scan(ia, 0, from, kInitRecMax, same_init_file, &old))
    return checkstat(ia->arb_stat, "Bad init attach", kModule, __LINE__), false;
  for (auto& r : old)
    if (!dd_delete(ia, 0, r.data(), kInitRecMax))
      return checkstat(ia->arb_stat, "Bad init del_all", kModule, __LINE__), false;
  if (!dd_put_initial(ia, fi + FI_NAME, ctx->init_buf, ctx->null_buf, file_rec_view(fi).rec_len()))
    return checkstat(ia->arb_stat, "bad INIT file write", kModule, __LINE__), false;
  return true;
}

// FILE rewritten in place when it exists, so that a failed write never
// leaves the file without one; then RECORD takes FILE's first 140 bytes
// but its own record length.
bool replace_file_and_record(dd_ctx* ctx, const uint8_t* fi) {
  ARB* fa = ctx->arb[DD_FILE];
  uint8_t held[kFileRecSize];
  memcpy(held, fi, kFileRecSize);
  const bool present = dd_read(fa, 0, held, kFileRecSize, true);
  if (!present && fa->arb_stat != FM_NOT_FOUND)
    return checkstat(fa->arb_stat, "Bad FILE Del ", kModule, __LINE__), false;
  if (!(present ? dd_rewrite(fa, fi, kFileRecSize) : dd_write(fa, fi, kFileRecSize)))
    return checkstat(fa->arb_stat, "Bad FILE Write", kModule, __LINE__), false;
  ARB* ra = ctx->arb[DD_REC];
  uint8_t rec[kRecordSize];
  memcpy(rec, fi, kRecordSize);
  if (!dd_read(ra, 0, rec, kRecordSize, true))
    return checkstat(ra->arb_stat, "Bad record read ", kModule, __LINE__), false;
  uint8_t len[2];
  memcpy(len, rec + RCD_REC_LEN, 2);
  memcpy(rec, fi, kRecordCopy);
  memcpy(rec + RCD_REC_LEN, len, 2);
  if (!dd_rewrite(ra, rec, kRecordSize)) return checkstat(ra->arb_stat, "Bad rewrite ", kModule, __LINE__), false;
  return true;
}

}  // namespace

uint32_t init_chunk_count(size_t len) { return static_cast<uint32_t>((len + kInitChunk - 1) / kInitChunk); }

size_t init_chunk(uint8_t* rec, const uint8_t* name, uint8_t kind, uint32_t c, const uint8_t* image, size_t len) {
  const size_t from = (c - 1) * kInitChunk, n = std::min(kInitChunk, len - from);
  memcpy(rec + INIT_FILE, name, 8);
  rec[INIT_KIND] = kind;
  st_le32(rec, INIT_CHUNK, c);
  memcpy(rec + INIT_DATA, image + from, n);
  return INIT_DATA + n;
}

int dd_put_initial(ARB* a, const uint8_t* name, const uint8_t* init, const uint8_t* nulls, size_t len) {
  for (uint32_t c = 1; c <= init_chunk_count(len); ++c) {
    for (uint8_t kind : {INIT_VALUES, INIT_NULLS}) {
      uint8_t rec[kInitRecMax];
      a->arb_rec = rec;
      a->arb_len = kInitRecMax;
      a->arb_var_len = static_cast<uint16_t>(init_chunk(rec, name, kind, c, kind == INIT_VALUES ? init : nulls, len));
      a->arb_mod = 0;
      const int ok = fm_write(a);
      a->arb_var_len = 0;
      if (!ok) return 0;
    }
  }
  return 1;
}

int comp_struct(dd_ctx* ctx, const uint8_t* stored, const uint8_t* fi) {
  if (!stored) return 0;
  const uint8_t org = fi[FI_ORG], was = stored[FI_ORG];
  if (org != was && !(org == 2 && was == 1)) return 0;
  if (memcmp(stored + FI_VAR, fi + FI_VAR, 3) != 0 || file_rec_view(stored).rec_len() != file_rec_view(fi).rec_len() ||
      file_rec_view(stored).nkeys() != file_rec_view(fi).nkeys())
    return 0;
  for (int k = 0; k < file_rec_view(fi).nkeys() && k < kFileMaxKeys; ++k)
    if (file_rec_view(stored).key_segs(k) != file_rec_view(fi).key_segs(k) ||
        file_rec_view(stored).key_len(k) != file_rec_view(fi).key_len(k))
      return 0;
  rec_list old;
  if (!file_elements(ctx->arb[DD_ELEM], fi + FI_NAME, &old)) return 0;
  for (auto& o : old) {
    uint8_t now[kMelemSize] = {};
    memcpy(now + ELEM_NAME, o.data() + ELEM_NAME, 22);
    if (!dd_read(dd.melem_arb, 0, now, kMelemSize, false) || !same_element(o.data(), now)) return 0;
  }
  return 1;
}

int upd_src_fi(dd_ctx* ctx, uint8_t* fi) {
  uint32_t st = 0;
  const char ap[4] = {ctx->ap[0], ctx->ap[1], ctx->ap[2], 0}, ver[3] = {ctx->ver[0], ctx->ver[1], 0};
  if (!ctx->arb[DD_INIT]) ctx->arb[DD_INIT] = open_dsgn_fi(INIT_DINIT_FDB, ap, ver, true, &st);
  if (!ctx->arb[DD_INIT]) {
    checkstat(st, "Cannot open INITIAL File ", kModule, __LINE__);
    return store_failed(ctx);
  }
  if (!replace_elements(ctx, fi) || !replace_initial(ctx, fi)) return store_failed(ctx);
  const bool stored = replace_file_and_record(ctx, fi);
  bld_sum_fi(ctx, fi);
  return stored ? 1 : store_failed(ctx);
}

int vfy_fi(dd_ctx* ctx) {
  const uint8_t* name = reinterpret_cast<const uint8_t*>(ctx->file);
  uint8_t rec[kRecordSize] = {};
  memcpy(rec + RCD_NAME, name, 8);
  if (!dd_read(ctx->arb[DD_REC], 0, rec, kRecordSize, false)) {
    if (ctx->arb[DD_REC]->arb_stat != FM_NOT_FOUND)
      return checkstat(ctx->arb[DD_REC]->arb_stat, "Bad record read ", kModule, __LINE__), 0;
    return dd_err(ctx, 100250, DD_KIND_FILE, name), 0;
  }
  uint8_t stored[kFileRecSize] = {};
  memcpy(stored + FI_NAME, name, 8);
  const bool has_file = dd_read(ctx->arb[DD_FILE], 0, stored, kFileRecSize, false);
  if (!has_file && ctx->arb[DD_FILE]->arb_stat != FM_NOT_FOUND)
    return checkstat(ctx->arb[DD_FILE]->arb_stat, "Cannot read FILE", kModule, __LINE__), 0;
  if (has_file && !dd_is_null_date(stored + FI_STAMP)) {
    rec_list elems;
    if (!file_elements(ctx->arb[DD_ELEM], name, &elems))
      return checkstat(ctx->arb[DD_ELEM]->arb_stat, "bad file read", kModule, __LINE__), 0;
    if (!elems.empty() && !getenv("DD_SUMMARY_FILE") && memcmp(elems[0].data() + ELEM_STAMP, stored + FI_STAMP, 8) == 0)
      return 1;
  }
  uint8_t fi[kFileRecSize] = {};
  if (has_file) memcpy(fi, stored, kFileRecSize);
  memcpy(fi, rec, kRecordSize);
  int ok = cmpl_fi(ctx, fi);
  if (ok) {
    if (memcmp(ctx->ap, "0AD", 3) == 0 && file_rec_view(fi).fs_type() == 1) {
      if (const uint32_t no = design_struct_no(name)) {
        st_le32(fi, FI_STRUCT, 0);
        st_le32(fi, FI_STRUCT + 4, no);
      }
    } else {
      const uint32_t word = file_rec_view(fi).struct_word(0);
      if (!comp_struct(ctx, has_file ? stored : nullptr, fi) || word == 0 || word == 0xFFFFFFFF) dd_now(fi + FI_STRUCT);
    }
    ok = upd_src_fi(ctx, fi);
  }
  rec_list groups;
  uint8_t from[62] = {};
  dd_scan(
      dd.group_arb, 0, from, sizeof from, [](const uint8_t*, const uint8_t*) { return true; }, &groups);
  for (auto& g : groups) dd_delete(dd.group_arb, 0, g.data(), g.size());
  dd.group_depth = 0;
  return ok;
}

}  // namespace kivo
