// The statements that copy and check data: STORE and RESTORE (saved copies
// and initial values), CNV TEXT (through a conversion record) and VERIFY
// (each field's occurrences against their description).
//
// Invariants: a saved copy is one private area per field or record of the
// module, whatever event point stores or restores it; none of these verbs
// but VERIFY has an outcome, so the TF word stays.
#include <cstring>
#include <string>

#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "compiler/pc_celem.h"
#include "compiler/sc_in.h"
#include "compiler/stmt_view.h"
#include "fm/fm_record_cache.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "types/cnv.h"
#include "types/element_view.h"

namespace kivo::sc_in {

// The record area of file `name` (22, the file's 8 and blanks) of `ap`.
int record_opnd(PC_CTX* ctx, const char* ap, const char* name, PC_OPND* out, uint8_t* cfi) {
  uint8_t* cap = pc_ap(ap, ctx->em, ctx);
  if (!cap) return 0;
  if (memcmp(name + 8, std::string(14, ' ').data(), 14) != 0) return pc_err(ctx, "no file %.22s", name);
  if (!pc_fi(cap, name, cfi, ctx)) return 0;
  *out = PC_OPND{};
  out->kind = K_F;
  out->w[0] = cfi_view(cfi).rec_area() & 0xFFFF;
  out->w[1] = 1u | uint32_t{cfi_view(cfi).rec_len()} << 16;
  return 1;
}

namespace {

// RESTORE kind 6: the file's initial record, kept as a constant of the module.
int initial_record(PC_CTX* ctx, const uint8_t* cfi, PC_OPND* out) {
  FDB fdb;
  fdb_load(cfi_view(cfi).stored_fdb(), &fdb);
  const uint8_t* init = fm_cache(&fdb, CACHE_INITIAL);
  if (!init) return pc_err(ctx, "initial record of %.8s not found (status %u)", fdb.path.fdb_name, fdb.fdb_stat);
  const uint32_t no = bld_cnst(&ctx->bld, init, fdb.fdb_rec_len);
  fm_uncache(init);
  if (!no) return pc_err(ctx, "constant not stored");
  *out = PC_OPND{};
  out->kind = K_K, out->w[0] = no, out->w[1] = (1u | kOpndConst) | uint32_t{fdb.fdb_rec_len} << 16;
  return 1;
}

// RESTORE kind 7: the field's initial value (its FL constant).
int initial_value(PC_CTX* ctx, const sc_stmt* st, PC_OPND* out) {
  uint8_t fo[kPcFldOut];
  if (!pc_fld(opnd_at(st, 4), opnd_at(st, 7), pc_occ{0, PC_OCC_NONE, {}}, fo, ctx)) return 0;
  const celem_view c(fo + PCF_CELEM);
  *out = PC_OPND{};
  out->kind = K_K, out->w[0] = c.init_const();
  const uint8_t type = c.type();
  // A number's scale too: RESTORE moves it into the field through its range.
  const uint8_t scale = IS_ELEM_NUM(type) ? opnd_num_scale(type, c.lo(), c.is_signed()) : 0;
  out->w[1] = (type | kOpndConst) | uint32_t{scale} << 8 | uint32_t{c.size()} << 16;
  return 1;
}

// A CV record of `elem` of `ap` (its display mask) whose display is at most
// `width` columns; its number, 0 on failure.
uint32_t cv_record(PC_CTX* ctx, const char* ap, const uint8_t* elem, int32_t width) {
  CNV c{};
  sitm s;
  cv_bld_sitm(&s, elem, nullptr);
  // Token codes are those of the field's own application.
  memcpy(s.token_ap, ap, 3), memcpy(s.token_ver, IS_BOB_AP(ap) ? "00" : ctx->ver, 2);
  const cv_area area{1, width};
  if (!cv_cmpl(&c, &s, &area))
    return pc_err(ctx, "%.22s cannot be converted (%u)", elem_view(elem).name(), c.cnv_status);
  const uint32_t no = em_append(ctx->em, EM_CV, reinterpret_cast<const uint8_t*>(&c), sizeof c);
  if (!no) return pc_err(ctx, "conversion record not written");
  return ++ctx->cv_cnt, no;
}

uint8_t opnd_type(const PC_OPND& o) { return static_cast<uint8_t>(o.w[1] & 0x7F); }

constexpr int32_t kVerifyCols = 256;  // room for any field's display

// One VERIFY instruction (the name as a 22-character constant): the field's occurrences checked through its CV
// record, the findings pushed onto the calculation stack.
int verify_field(PC_CTX* ctx, const char* ap, const uint8_t* elem, uint8_t kind) {
  const elem_view el(elem);
  PC_OPND f{};
  const char* name = el.name();
  if (!sc_cmpl_fld(ctx, ap, name, pc_occ{1, PC_OCC_NUM, {}}, &f, 1)) return 0;
  const uint32_t cv = cv_record(ctx, ap, f.elem, kVerifyCols);
  const uint32_t text = bld_cnst(&ctx->bld, elem + ELEM_NAME, 22);
  if (!cv || !text) return cv ? pc_err(ctx, "constant not stored") : 0;
  inst_buf b(OP_VERIFY);
  b.o[b.n++] = bld_opnd{K_F, {f.w[0], f.w[1], f.w[2]}, -1};
  b.i(kind | uint32_t{el.occurs()} << 16).i(cv).i(text);
  return emit(ctx, b, "VERIFY") && emit(ctx, inst_buf(OP_COP).i('+'), "VERIFY");
}

}  // namespace

// STORE and RESTORE: kinds 1 (a field) and 3 (a record) through a saved
// copy that the module keeps for every event point; RESTORE 6 and 7 from
// the initial values. No outcome: the TF word stays.
int c_store_restore(PC_CTX* ctx, sc_stmt* st) {
  const bool store = stmt_view(st->rec).verb() == VERB_STORE;
  const uint8_t kind = st->rec[STMT_OPND + 30];
  st->column = 47;
  if (kind != 1 && kind != 3 && (store || (kind != 6 && kind != 7)))
    return pc_err(ctx, "%s kind %u not supported", store ? "STORE" : "RESTORE", kind);
  st->column = 20;
  const char *ap = opnd_at(st, 4), *name = opnd_at(st, 7);
  PC_OPND obj{}, copy{};
  uint8_t cfi[CFI_LEN];
  pc_occ occ;
  const bool record = kind == 3 || kind == 6;
  if (record ? !record_opnd(ctx, ap, name, &obj, cfi)
             : !occ_at(ctx, st, 0, &occ) || !sc_cmpl_fld(ctx, ap, name, occ, &obj, 1))
    return 0;
  if (kind == 6 && !initial_record(ctx, cfi, &copy)) return 0;
  if (kind == 7 && !initial_value(ctx, st, &copy)) return 0;
  if (kind == 1 || kind == 3) {
    const uint32_t size = obj.w[1] >> 16;
    const uint32_t area = pc_saved_area(ctx, ap, name, kind, size);
    if (!area) return 0;
    copy.kind = K_F, copy.w[0] = area, copy.w[1] = 1u | size << 16;
  }
  const PC_OPND& to = store ? copy : obj;
  const PC_OPND& from = store ? obj : copy;
  inst_buf b(store ? OP_STORE : OP_RESTORE);
  b.o[b.n++] = bld_opnd{K_F, {to.w[0], to.w[1], to.w[2]}, -1};
  b.o[b.n++] = bld_opnd{from.kind, {from.w[0], from.w[1], from.w[2]}, -1};
  return emit(ctx, b, store ? "STORE" : "RESTORE");
}

// CNV TEXT: a value into an alpha field as text, or the text of an alpha
// field into a value, through the other side's CV record.
// A value that does not convert is an overflow.
int c_cnv_text(PC_CTX* ctx, sc_stmt* st) {
  PC_OPND dst{}, src{};
  if (!two_field(ctx, st, 1, &dst) || !two_field(ctx, st, 2, &src)) return 0;
  const bool to_text = IS_ELEM_ALP(opnd_type(dst)), from_text = IS_ELEM_ALP(opnd_type(src));
  if (to_text == from_text) return st->column = 20, pc_err(ctx, "CNV TEXT needs one alpha field and one that is not");
  const PC_OPND& value = to_text ? src : dst;
  const uint32_t cv =
      cv_record(ctx, opnd_at(st, to_text ? 34 : 4), value.elem, static_cast<int32_t>((to_text ? dst : src).w[1] >> 16));
  if (!cv) return 0;
  inst_buf b(OP_CNVTXT);
  b.o[b.n++] = bld_opnd{K_F, {dst.w[0], dst.w[1], dst.w[2]}, -1};
  b.o[b.n++] = bld_opnd{K_F, {src.w[0], src.w[1], src.w[2]}, -1};
  return emit(ctx, b.i(cv).i(to_text ? 1 : 2), "CNV TEXT");
}

// VERIFY of a field or of each domain field of a record: the findings are
// added to "WARNINGS" (each one posts a message) and the statement succeeds.
int c_verify(PC_CTX* ctx, sc_stmt* st) {
  const uint8_t kind = st->rec[STMT_OPND + 30];
  const char *ap = opnd_at(st, 4), *name = opnd_at(st, 7);
  st->column = 52;
  if (kind != 1 && kind != 3) return pc_err(ctx, "VERIFY kind %u not supported", kind);
  st->column = 20;
  PC_OPND warn{};
  char wname[22];
  memcpy(wname, "WARNINGS", 8), memset(wname + 8, ' ', 14);
  if (!sc_cmpl_fld(ctx, "0LA", wname, pc_occ{0, PC_OCC_NONE, {}}, &warn, 1)) return 0;
  inst_buf push(OP_CPUSH);
  push.o[push.n++] = bld_opnd{K_F, {warn.w[0], warn.w[1], warn.w[2]}, -1};
  if (!emit(ctx, push, "VERIFY")) return 0;
  uint8_t elem[kElementSize];
  if (kind == 1) {
    char at[3];
    if (!pc_elem(ctx, ap, name, elem, at)) return pc_err(ctx, "field %.22s of %.3s not found", name, ap);
    if (!verify_field(ctx, at, elem, kind)) return 0;
  } else {
    uint8_t cfi[CFI_LEN];
    PC_OPND rec{};
    if (!record_opnd(ctx, ap, name, &rec, cfi)) return 0;
    const auto* file = reinterpret_cast<const uint8_t*>(name);
    for (uint32_t seq = 1; pc_file_elem(ctx, ap, file, seq, elem); ++seq)
      if (elem_view(elem).kind() == ELEM_KIND_DOMAIN && !verify_field(ctx, ap, elem, kind)) return 0;
  }
  inst_buf pop(OP_CPOP);
  pop.o[pop.n++] = bld_opnd{K_F, {warn.w[0], warn.w[1], warn.w[2]}, -1};
  return emit(ctx, pop, "VERIFY") && outcome(ctx, st);
}

namespace {

// A number operand of PRINT at `off`: 0 when blank; a negative value or an
// index is refused.
int print_number(PC_CTX* ctx, sc_stmt* st, size_t off, int column, uint16_t* out) {
  const occ_view occ(stmt_view(st->rec).opnd() + off);
  *out = 0;
  if (occ.blank() || occ.kind() == OCC_NONE) return 1;
  st->column = column;
  const int16_t v = occ.number();
  if (occ.kind() != OCC_NUMBER || v < 0) return pc_err(ctx, "a number from 0 to 999 expected");
  *out = static_cast<uint16_t>(v);
  return 1;
}

// The field operand of PRINT and DISPLAY, with its application at 4.
int shown_field(PC_CTX* ctx, sc_stmt* st, PC_OPND* f) {
  pc_occ occ;
  st->column = 20;
  if (!memcmp(opnd_at(st, 7), "                      ", 22))
    return pc_err(ctx, "%s names no field", stmt_view(st->rec).verb() == VERB_PRINT ? "PRINT" : "DISPLAY");
  return occ_at(ctx, st, 0, &occ) && sc_cmpl_fld(ctx, opnd_at(st, 4), opnd_at(st, 7), occ, f, 1);
}

constexpr int32_t kPrintCols = 255;  // the widest report line

}  // namespace

// PRINT field AT ROWS COLUMNS: the field's display text through its CV
// record as a line of the report.
int c_print(PC_CTX* ctx, sc_stmt* st) {
  PC_OPND f{};
  uint16_t at, rows, cols;
  if (!shown_field(ctx, st, &f) || !print_number(ctx, st, 30, 50, &at) || !print_number(ctx, st, 34, 59, &rows) ||
      !print_number(ctx, st, 38, 71, &cols))
    return 0;
  const uint32_t cv = cv_record(ctx, opnd_at(st, 4), f.elem, kPrintCols);
  if (!cv) return 0;
  inst_buf b(OP_PRINT);
  b.o[b.n++] = bld_opnd{K_F, {f.w[0], f.w[1], f.w[2]}, -1};
  return emit(ctx, b.i(cv).i(at | uint32_t{rows} << 16).i(cols), "PRINT");
}

// DISPLAY field: the items that show it take its value now.
int c_display(PC_CTX* ctx, sc_stmt* st) {
  PC_OPND f{};
  if (!shown_field(ctx, st, &f)) return 0;
  inst_buf b(OP_DISPLAY);
  b.o[b.n++] = bld_opnd{K_F, {f.w[0], f.w[1], f.w[2]}, -1};
  return emit(ctx, b, "DISPLAY");
}

}  // namespace kivo::sc_in
