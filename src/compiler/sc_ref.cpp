// Operands and comparisons: a field reference or a constant compiled into
// a PC_OPND, and the CMP/CMPK (with ANDTF or ORTF for AND and OR) of two.
//
// Invariants: a constant takes the type of the operand it meets, so that
// the comparison never converts at run time, except a number past that
// field's declared digits or sign, which is packed of its own digits (the
// move or comparison takes it by value, the field's range decides); operands
// of different families never reach the code (a compile error instead). A
// token field's constant is its code as a 4-byte signed binary, -1 for no
// code.
#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/pc.h"
#include "compiler/pc_celem.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "types/cnv.h"
#include "types/date_mask.h"
#include "types/element_view.h"
#include "types/typed_value.h"

namespace kivo {

namespace {

constexpr size_t kUniversalLen = 16;
enum : int { VERB_AND = 3, VERB_IF = 38, VERB_OR = 52 };
enum : int { FAM_NONE, FAM_ALPHA, FAM_NUM, FAM_DATE, FAM_LOGIC };

int family(uint8_t type) {
  if (IS_ELEM_ALP(type)) return FAM_ALPHA;
  if (IS_ELEM_NUM(type)) return FAM_NUM;
  if (IS_ELEM_DATE(type)) return FAM_DATE;
  return IS_ELEM_LOG(type) ? FAM_LOGIC : FAM_NONE;
}

uint8_t opnd_type(const PC_OPND& o) { return static_cast<uint8_t>(o.w[1] & 0x7F); }

// Scale of an F or K slot: decimals, or a date's levels.
uint8_t scale_of(const uint8_t* elem) {
  const elem_view el(elem);
  const uint8_t t = el.type();
  if (t == 5 || t == 8) return opnd_num_scale(t, el.lo(), el.is_signed());
  if (IS_ELEM_DATE(t)) return static_cast<uint8_t>(el.hi() << 4 | (el.lo() & 0xF));
  return 0;
}

void set_k(PC_OPND* out, uint32_t no, uint8_t type, uint8_t scale, uint16_t len) {
  out->kind = K_K;
  out->w[0] = no;
  out->w[1] = (type | kOpndConst) | uint32_t{scale} << 8 | uint32_t{len} << 16;
  out->w[2] = 0;
}

uint32_t cnst(PC_CTX* ctx, const void* p, size_t len) {
  return bld_cnst(&ctx->bld, static_cast<const uint8_t*>(p), static_cast<uint16_t>(len));
}

// The text of a date constant as digits from the century on
// (CCYYMMDD[hh[mm[ss[xx]]]]): as typed when it is such digits, else read as
// the field `elem` shows dates (its display mask, the current
// application's date mask). False when it is neither.
bool date_digits(const uint8_t* elem, const std::string& t, std::string* digits) {
  if (t.size() >= 2 && t.size() <= kUniversalLen && t.size() % 2 == 0 && t.find_first_not_of("0123456789") == t.npos)
    return *digits = t, true;
  if (t.empty() || t.find_first_not_of("0123456789") == t.npos) return false;
  CNV c{};
  if (!cv_get_cnv(&c, elem) || c.ext_len < t.size()) return false;
  std::string shown = t;
  shown.resize(c.ext_len, ' ');
  c.ext_addr = shown.data();
  char u[kUniversalLen];
  if (!cv_dspl_universal(&c, u)) return false;
  *digits = std::string(u, kUniversalLen);
  digits->erase(digits->find_last_not_of('-') + 1);
  return digits->size() >= 2 && digits->find_first_not_of("0123456789") == digits->npos;
}

// `digits` read as a universal date into `c` for the field `elem` (kept in
// the field's form with `keep`); `u` holds the text the block points at.
bool read_universal(const uint8_t* elem, const std::string& digits, bool keep, CNV* c, std::string* u) {
  *u = digits + std::string(kUniversalLen - digits.size(), '-');
  cv_get_cnv(c, elem);
  c->ext_addr = u->data();
  c->ext_len = kUniversalLen;
  return cv_universal(c, keep ? 1 : 0, nullptr, nullptr) != 0;
}

// A date constant, CCYYMMDD digits or as the field shows dates, read as a
// universal date for the field `elem` it meets (the levels past the text
// not given): in the field's own form when it gives every level the field
// holds; else, compared, a day-number date of the levels typed (a
// comparison takes the levels both carry), or, stored (`keep`), in the
// field's form with the field's levels, its parts clamped into range.
int date_const(PC_CTX* ctx, const std::string& t, const uint8_t* elem, bool keep, PC_OPND* out) {
  std::string digits;
  if (!date_digits(elem, t, &digits))
    return pc_err(ctx, "date \"%s\" is neither CCYYMMDD nor as %.22s shows dates", t.c_str(), elem_view(elem).name());
  std::string u;
  CNV c{};
  if (!read_universal(elem, digits, keep, &c, &u))
    return pc_err(ctx, "date constant \"%s\" is no date of %.22s", t.c_str(), elem_view(elem).name());
  const uint32_t no = cnst(ctx, c.int_addr, c.int_len);
  if (!no) return pc_err(ctx, "constant not stored");
  const cnv_dat_area& d = c.ta.dat;
  set_k(out, no, c.cnv_type, static_cast<uint8_t>(d.elem_hi << 4 | (d.elem_lo & 0xF)), c.int_len);
  return 1;
}

// A token field's code: 4-byte signed binary.
int code_const(PC_CTX* ctx, const std::string& t, PC_OPND* out) {
  long v = -1;
  char* end = nullptr;
  if (!t.empty()) v = strtol(t.c_str(), &end, 10);
  if (!t.empty() && (*end != 0 || v < INT32_MIN || v > INT32_MAX))
    return pc_err(ctx, "code \"%s\" is not a number", t.c_str());
  uint8_t b[4];
  st_le32(b, 0, static_cast<uint32_t>(static_cast<int32_t>(v)));
  const uint32_t no = cnst(ctx, b, 4);
  if (!no) return pc_err(ctx, "constant not stored");
  set_k(out, no, 5, 0, 4);
  return 1;
}

}  // namespace

// The compiled storage mask of a text or packed date field, as a constant;
// 0 for the forms that need none.
uint32_t date_mask_const(PC_CTX* ctx, const uint8_t* elem) {
  const elem_view el(elem);
  const uint8_t t = el.type();
  if (t != 3 && t != 4 && t != 9 && t != 10) return 0;
  char mk[kDateMaskLen];
  memcpy(mk, el.mask(), kDateMaskLen);
  date_msk_blk b{kDateMaskLen, mk, {}, el.hi(), el.lo(), t, 0, 1};
  if (!cv_cmpl_date_msk(&b)) return pc_err(ctx, "date mask of %.22s does not compile", el.name());
  return bld_cnst(&ctx->bld, reinterpret_cast<uint8_t*>(mk), kDateMaskLen);
}

int sc_cmpl_const(PC_CTX* ctx, const char* text, size_t len, const PC_OPND& first, PC_OPND* out, bool keep) {
  if (ctx->err_cnt) return 0;
  std::string t(text, len);
  const size_t end = t.find_last_not_of(' ');
  t.resize(end == t.npos ? 0 : end + 1);
  memcpy(out->elem, first.elem, kElementSize);
  const uint8_t* e = first.elem;
  const uint8_t type = elem_view(e).type();
  if (elem_view(e).is_token()) return code_const(ctx, t, out);
  switch (family(type)) {
    case FAM_ALPHA: {
      if (t.empty()) t.assign(1, ' ');
      const uint32_t no = cnst(ctx, t.data(), t.size());
      if (!no) return pc_err(ctx, "constant not stored");
      return set_k(out, no, 1, 0, static_cast<uint16_t>(t.size())), 1;
    }
    case FAM_DATE: return date_const(ctx, t, e, keep, out);
    case FAM_NUM: {
      // In the field's type when it fits the element, else packed of its
      // own digits: the move decides by the field's range, not the compiler.
      elem_number v;
      if (!elem_typed_number(e, t.empty() ? "0" : t, &v))
        return pc_err(ctx, "constant \"%s\" does not convert to %.22s", t.c_str(), elem_view(e).name());
      const uint32_t no = cnst(ctx, v.bytes, v.len);
      if (!no) return pc_err(ctx, "constant not stored");
      return set_k(out, no, v.type, opnd_num_scale(v.type, v.decimals, v.is_signed), v.len), 1;
    }
    case FAM_LOGIC: {
      const uint16_t size = elem_view(e).size();
      std::string v(size, '\0');
      if (!elem_typed_value(e, t.empty() ? "0" : t, reinterpret_cast<uint8_t*>(v.data())))
        return pc_err(ctx, "constant \"%s\" does not convert to %.22s", t.c_str(), elem_view(e).name());
      const uint32_t no = cnst(ctx, v.data(), size);
      if (!no) return pc_err(ctx, "constant not stored");
      return set_k(out, no, type, scale_of(e), size), 1;
    }
    default: return pc_err(ctx, "no constant of data type %u", type);
  }
}

bool sc_date_constant(const uint8_t* elem, const std::string& text) {
  std::string digits, u;
  CNV c{};
  return date_digits(elem, text, &digits) && read_universal(elem, digits, false, &c, &u);
}

int sc_cmpl_fld(PC_CTX* ctx, const char* ap, const char* name, const pc_occ& occ, PC_OPND* out, int opnd_no) {
  uint8_t fo[kPcFldOut];
  if (!pc_fld(ap, name, occ, fo, ctx, out->elem)) return 0;
  const celem_view c(fo + PCF_CELEM);
  const uint16_t occurs = c.occurs(), size = c.size();
  const bool none = occ.kind == PC_OCC_NONE || (occ.kind == PC_OCC_NUM && occ.value == 0);
  if (none && occurs > 1) return pc_err(ctx, "field %.22s has %u occurrences: name one", name, occurs);
  const uint8_t type = c.type(), scale = scale_of(out->elem);
  const uint32_t mask = date_mask_const(ctx, out->elem);
  if (ctx->err_cnt) return 0;
  uint32_t area = c.area(), off = c.offset();
  if (occ.kind == PC_OCC_INDEX) {
    char idx[22];
    memset(idx, ' ', sizeof idx), memcpy(idx, occ.index, 2);
    uint8_t io[kPcFldOut];
    if (!pc_fld("0LA", idx, pc_occ{0, PC_OCC_NONE, {}}, io, ctx)) return 0;
    const celem_view ic(io + PCF_CELEM);
    if (!IS_ELEM_NUM(ic.type())) return pc_err(ctx, "index %.2s of %.22s is no number", occ.index, name);
    const uint8_t reg = static_cast<uint8_t>(opnd_no - 1);
    inst_buf b(OP_IDX);
    b.i(reg | uint32_t{occurs} << 16)
        .f(static_cast<uint16_t>(area), static_cast<uint16_t>(off), type, scale, size, mask)
        .f(ic.area(), ic.offset(), ic.type(), opnd_num_scale(ic.type(), ic.lo(), ic.is_signed()), ic.size());
    if (!bld_emit(&ctx->bld, b).blk) return pc_err(ctx, "IDX of %.22s not built (status %d)", name, int{ctx->bld.err});
    area = kRegArea, off = reg;
  }
  out->kind = K_F;
  out->w[0] = area | off << 16;
  out->w[1] = type | uint32_t{scale} << 8 | uint32_t{size} << 16;
  out->w[2] = mask;
  if (opnd_no == 1) ctx->opnd1 = *out;
  return 1;
}

int sc_cmpl_ref(PC_CTX* ctx, const uint8_t* ref, PC_OPND* out, int opnd_no, void* work, int mode) {
  (void)work;
  if (mode != 0) return pc_err(ctx, "reference mode %d not supported", mode);
  const char* ap = reinterpret_cast<const char*>(ref + REF_AP);
  const char* name = reinterpret_cast<const char*>(ref + REF_NAME);
  if (memcmp(ap, "   ", 3) != 0)
    return sc_cmpl_fld(ctx, ap, name, pc_occ{ld_le16(ref, REF_OCC), PC_OCC_NUM, {}}, out, opnd_no);
  if (opnd_no == 1 || ctx->opnd1.kind != K_F) return pc_err(ctx, "constant \"%.22s\" without a field to meet", name);
  return sc_cmpl_const(ctx, name, 22, ctx->opnd1, out);
}

int32_t sc_token_code(PC_CTX* ctx, const char* ap, const uint8_t* elem, const char* text, size_t len) {
  std::string t(text, len);
  if (t.find_first_not_of(' ') == t.npos) return -1;
  uint8_t rec[kTokRecLen];
  tok_group_key(elem, rec);
  memcpy(rec + TOK_TEXT, t.data(), t.size() < 30 ? t.size() : 30);
  return pc_design_rec(ctx, ap, PC_DTOKEN, 1, rec, kTokRecLen) ? static_cast<int32_t>(ld_le32(rec, TOK_CODE)) : -1;
}

int bld_if_and_or(PC_CTX* ctx, const PC_OPND* a, const PC_OPND* b, int relop, int verb, int pad) {
  if (ctx->err_cnt) return 0;
  if (relop < 1 || relop > 8) return pc_err(ctx, "relational operator %d", relop);
  if (verb != VERB_IF && verb != VERB_AND && verb != VERB_OR) return pc_err(ctx, "verb %d is no comparison", verb);
  if (a->kind != K_F) return pc_err(ctx, "a comparison begins with a field");
  const int fa = family(opnd_type(*a)), fb = family(opnd_type(*b));
  if (relop != 8 && (fa != fb || fa == FAM_NONE))
    return pc_err(ctx, "%.22s and %.22s cannot be compared", elem_view(a->elem).name(), elem_view(b->elem).name());
  if (relop == 7 && fa != FAM_ALPHA) return pc_err(ctx, "IN compares alpha fields only");
  inst_buf in(b->kind == K_F ? OP_CMP : OP_CMPK);
  in.o[in.n++] = bld_opnd{K_F, {a->w[0], a->w[1], a->w[2]}, -1};
  in.o[in.n++] = bld_opnd{b->kind, {b->w[0], b->w[1], b->w[2]}, -1};
  in.i(static_cast<uint32_t>(relop) | (pad ? 1u : 0u) << 8);
  if (!bld_emit(&ctx->bld, in).blk) return pc_err(ctx, "comparison not built (status %d)", int{ctx->bld.err});
  if (verb == VERB_IF) return 1;
  if (!bld_emit(&ctx->bld, inst_buf(verb == VERB_AND ? OP_ANDTF : OP_ORTF).i(ctx->level)).blk)
    return pc_err(ctx, "AND/OR not built (status %d)", int{ctx->bld.err});
  return 1;
}

}  // namespace kivo
