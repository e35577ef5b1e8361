// A file's fields compiled into elements (MELEM) and its FILE record: the
// record layout with its offsets and segment numbers, groups, substrings
// and synonyms, key slots and key numbers, special uses, the initial and
// null records, and the file's two numbers.
//
// Invariants: a field that fails writes no element and moves nothing on
// (the running offset, the segment numbers, the key slots); a check that
// would refuse a key slot is made before the slot is written. Open groups
// live in GROUP, one record per nesting level.
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
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/text.h"

namespace kivo {

namespace {

constexpr const char* kModule = "DDFILE";
constexpr uint32_t kMaxOffset = 32766;
constexpr uint32_t kMaxRecLen = 32767;
constexpr int kKeyNumbers = 17;  // requested key numbers 0-16

// GROUP work record (62 bytes; key: the level). The first member's
// sequence is a full word at 50, so the counters after it start at 54.
constexpr size_t kGroupSize = 62;
enum : size_t {
  GR_LEVEL = 0,       // u16
  GR_NAME = 2,        // 22
  GR_LAST = 24,       // 22 the group's last field
  GR_SIZE = 46,       // u16 bytes so far
  GR_OFFSET = 48,     // u16 offset of the first member with a segment
  GR_FIRST_SEQ = 50,  // u32 sequence of the first member, 0 none yet
  GR_SEGS = 54,       // u16 segments so far
  GR_LAST_SEG = 56,   // u16 segment number of the last member
  GR_LAST_CNT = 58,   // u16 segment count of the last member
  GR_CONTIG = 60,     // 1 until a member breaks the run of segment numbers
  GR_SLOT = 61,       // key slot of the group
};
static_assert(GR_SLOT + 1 == kGroupSize);

struct fi_state {
  uint8_t* fi;
  uint32_t offset = 0;    // running offset
  uint32_t next_seg = 1;  // next segment number
  bool failed = false;
  bool used[kKeyNumbers] = {};
  int high_req = 0;  // highest requested key number kept
};

void field_err(dd_ctx* ctx, uint32_t number, const uint8_t* name) { dd_err(ctx, number, DD_KIND_FIELD, name); }
void file_err(dd_ctx* ctx, uint32_t number) {
  dd_err(ctx, number, DD_KIND_FILE, reinterpret_cast<const uint8_t*>(ctx->file));
}

uint32_t occurs(const uint8_t* e) { return ld_le16(e, ELEM_OCCURS) ? ld_le16(e, ELEM_OCCURS) : 1; }
uint32_t span(const uint8_t* e) { return ld_le16(e, ELEM_SIZE) * occurs(e); }
uint32_t segments(const uint8_t* e) { return ld_le32(e, MELEM_ALIGN) * occurs(e); }

bool read_melem(const uint8_t* name, uint8_t* e, bool hold) {
  memset(e, 0, kMelemSize);
  memcpy(e + ELEM_NAME, name, 22);
  return dd_read(dd.melem_arb, 0, e, kMelemSize, hold);
}

bool read_group(int level, uint8_t* g, bool hold) {
  memset(g, 0, kGroupSize);
  st_le16(g, GR_LEVEL, static_cast<uint16_t>(level));
  return dd_read(dd.group_arb, 0, g, kGroupSize, hold);
}

bool rewrite_group(const uint8_t* g) {
  if (dd_rewrite(dd.group_arb, g, kGroupSize)) return true;
  checkstat(dd.group_arb->arb_stat, "bad group rewrite ", kModule, __LINE__);
  return false;
}

std::vector<std::vector<uint8_t>> all_groups() {
  std::vector<std::vector<uint8_t>> out;
  uint8_t from[kGroupSize] = {};
  dd_scan(
      dd.group_arb, 0, from, kGroupSize, [](const uint8_t*, const uint8_t*) { return true; }, &out);
  return out;
}

// ---- special uses ----

struct usage {
  uint8_t kind, use;
  size_t slot[2];  // FILE offsets, 0 none
  uint32_t msg;
};
constexpr usage kUsages[] = {
    {1, 2, {148, 0}, 100440}, {1, 3, {152, 0}, 100450}, {1, 4, {148, 152}, 100430}, {2, 2, {156, 0}, 100300},
    {2, 3, {160, 0}, 100310}, {3, 2, {140, 0}, 100400}, {3, 3, {144, 0}, 100410},   {3, 4, {140, 144}, 100390},
    {4, 2, {164, 0}, 100640}, {4, 3, {168, 0}, 100650}, {4, 4, {172, 0}, 100470},   {4, 5, {176, 0}, 100480},
};

// Claims the FILE slot(s) of the field's special use: 0 when one is taken.
int fi_usage_type(dd_ctx* ctx, fi_state* st, uint8_t eff_kind, const uint8_t* e) {
  for (const usage& u : kUsages) {
    if (u.kind != eff_kind || u.use != e[ELEM_SPECIAL]) continue;
    for (size_t s : u.slot)
      if (s && ld_le32(st->fi, s)) return field_err(ctx, u.msg, e + ELEM_NAME), 0;
    for (size_t s : u.slot)
      if (s) st_le32(st->fi, s, ld_le32(e, ELEM_SEQ));
    return 1;
  }
  return 1;
}

// ---- fields by kind ----

// The message for 1, 2 or 3 bytes short of a multiple of 4: a warning
// when KIVO_ALLOW_MISALIGNS is set, else the refusing form.
uint32_t misalign_msg(uint32_t bytes) {
  static const uint32_t kAllowed[3] = {100040, 100050, 100060}, kRefused[3] = {100045, 100055, 100065};
  return (getenv("KIVO_ALLOW_MISALIGNS") ? kAllowed : kRefused)[bytes - 1];
}

// The offset of a binary number or date that is no multiple of its unit,
// by the bytes to the next multiple of its size.
void check_alignment(dd_ctx* ctx, const uint8_t* e, uint32_t offset) {
  const uint8_t t = e[ELEM_TYPE];
  if (t != 5 && t != 6 && t != 7) return;
  const uint32_t size = ld_le16(e, ELEM_SIZE);
  const uint32_t unit = size == 8 ? 4 : size;
  if (unit == 0 || offset % unit == 0) return;
  const uint32_t gap = (size - offset % size) % size;
  if (gap % 4) field_err(ctx, misalign_msg(gap % 4), e + ELEM_NAME);
}

int cmpl_dom_fld(dd_ctx* ctx, fi_state* st, const uint8_t* fld, uint8_t* e) {
  dd_list("\t\t%.*s (domain field)\n", fld + FLD_NAME, 22);
  uint8_t dom[kDomRecLen];
  if (!get_ddom(ctx, fld, dom)) return 0;
  if (!bld_elem(ctx, dom, fld, e)) return 0;
  const uint32_t offset = st->offset;
  check_alignment(ctx, e, offset);
  // A field must start within the record's 32766 and end within 32767,
  // the most a record length holds.
  if (offset > kMaxOffset || offset + span(e) > kMaxRecLen) return field_err(ctx, 100690, fld + FLD_NAME), 0;
  if (!fi_usage_type(ctx, st, dom[DOM_EFF_KIND], e)) return 0;
  st_le16(e, ELEM_OFFSET, static_cast<uint16_t>(offset));
  st->offset += span(e);
  st_le16(e, ELEM_SEGMENT, static_cast<uint16_t>(st->next_seg));
  st->next_seg += segments(e);
  if (e[ELEM_SPECIAL] != 1) st->fi[FI_ALL_SPECIAL] = '0';
  return 1;
}

int cmpl_group_hdr(dd_ctx* ctx, const uint8_t* fld, uint8_t* e) {
  dd_list("\t\t%.*s (group header)\n", fld + FLD_NAME, 22);
  uint8_t last[kFieldSize] = {};
  memcpy(last + FLD_NAME, fld + FLD_REF, 22);
  if (!dd_read(ctx->arb[DD_FLD], 0, last, kFieldSize, false) || memcmp(last + FLD_FILE, fld + FLD_FILE, 8) != 0)
    return field_err(ctx, 100290, fld + FLD_NAME), 0;
  for (auto& g : all_groups())
    if (memcmp(g.data() + GR_LAST, fld + FLD_NAME, 22) == 0) return field_err(ctx, 100370, fld + FLD_NAME), 0;
  uint8_t g[kGroupSize] = {};
  st_le16(g, GR_LEVEL, static_cast<uint16_t>(dd.group_depth + 1));
  memcpy(g + GR_NAME, fld + FLD_NAME, 22);
  memcpy(g + GR_LAST, fld + FLD_REF, 22);
  g[GR_CONTIG] = 1;
  if (!dd_write(dd.group_arb, g, kGroupSize))
    return checkstat(dd.group_arb->arb_stat, "Bad group write", kModule, __LINE__), 0;
  ++dd.group_depth;
  cpy_elem(fld, e);
  return 1;
}

int cmpl_syn_substr(dd_ctx* ctx, const uint8_t* fld, uint8_t* e) {
  dd_list("\t\t%.*s (syn. or substring)\n", fld + FLD_NAME, 22);
  if (!read_melem(fld + FLD_REF, e, false)) {
    uint8_t base[kFieldSize] = {};
    memcpy(base + FLD_NAME, fld + FLD_REF, 22);
    uint32_t msg = 100710;
    if (dd_read(ctx->arb[DD_FLD], 0, base, kFieldSize, false))
      msg = ld_le32(base, FLD_SEQ) <= ld_le32(fld, FLD_SEQ) ? 100170 : 100180;
    return field_err(ctx, msg, fld + FLD_NAME), 0;
  }
  const uint32_t base_size = ld_le16(e, ELEM_SIZE), base_occ = occurs(e);
  const uint32_t occ = ld_le16(fld, FLD_OCCURS) ? ld_le16(fld, FLD_OCCURS) : 1;
  if (fld[FLD_KIND] == ELEM_KIND_SYNONYM) {
    if (e[ELEM_KIND] >= ELEM_KIND_GROUP && e[ELEM_KIND] <= ELEM_KIND_SYNONYM)
      return field_err(ctx, 100600, fld + FLD_NAME), 0;
    if (occ > base_occ) return field_err(ctx, 100610, fld + FLD_NAME), 0;
  } else {
    if (int64_t{ld_le16(fld, FLD_SUB_FIRST)} + ld_le16(fld, FLD_SUB_SIZE) - 1 > int64_t{base_size})
      field_err(ctx, 100580, fld + FLD_NAME);  // it still compiles
    if (base_occ >= 2) return field_err(ctx, 100590, fld + FLD_REF), 0;
  }
  cpy_elem(fld, e);
  return 1;
}

// ---- keys ----

// A key slot for the element: the primary key's slot 0 or the next one.
// Every refusal is made before anything is written.
int proc_key(dd_ctx* ctx, fi_state* st, uint8_t* e) {
  uint8_t* fi = st->fi;
  const uint8_t req = e[ELEM_KEY_NO];
  if (req != 0 && req != 255) {
    // A number outside the table of used numbers, or one taken, is refused
    // and the key numbered like one that asked for none.
    if (req >= kKeyNumbers || st->used[req]) {
      field_err(ctx, 100240, e + ELEM_NAME);
      e[ELEM_KEY_NO] = 255;
    } else {
      st->used[req] = true;
      st->high_req = std::max<int>(st->high_req, req);
    }
  }
  const bool primary = e[ELEM_KEY_ROLE] == 0;
  const int slot = primary ? 0 : file_rec_view(fi).nkeys();
  if (!primary && slot >= kFileMaxKeys) return file_err(ctx, 100800), 0;
  const uint32_t len = span(e);
  const bool group = e[ELEM_KIND] == 2;
  if (!group && len > 255) return field_err(ctx, 100660, e + ELEM_NAME), 0;
  if (!group) {
    const uint32_t other = primary ? 0 : file_rec_view(fi).key_len(0);
    if (len + other > 65535) return file_err(ctx, 100810), 0;
  }
  if (!primary) fi[FI_NKEYS] = static_cast<uint8_t>(slot + 1);
  st_le32(fi, FI_KEY_SEQ + 4 * slot, ld_le32(e, ELEM_SEQ));
  if (group) {
    uint8_t g[kGroupSize];
    if (!read_group(dd.group_depth, g, true))
      return checkstat(dd.group_arb->arb_stat, "Bad group read", kModule, __LINE__), 0;
    g[GR_SLOT] = static_cast<uint8_t>(slot);
    if (!dd_rewrite(dd.group_arb, g, kGroupSize))
      return checkstat(dd.group_arb->arb_stat, "group file rewrite", kModule, __LINE__), 0;
    return 1;
  }
  fi[FI_KEY_SEGS + slot] = static_cast<uint8_t>(segments(e));
  st_le16(fi, FI_KEY_LEN + 2 * slot, static_cast<uint16_t>(len));
  return 1;
}

// ---- groups ----

// Closes the group of `g` (its level must be the innermost): the header's
// element takes the group's size, offset and segment count, and a key
// group its slot's.
int proc_group(dd_ctx* ctx, fi_state* st, uint8_t* g) {
  const int level = ld_le16(g, GR_LEVEL);
  if (level != dd.group_depth) return field_err(ctx, 100280, g + GR_NAME), 0;
  int ok = 1;
  uint8_t h[kMelemSize];
  if (read_melem(g + GR_NAME, h, true)) {
    const uint16_t size = ld_le16(g, GR_SIZE), segs = ld_le16(g, GR_SEGS);
    st_le16(h, ELEM_SIZE, size);
    st_le16(h, ELEM_OFFSET, ld_le16(g, GR_OFFSET));
    st_le16(h, ELEM_SEGMENT, segs);
    h[ELEM_TYPE] = g[GR_CONTIG] ? 1 : 2;
    if (h[ELEM_KEY_ROLE] != 255) {
      const int slot = g[GR_SLOT];
      const uint32_t primary = slot ? file_rec_view(st->fi).key_len(0) : 0;
      if (size >= 256 || size + primary > 65535) {
        field_err(ctx, 100270, g + GR_NAME);
        ok = 0;
      } else {
        st->fi[FI_KEY_SEGS + slot] = static_cast<uint8_t>(segs);
        st_le16(st->fi, FI_KEY_LEN + 2 * slot, size);
      }
    }
    if (!dd_rewrite(dd.melem_arb, h, kMelemSize))
      checkstat(dd.melem_arb->arb_stat, "bad melem write", kModule, __LINE__);
  }
  uint8_t del[kGroupSize];
  memcpy(del, g, kGroupSize);
  dd_delete(dd.group_arb, 0, del, kGroupSize);
  --dd.group_depth;
  return ok;
}

// The group of `level` after one more field `e` of kind `kind`.
int upd_group(dd_ctx* ctx, fi_state* st, int level, uint8_t kind, const uint8_t* e) {
  uint8_t g[kGroupSize];
  if (!read_group(level, g, true)) return 0;
  const uint32_t first = ld_le32(g, GR_FIRST_SEQ);
  // A synonym may only rename a field from before the group; until the group
  // has a first member there is nothing to be before.
  if (kind == 5 && first != 0) {
    uint8_t base[kMelemSize];
    if (read_melem(e + ELEM_DOMAIN, base, false) && ld_le32(base, ELEM_SEQ) >= first)
      field_err(ctx, 100210, e + ELEM_NAME);
  }
  if (kind != 2) st_le16(g, GR_SIZE, static_cast<uint16_t>(ld_le16(g, GR_SIZE) + span(e)));
  if (first == 0) st_le32(g, GR_FIRST_SEQ, ld_le32(e, ELEM_SEQ));
  if (kind != 2 && kind != 3) {
    const uint16_t segno = ld_le16(e, ELEM_SEGMENT);
    if (ld_le16(g, GR_SEGS) == 0) st_le16(g, GR_OFFSET, ld_le16(e, ELEM_OFFSET));
    else if (segno != ld_le16(g, GR_LAST_SEG) + ld_le16(g, GR_LAST_CNT)) g[GR_CONTIG] = 0;
    st_le16(g, GR_SEGS, static_cast<uint16_t>(ld_le16(g, GR_SEGS) + segments(e)));
    st_le16(g, GR_LAST_SEG, segno);
    st_le16(g, GR_LAST_CNT, static_cast<uint16_t>(segments(e)));
  }
  if (!rewrite_group(g)) return 0;
  if (memcmp(g + GR_LAST, e + ELEM_NAME, 22) == 0) return proc_group(ctx, st, g);
  return 1;
}

// ---- one field ----

// The element of one FIELD into MELEM; 0 when the field fails.
int cmpl_field(dd_ctx* ctx, fi_state* st, const uint8_t* fld) {
  uint8_t e[kMelemSize] = {};
  const uint8_t kind = fld[FLD_KIND];
  int ok = 0;
  switch (kind) {
    case ELEM_KIND_DOMAIN: ok = cmpl_dom_fld(ctx, st, fld, e); break;
    case ELEM_KIND_GROUP: ok = cmpl_group_hdr(ctx, fld, e); break;
    case ELEM_KIND_NO_STORAGE: cpy_elem(fld, e), ok = 1; break;
    case ELEM_KIND_SUBSTRING:
    case ELEM_KIND_SYNONYM: ok = cmpl_syn_substr(ctx, fld, e); break;
    default: field_err(ctx, 102660, fld + FLD_NAME); break;
  }
  if (!ok) return 0;
  if (dd.group_depth > 0 && kind == ELEM_KIND_SUBSTRING) field_err(ctx, 100570, fld + FLD_NAME);
  // The enclosing groups, innermost first; a header is a member of the
  // groups around it, not of its own.
  for (int level = kind == 2 ? dd.group_depth - 1 : dd.group_depth; level >= 1; --level)
    if (!upd_group(ctx, st, level, kind, e)) ok = 0;
  st_le32(e, ELEM_NUMBER, kind == 3 ? 0 : file_rec_view(st->fi).number());
  memcpy(e + ELEM_AREA_CLASS, st->fi + FI_CLASS, 3);
  for (int i = 0; i < 3; ++i)
    if (memcmp(e + ELEM_CODES + 4 * i, "    ", 4) == 0 || ld_le32(e, ELEM_CODES + 4 * i) == 0)
      memcpy(e + ELEM_CODES + 4 * i, st->fi + FI_CODES + 4 * i, 4);
  if (e[ELEM_KEY_ROLE] < 255 && !proc_key(ctx, st, e)) return 0;
  if (!dd_write(dd.melem_arb, e, kMelemSize))
    return checkstat(dd.melem_arb->arb_stat, "bad melem write", kModule, __LINE__), 0;
  return ok;
}

// ---- the end of the file ----

// Key numbers: afresh when a requested one reaches the key count; the
// FIELD records take the numbers given.
void number_keys(dd_ctx* ctx, fi_state* st, bool* primary) {
  const bool afresh = st->high_req >= file_rec_view(st->fi).nkeys();
  bool used[kKeyNumbers] = {};
  std::vector<std::vector<uint8_t>> elems;
  uint8_t from[kMelemSize] = {};
  dd_scan(
      dd.melem_arb, 0, from, kMelemSize, [](const uint8_t*, const uint8_t*) { return true; }, &elems);
  if (!afresh)
    for (auto& m : elems)
      if (m[ELEM_KEY_ROLE] != 0 && m[ELEM_KEY_ROLE] != 255 && m[ELEM_KEY_NO] != 0 && m[ELEM_KEY_NO] < kKeyNumbers)
        used[m[ELEM_KEY_NO]] = true;
  for (auto& m : elems) {
    uint8_t* e = m.data();
    const uint8_t before = e[ELEM_KEY_NO];
    if (e[ELEM_KEY_ROLE] == 0) {
      e[ELEM_KEY_NO] = 0;
      *primary = true;
    } else if (e[ELEM_KEY_ROLE] == 255) {
      e[ELEM_KEY_NO] = 255;
    } else if (afresh || e[ELEM_KEY_NO] == 0 || e[ELEM_KEY_NO] == 255) {
      int n = 1;
      while (n < kKeyNumbers && used[n]) ++n;
      if (n < kKeyNumbers) used[n] = true;
      e[ELEM_KEY_NO] = static_cast<uint8_t>(n < kKeyNumbers ? n : 255);
    }
    if (e[ELEM_KEY_NO] != before) {
      uint8_t held[kMelemSize];
      memcpy(held, e, kMelemSize);
      if (!dd_read(dd.melem_arb, 0, held, kMelemSize, true) || !dd_rewrite(dd.melem_arb, e, kMelemSize))
        checkstat(dd.melem_arb->arb_stat, "bad melem write", kModule, __LINE__);
    }
    uint8_t f[kFieldSize] = {};
    memcpy(f + FLD_NAME, e + ELEM_NAME, 22);
    if (!dd_read(ctx->arb[DD_FLD], 0, f, kFieldSize, true)) {
      checkstat(ctx->arb[DD_FLD]->arb_stat, "Bad FIELD read ", kModule, __LINE__);
      continue;
    }
    if (f[FLD_KEY_NO] == e[ELEM_KEY_NO]) {
      fm_release(ctx->arb[DD_FLD]);
      continue;
    }
    f[FLD_KEY_NO] = e[ELEM_KEY_NO];
    if (!dd_rewrite(ctx->arb[DD_FLD], f, kFieldSize))
      checkstat(ctx->arb[DD_FLD]->arb_stat, "Bad FIELD write ", kModule, __LINE__);
  }
}

// The null and initial values of every domain field, in each occurrence.
bool fill_images(dd_ctx* ctx) {
  std::vector<std::vector<uint8_t>> elems;
  uint8_t from[kMelemSize] = {};
  dd_scan(
      dd.melem_arb, 0, from, kMelemSize, [](const uint8_t*, const uint8_t*) { return true; }, &elems);
  bool ok = true;
  for (auto& m : elems) {
    const uint8_t* e = m.data();
    if (e[ELEM_KIND] != 1) continue;
    if (!null_etoi(ctx, e) || !init_etoi(ctx, e)) {
      ok = false;
      continue;
    }
    const uint32_t off = ld_le16(e, ELEM_OFFSET), size = ld_le16(e, ELEM_SIZE);
    for (uint32_t k = 1; k < occurs(e); ++k) {
      memcpy(ctx->init_buf + off + k * size, ctx->init_buf + off, size);
      memcpy(ctx->null_buf + off + k * size, ctx->null_buf + off, size);
    }
  }
  return ok;
}

// The file's two numbers; a change stamps byte 116.
bool file_numbers(dd_ctx* ctx, uint8_t* fi) {
  uint32_t first = file_rec_view(fi).number(), second = file_rec_view(fi).number2();
  const uint32_t first_was = first, second_was = second;
  const uint8_t row = fi[FI_CLASS_ROW], col = fi[FI_CLASS_COL];
  if (!proc_ano(ctx, &first, row, col, 3, nullptr)) return false;
  const bool limited = fi[FI_ALLOC] == '1';
  if (!proc_ano(ctx, &second, limited ? std::min(row, fi[FI_ALLOC_ROW]) : row,
                limited ? std::min(col, fi[FI_ALLOC_COL]) : col, limited ? 2 : 1, nullptr))
    return false;
  if (second == first) second = 0;
  st_le32(fi, FI_NUMBER, first);
  st_le32(fi, FI_NUMBER2, second);
  if (first != first_was || second != second_was) dd_now(fi + FI_NUM_STAMP);
  return true;
}

bool same_file(const uint8_t* r, const uint8_t* from) { return memcmp(r + FLD_FILE, from + FLD_FILE, 8) == 0; }

// Compiles the file's fields; each one compiled is stamped so that it no
// longer asks for a compile. 0 after a failure already reported that ends
// the file's compile (st.failed notes those that do not).
int compile_fields(dd_ctx* ctx, fi_state& st, uint8_t* fi) {
  uint8_t from[kFieldSize] = {};
  memcpy(from + FLD_FILE, fi + FI_NAME, 8);
  std::vector<std::vector<uint8_t>> fields;
  if (!dd_scan(ctx->arb[DD_FLD], 3, from, kFieldSize, same_file, &fields))
    return checkstat(ctx->arb[DD_FLD]->arb_stat, "bad fld constraint", kModule, __LINE__), 0;
  if (fields.empty()) return file_err(ctx, 100260), 0;
  for (auto& f : fields) {
    if (!cmpl_field(ctx, &st, f.data())) {
      st.failed = true;
      continue;
    }
    uint8_t* fld = f.data();
    if (!dd_read(ctx->arb[DD_FLD], 0, fld, kFieldSize, true)) {
      checkstat(ctx->arb[DD_FLD]->arb_stat, "bad fld rewrite ", kModule, __LINE__);
      continue;
    }
    memcpy(fld + FLD_STAMP, fi + FI_STAMP, 8);
    if (!dd_rewrite(ctx->arb[DD_FLD], fld, kFieldSize))
      checkstat(ctx->arb[DD_FLD]->arb_stat, "bad fld rewrite ", kModule, __LINE__);
  }
  return 1;
}

// The record's initial and null images, the keys numbered, the file's numbers.
void finish_file(dd_ctx* ctx, fi_state& st, uint8_t* fi) {
  if (dd.standalone && st.offset % 4) file_err(ctx, misalign_msg(4 - st.offset % 4));
  dd.init_img.assign(st.offset, ' ');
  dd.null_img.assign(st.offset, ' ');
  ctx->init_buf = dd.init_img.data();
  ctx->null_buf = dd.null_img.data();
  bool primary = false;
  number_keys(ctx, &st, &primary);
  if (!fill_images(ctx)) st.failed = true;
  if (fi[FI_ORG] == 3 && !primary) {
    file_err(ctx, 100670);
    st.failed = true;
  }
  if (!st.failed && !file_numbers(ctx, fi)) st.failed = true;
}

}  // namespace

int cmpl_fi(dd_ctx* ctx, uint8_t* fi) {
  dd_list("%.*s (file)\n", fi + FI_NAME, 8);
  dd_now(fi + FI_STAMP);
  fi[FI_ALL_SPECIAL] = '1';
  dd.group_depth = 0;
  memset(fi + FI_SPECIAL, 0, FI_ALL_SPECIAL - FI_SPECIAL);
  fi[FI_NKEYS] = fi[FI_ORG] == 3 ? 1 : 0;
  fi_state st;
  st.fi = fi;
  if (!compile_fields(ctx, st, fi)) return 0;
  for (auto& g : all_groups()) {
    field_err(ctx, 100630, g.data() + GR_NAME);
    st.failed = true;
  }
  st_le16(fi, FI_REC_LEN, static_cast<uint16_t>(st.offset));
  if (st.offset == 0) {
    file_err(ctx, 100700);
    return 0;
  }
  finish_file(ctx, st, fi);
  return st.failed ? 0 : 1;
}

}  // namespace kivo
