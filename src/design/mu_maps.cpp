// The static maps of the design records (statement, element, structure
// header, initial-value key), their portable offsets, the MSK records of
// their dates, and a whole record converted by a map each way.
//
// Invariant: a static map covers every byte of its native record, so a
// record carried there and back comes back byte for byte; a statement's
// operand fillers are the exception and come back as the blanks a
// statement line writes.
#include <cstdio>
#include <cstring>

#include "compiler/stmt_layout.h"
#include "compiler/stmt_view.h"
#include "design/mu_port.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "types/date_mask.h"
#include "types/element.h"
#include "types/std_date.h"

namespace kivo {

namespace {

constexpr tme E(uint16_t off, uint16_t len, uint16_t port, uint8_t kind, uint8_t d = 0, uint8_t p = 0) {
  return tme{off, 0, len, port, kind, d, p, 0};
}

// The common part of a statement record.
const tme kStmtCommon[] = {
    E(STMT_PROC_TYPE, 1, 3, PK_UNSIGNED), E(STMT_PROC_NAME, 30, 30, PK_BYTES), E(STMT_FRM_PART, 1, 3, PK_UNSIGNED),
    E(STMT_FRM_NO, 4, 8, PK_UNSIGNED),    E(STMT_IMG_NO, 1, 4, PK_UNSIGNED),   E(STMT_CHLD_POS, 1, 4, PK_UNSIGNED),
    E(STMT_BLANK1, 2, 2, PK_BYTES),       E(STMT_CHLD_NO, 4, 8, PK_UNSIGNED),  E(STMT_EP, 1, 4, PK_UNSIGNED),
    E(STMT_BLANK2, 3, 3, PK_BYTES),       E(STMT_SEQ, 4, 8, PK_UNSIGNED),      E(STMT_SPARE, 2, 6, PK_UNSIGNED),
    E(STMT_SPARE + 2, 2, 6, PK_UNSIGNED), E(STMT_ADD_STAMP, 8, 16, 12, 8, 1),  E(STMT_CHG_STAMP, 8, 16, 12, 8, 1),
    E(STMT_ADD_USER, 3, 3, PK_BYTES),     E(STMT_CHG_USER, 3, 3, PK_BYTES),    E(STMT_PREFIX, 5, 5, PK_BYTES),
    E(STMT_SPARE2, 1, 1, PK_BYTES),       E(STMT_VERB, 2, 8, PK_VERB),         E(STMT_SPARE3, 2, 2, PK_BYTES),
};

// The operand fields of one verb, from its layout: a field reference's
// occurrence as an occurrence, one-byte words and digits as numbers, "Y"/"N"
// as logic, everything else as text; the bytes no field covers as a filler,
// carried as nothing but for the invocation verbs' 22 characters.
std::vector<tme> verb_list(int verb) {
  std::vector<tme> out;
  const bool invocation = stmt_layout_no(verb) == 2;
  for (const xme_stmt* f = xme_stmt_desc[verb]; f->rec_len || f->scr_width || f->type; ++f) {
    if (!f->rec_len) continue;
    const uint16_t off = static_cast<uint16_t>(STMT_OPND + f->rec_off);
    if (f->type == XT_FILLER) {
      out.push_back(E(off, f->rec_len, invocation ? 22 : 0, PK_FILLER));
      continue;
    }
    switch (f->type) {
      case XT_OCC:
      case XT_OCC2:
      case XT_NUMBER:
      case XT_LOOP_INDEX:
      case XT_LOOP_BOUND: out.push_back(E(off, f->rec_len, 6, PK_OCC)); break;
      case XT_YN: out.push_back(E(off, 1, 1, PK_LOGIC)); break;
      default:
        if (f->rec_len == 1) out.push_back(E(off, 1, 4, PK_UNSIGNED));
        else out.push_back(E(off, f->rec_len, f->rec_len, PK_BYTES));
    }
  }
  return out;
}

// The ELEMENT record, every byte: binaries as numbers (the stamp as its two
// words), texts and flag characters as text.
const tme kElementMap[] = {
    E(ELEM_NUMBER, 4, 0, PK_UNSIGNED),
    E(ELEM_CLASS, 1, 0, PK_BYTES),
    E(ELEM_NAME, 22, 0, PK_BYTES),
    E(ELEM_KIND, 1, 0, PK_UNSIGNED),
    E(ELEM_DOMAIN, 22, 0, PK_BYTES),
    E(ELEM_OFFSET, 2, 0, PK_UNSIGNED),
    E(ELEM_SIZE, 2, 0, PK_UNSIGNED),
    E(ELEM_OCCURS, 2, 0, PK_UNSIGNED),
    E(ELEM_FILE, 8, 0, PK_BYTES),
    E(ELEM_SEQ, 4, 0, PK_UNSIGNED),
    E(ELEM_BINARIES, 4, 0, PK_SIGNED),
    E(ELEM_BINARIES + 4, 4, 0, PK_SIGNED),
    E(ELEM_BINARIES + 8, 4, 0, PK_SIGNED),
    E(ELEM_BINARIES + 12, 4, 0, PK_SIGNED),
    E(ELEM_STAMP, 4, 0, PK_UNSIGNED),
    E(ELEM_STAMP + 4, 4, 0, PK_UNSIGNED),
    E(ELEM_DSPL_CHAR, 1, 0, PK_BYTES),
    E(ELEM_FIELD_PAIR, 2, 0, PK_BYTES),
    E(ELEM_LABEL, 30, 0, PK_BYTES),
    E(ELEM_HEAD1, 30, 0, PK_BYTES),
    E(ELEM_HEAD2, 30, 0, PK_BYTES),
    E(ELEM_AREA_CLASS, 3, 0, PK_BYTES),
    E(ELEM_SPECIAL, 1, 0, PK_UNSIGNED),
    E(ELEM_KEY_ROLE, 1, 0, PK_UNSIGNED),
    E(ELEM_KEY_NO, 1, 0, PK_UNSIGNED),
    E(ELEM_KEY_ORDER, 1, 0, PK_BYTES),
    E(ELEM_KEY_FLAG, 1, 0, PK_BYTES),
    E(ELEM_RNG_ABSENT, 1, 0, PK_UNSIGNED),
    E(ELEM_RNG_ABSENT + 1, 1, 0, PK_UNSIGNED),
    E(ELEM_RNG_LO, 30, 0, PK_BYTES),
    E(ELEM_RNG_HI, 30, 0, PK_BYTES),
    E(ELEM_LKP_AP, 3, 0, PK_BYTES),
    E(ELEM_LKP_FILE, 8, 0, PK_BYTES),
    E(ELEM_LKP_FIELD, 22, 0, PK_BYTES),
    E(ELEM_CODES, 4, 0, PK_BYTES),
    E(ELEM_CODES + 4, 4, 0, PK_BYTES),
    E(ELEM_CODES + 8, 4, 0, PK_BYTES),
    E(ELEM_SEGMENT, 2, 0, PK_UNSIGNED),
    E(ELEM_TYPE, 1, 0, PK_UNSIGNED),
    E(ELEM_INIT_TEXT, 60, 0, PK_BYTES),
    E(ELEM_NULL_TEXT, 33, 0, PK_BYTES),
    E(ELEM_MASK, 60, 0, PK_BYTES),
    E(ELEM_ALT_MASK, 60, 0, PK_BYTES),
    E(ELEM_DOM_REL, 1, 0, PK_UNSIGNED),
    E(ELEM_DOM_REL + 1, 1, 0, PK_UNSIGNED),
    E(ELEM_DOM_RNG1, 30, 0, PK_BYTES),
    E(ELEM_DOM_RNG2, 30, 0, PK_BYTES),
    E(ELEM_CODE_LEN, 2, 0, PK_UNSIGNED),
    E(ELEM_FORM_BYTE, 1, 0, PK_UNSIGNED),
    E(ELEM_ALP_FORM, 1, 0, PK_UNSIGNED),
    E(ELEM_JUSTIFY, 1, 0, PK_UNSIGNED),
    E(ELEM_CHAR_FLAG, 1, 0, PK_BYTES),
    E(ELEM_FILL, 1, 0, PK_BYTES),
    E(ELEM_WORD_FLOW, 1, 0, PK_BYTES),
    E(ELEM_SIGNED, 1, 0, PK_BYTES),
    E(ELEM_HI, 1, 0, PK_UNSIGNED),
    E(ELEM_LO, 1, 0, PK_UNSIGNED),
    E(ELEM_FIELD_BYTES, 3, 0, PK_BYTES),
};
static_assert(sizeof kElementMap / sizeof kElementMap[0] == 58);

// Record 1 of a structure file: the counts of initial-value and element records.
const tme kStructHdrMap[] = {E(0, 4, 0, PK_UNSIGNED), E(4, 4, 0, PK_UNSIGNED)};

// The key of an INITIAL record: file name, kind, chunk number.
const tme kInitHdrMap[] = {E(0, 8, 0, PK_BYTES), E(8, 1, 0, PK_UNSIGNED), E(9, 4, 0, PK_UNSIGNED)};

port_map make_map(const tme* t, size_t n) {
  port_map m;
  m.common.assign(t, t + n);
  fill_map_offsets(&m);
  return m;
}

bool within(const tme& t, size_t nat_len) {
  if (static_cast<size_t>(t.nat_off) + t.nat_len <= nat_len) return true;
  printf("element beyond end of record");
  printf(" - offset %d, len %d, rec_size %d\n", t.nat_off, t.nat_len, static_cast<int>(nat_len));
  return false;
}

bool is_stmt(const port_map& m) { return !m.verbs.empty(); }

const std::vector<tme>* sub_list(const port_map& m, const uint8_t* native) {
  const uint16_t verb = stmt_view(native).verb();
  return verb < m.verbs.size() ? &m.verbs[verb] : nullptr;
}

}  // namespace

int fill_map_offsets(port_map* m) {
  int pos = 0, end = 0;
  for (tme& t : m->common) {
    if ((pos = update_tme_blk(&t, pos, t.digits, t.decimals)) < 0) return 0;
    if (t.port_len && t.port_off + t.port_len > end) end = t.port_off + t.port_len;
  }
  const int base = pos;
  for (auto& list : m->verbs) {
    pos = base;
    for (tme& t : list) {
      if ((pos = update_tme_blk(&t, pos, t.digits, t.decimals)) < 0) return 0;
      if (t.port_len && t.port_off + t.port_len > end) end = t.port_off + t.port_len;
    }
  }
  m->port_len = static_cast<uint16_t>(end);
  return 1;
}

const port_map& stmt_map() {
  static const port_map m = [] {
    port_map s;
    s.common.assign(std::begin(kStmtCommon), std::end(kStmtCommon));
    for (int v = 0; v < kVerbCount; ++v) s.verbs.push_back(verb_list(v));
    fill_map_offsets(&s);
    return s;
  }();
  return m;
}

const port_map& element_map() {
  static const port_map m = make_map(kElementMap, std::size(kElementMap));
  return m;
}

const port_map& struct_hdr_map() {
  static const port_map m = make_map(kStructHdrMap, std::size(kStructHdrMap));
  return m;
}

const port_map& init_hdr_map() {
  static const port_map m = make_map(kInitHdrMap, std::size(kInitHdrMap));
  return m;
}

int msk_compile(const char* mask, uint8_t type, uint8_t first, uint8_t last, uint16_t len, uint8_t* msk) {
  memset(msk, 0, kMskSize);
  char* m = reinterpret_cast<char*>(msk + MSK_MASK);
  memcpy(m, mask, kDateMaskLen);
  date_msk_blk b{};
  b.len = kDateMaskLen;
  b.mask = m;
  b.first = first;
  b.last = last;
  b.type = type;
  b.h24 = 1;
  const int got = cv_cmpl_date_msk(&b);
  if (!got || (len && got != len)) return 0;
  len = static_cast<uint16_t>(got);
  msk[MSK_TYPE] = b.type;
  msk[MSK_DOY] = b.doy;
  msk[MSK_H24] = b.h24;
  msk[MSK_FIRST] = first;
  msk[MSK_LAST] = last;
  st_le16(msk, MSK_LEN, len);
  st_le16(msk, MSK_MASK_LEN, static_cast<uint16_t>(b.len));
  return len;
}

int msk_put(uint16_t key, uint8_t* msk) {
  st_le16(msk, MSK_KEY, key);
  ARB* a = mu_msk_arb;
  if (!a) return checkstat(0, "Bad MSK file write ", "MU", __LINE__), 0;
  a->arb_rec = msk;
  a->arb_len = kMskSize;
  a->arb_var_len = 0;
  a->arb_mod = 0;
  if (fm_write(a)) return 1;
  // A field at the same offset of an earlier map: its mask replaces the old.
  uint8_t old[kMskSize];
  memcpy(old, msk, kMskSize);
  PROTO_FULL(a, 0, old);
  a->arb_mod = ARB_EQUAL | ARB_HOLD;
  const int held = fm_read(a);
  a->arb_mod = 0;
  a->arb_rec = msk;
  if (held && fm_rewrite(a)) return 1;
  return checkstat(a->arb_stat, "Bad MSK file write ", "MU", __LINE__), 0;
}

void msk_clear() {
  if (mu_msk_arb && !fm_del_all(mu_msk_arb) && mu_msk_arb->arb_stat)
    checkstat(mu_msk_arb->arb_stat, "Cannot close TME file\n", "MU", __LINE__);
}

int stmt_map_msk() {
  char mask[kDateMaskLen];
  memset(mask, ' ', sizeof mask);
  memcpy(mask, "8877665544332211", 16);
  uint8_t msk[kMskSize];
  if (!msk_compile(mask, DT_BIN, LVL_CENTURY, LVL_HSEC, 8, msk)) return 0;
  return msk_put(STMT_ADD_STAMP, msk) && msk_put(STMT_CHG_STAMP, msk);
}

int map_to_port(const port_map& m, const uint8_t* native, size_t nat_len, char* port) {
  if (is_stmt(m)) memset(port, ' ', m.port_len);
  for (const tme& t : m.common) {
    if (!within(t, nat_len)) continue;
    if (!native_to_port(t, native, port)) return 0;
    if (t.kind != PK_VERB || !is_stmt(m)) continue;
    if (const std::vector<tme>* sub = sub_list(m, native))
      for (const tme& s : *sub)
        if (within(s, nat_len) && !native_to_port(s, native, port)) return 0;
  }
  return 1;
}

int map_to_native(const port_map& m, uint8_t* native, size_t nat_len, const char* port) {
  if (is_stmt(m)) memset(native, ' ', nat_len);
  for (const tme& t : m.common) {
    if (!within(t, nat_len)) continue;
    if (!port_to_native(t, native, port)) return 0;
    if (t.kind != PK_VERB || !is_stmt(m)) continue;
    if (const std::vector<tme>* sub = sub_list(m, native))
      for (const tme& s : *sub)
        if (within(s, nat_len) && !port_to_native(s, native, port)) return 0;
  }
  return 1;
}

}  // namespace kivo
