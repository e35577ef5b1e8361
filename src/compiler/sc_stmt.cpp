// Statements of an event point into instructions: the verb table, the T/F
// prefix, the verbs that need no file, routine or screen (the data verbs in
// sc_data.cpp), labels, trap records and the TO row.
//
// Invariants: a statement with an outcome sets level p + 1 (p the last
// non-blank prefix position); AND and OR combine into it; statements
// without an outcome never touch the TF word. A statement's trap record
// holds its first instruction (its TFTEST when prefixed), 0 for comments
// and labels.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/em_records.h"
#include "compiler/sc.h"
#include "compiler/sc_in.h"
#include "compiler/stmt_view.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/text.h"
#include "types/element_view.h"

namespace kivo {

sc_cmpl_fn cmpl_[kVerbCount];

using namespace sc_in;

namespace {

constexpr int kMaxLevel = 5;
constexpr size_t kLabelLen = 30;
constexpr uint32_t kMaxSlots = 256;  // the event-point slot is one byte
constexpr int kVerbCol = 7;          // screen column of the verb: an error without an operand's

// Labels of the event point being compiled, by their 30-character name.
struct sc_label {
  std::string name;
  int32_t no;
  bool bound;
  uint32_t seq;  // the first statement that named it
};
std::vector<sc_label>* g_labels;

// An open BEG LOOP: its index, its LOOPBEG (the test END LOOP returns to)
// and the label after its END LOOP.
struct sc_loop {
  char index[2];
  em_entry test;
  int32_t exit;
};
std::vector<sc_loop>* g_loops;

}  // namespace

namespace sc_in {

const char* opnd_at(const sc_stmt* st, size_t off) { return reinterpret_cast<const char*>(st->rec + STMT_OPND + off); }

// The occurrence {i16 value, u16 kind} at `off`; four blanks mean none.
int occ_at(PC_CTX* ctx, const sc_stmt* st, size_t off, pc_occ* out) {
  const occ_view occ(stmt_view(st->rec).opnd() + off);
  *out = pc_occ{0, PC_OCC_NONE, {}};
  if (occ.blank()) return 1;
  const uint16_t kind = occ.kind();
  if (kind == OCC_NUMBER) *out = pc_occ{static_cast<uint16_t>(occ.number()), PC_OCC_NUM, {}};
  if (kind == OCC_INDEX) *out = pc_occ{0, PC_OCC_INDEX, {occ.index()[0], occ.index()[1]}};
  return kind <= OCC_NONE ? 1 : pc_err(ctx, "occurrence kind %u not allowed here", kind);
}

// Operand `no` of a two-field verb: {occurrence, application, field}.
int two_field(PC_CTX* ctx, sc_stmt* st, int no, PC_OPND* out) {
  const size_t base = no == 1 ? 0 : 30;
  const char* ap = opnd_at(st, base + 4);
  const char* name = opnd_at(st, base + 7);
  st->column = no == 1 ? 20 : 54;
  if (no == 2 && !memcmp(ap, "   ", 3)) {
    if (ctx->opnd1.kind != K_F) return pc_err(ctx, "constant without a field to meet");
    // SET stores the constant into the field: it keeps the field's type.
    return sc_cmpl_const(ctx, name, 22, ctx->opnd1, out, stmt_view(st->rec).verb() == VERB_SET);
  }
  pc_occ occ;
  if (!occ_at(ctx, st, base, &occ)) return 0;
  return sc_cmpl_fld(ctx, ap, name, occ, out, no);
}

int emit(PC_CTX* ctx, const inst_buf& b, const char* what) {
  if (bld_emit(&ctx->bld, b).blk) return 1;
  return pc_err(ctx, "%s not built (status %d)", what, int{ctx->bld.err});
}

// The SETTF that stores an outcome at the statement's level, as the FAIL
// digit says: 0 and 2 quietly, 1 with a failure as a run-time error, 3 not
// at all. A verb without a FAIL digit sets it as 0 does.
int outcome(PC_CTX* ctx, const sc_stmt* st) {
  const int fail = sc_digit(st->rec, XT_DIGIT3);
  if (fail == kFailIgnore) return 1;
  const uint32_t mode = fail == kFailError ? 1 : 0;
  return emit(ctx, inst_buf(OP_SETTF).i(static_cast<uint32_t>(st->level) | mode << 8), "SETTF");
}

}  // namespace sc_in

namespace {

int c_comment(PC_CTX*, sc_stmt*) { return 1; }

int c_compare(PC_CTX* ctx, sc_stmt* st) {
  const int verb = stmt_view(st->rec).verb();
  PC_OPND a{}, b{};
  if (!two_field(ctx, st, 1, &a) || !two_field(ctx, st, 2, &b)) return 0;
  st->column = 47;
  ctx->level = static_cast<uint8_t>(st->level);
  if (!bld_if_and_or(ctx, &a, &b, stmt_view(st->rec).opnd()[60], verb, 0)) return 0;
  return verb == VERB_IF ? outcome(ctx, st) : 1;
}

int c_set(PC_CTX* ctx, sc_stmt* st) {
  PC_OPND dst{}, src{};
  if (!two_field(ctx, st, 1, &dst) || !two_field(ctx, st, 2, &src)) return 0;
  // A number's bytes are no date: the move would give a date no one can read.
  if (src.kind == K_F && IS_ELEM_NUM(elem_view(src.elem).type()) && IS_ELEM_DATE(elem_view(dst.elem).type()))
    return pc_err(ctx, "%.22s is a number: SET cannot put it into the date %.22s", elem_view(src.elem).name(),
                  elem_view(dst.elem).name());
  inst_buf b(src.kind == K_F ? OP_MOVE : OP_MOVEK);
  b.o[b.n++] = bld_opnd{K_F, {dst.w[0], dst.w[1], dst.w[2]}, -1};
  b.o[b.n++] = bld_opnd{src.kind, {src.w[0], src.w[1], src.w[2]}, -1};
  return emit(ctx, b, "SET");
}

// The label named by the statement's 30 characters, made on first mention.
sc_label* label_of(PC_CTX* ctx, const sc_stmt* st) {
  std::string name(opnd_at(st, 0), kLabelLen);
  for (sc_label& l : *g_labels)
    if (l.name == name) return &l;
  const int32_t no = bld_label(&ctx->bld);
  if (no < 0) return pc_err(ctx, "label not made"), nullptr;
  return &g_labels->emplace_back(sc_label{name, no, false, stmt_view(st->rec).seq()});
}

int c_label(PC_CTX* ctx, sc_stmt* st) {
  st->column = kOpndCol;
  sc_label* l = label_of(ctx, st);
  if (!l) return 0;
  if (l->bound) return pc_err(ctx, "label %.30s defined twice", l->name.c_str());
  l->bound = true;
  return bld_bind(&ctx->bld, l->no) ? 1 : pc_err(ctx, "label not bound");
}

int c_goto(PC_CTX* ctx, sc_stmt* st) {
  st->column = kOpndCol;
  sc_label* l = label_of(ctx, st);
  return l && emit(ctx, inst_buf(OP_JMP).to(l->no), "GOTO");
}

// COMPUTE dst op src; TOTAL adds.
int c_compute(PC_CTX* ctx, sc_stmt* st) {
  const bool total = stmt_view(st->rec).verb() == VERB_TOTAL;
  const char op = total ? '+' : static_cast<char>(stmt_view(st->rec).opnd()[60]);
  if (!strchr("+-*/", op) || !op) return st->column = 47, pc_err(ctx, "operator %c not allowed here", op);
  PC_OPND dst{}, src{};
  if (!two_field(ctx, st, 1, &dst) || !two_field(ctx, st, 2, &src)) return 0;
  if (!IS_ELEM_NUM(elem_view(dst.elem).type()))
    return st->column = 20, pc_err(ctx, "%.22s is no number", elem_view(dst.elem).name());
  inst_buf b(OP_COMPUTE);
  b.o[b.n++] = bld_opnd{K_F, {dst.w[0], dst.w[1], dst.w[2]}, -1};
  b.o[b.n++] = bld_opnd{src.kind, {src.w[0], src.w[1], src.w[2]}, -1};
  return emit(ctx, b.i(static_cast<uint8_t>(op)), "COMPUTE");
}

int c_overflow(PC_CTX* ctx, sc_stmt* st) {
  st->column = kOpndCol;
  sc_label* l = label_of(ctx, st);
  return l && emit(ctx, inst_buf(OP_OVFL).to(l->no), "OVERFLOW");
}

// The "0LA" index variable named by the letters at `p` ("A " packed, "AI" binary).
int loop_index(PC_CTX* ctx, const uint8_t* p, PC_OPND* out) {
  char name[22];
  SET_BLANK(name, sizeof name), memcpy(name, p, 2);
  return sc_cmpl_fld(ctx, "0LA", name, pc_occ{0, PC_OCC_NONE, {}}, out, 1);
}

// A bound of BEG LOOP: a literal in the index's type, or another index.
int loop_bound(PC_CTX* ctx, const uint8_t* p, const PC_OPND& idx, PC_OPND* out) {
  const occ_view occ(p);
  if (occ.kind() == OCC_INDEX) return loop_index(ctx, p, out);
  const int v = occ.kind() == OCC_NUMBER ? occ.number() : 1;
  const std::string t = std::to_string(v);
  return sc_cmpl_const(ctx, t.data(), t.size(), idx, out);
}

int c_beg_loop(PC_CTX* ctx, sc_stmt* st) {
  const uint8_t* o = st->rec + STMT_OPND;
  PC_OPND idx{}, b[3]{};
  st->column = kOpndCol;
  if (!loop_index(ctx, o, &idx)) return 0;
  const int cols[3] = {21, 28, 38};
  for (int i = 0; i < 3; ++i)
    if (st->column = cols[i], !loop_bound(ctx, o + kOccLen * (i + 1), idx, &b[i])) return 0;
  const occ_view step(o + kOccLen * 3);
  if (step.kind() == OCC_NUMBER && step.number() == 0) return pc_err(ctx, "loop step 0");
  const int32_t exit = bld_label(&ctx->bld);
  inst_buf in(OP_LOOPBEG);
  in.o[in.n++] = bld_opnd{K_F, {idx.w[0], idx.w[1], idx.w[2]}, -1};
  for (const PC_OPND& x : b) in.o[in.n++] = bld_opnd{x.kind, {x.w[0], x.w[1], x.w[2]}, -1};
  const em_entry at = exit < 0 ? em_entry{} : bld_emit(&ctx->bld, in.to(exit));
  if (!at.blk) return pc_err(ctx, "BEG LOOP not built (status %d)", int{ctx->bld.err});
  g_loops->push_back(sc_loop{{static_cast<char>(o[0]), static_cast<char>(o[1])}, at, exit});
  return 1;
}

int c_end_loop(PC_CTX* ctx, sc_stmt* st) {
  st->column = kOpndCol;
  const uint8_t* o = st->rec + STMT_OPND;
  if (g_loops->empty()) return pc_err(ctx, "END LOOP without BEG LOOP");
  const sc_loop l = g_loops->back();
  if (memcmp(l.index, o, 2) != 0) return pc_err(ctx, "END LOOP %.2s closes the loop of %.2s", o, l.index);
  g_loops->pop_back();
  if (!emit(ctx, inst_buf(OP_LOOPEND).r(l.test), "END LOOP")) return 0;
  return bld_bind(&ctx->bld, l.exit) ? 1 : pc_err(ctx, "loop end not bound");
}

// CALC index = expression: integers, + - * /, parentheses and index
// variables, pushed and combined on the calculation stack.
struct calc_src {
  PC_CTX* ctx;
  const char* p;
  const char* end;
  const PC_OPND* idx;
};

void calc_blanks(calc_src* c) {
  while (c->p < c->end && *c->p == ' ') ++c->p;
}
int calc_sum(calc_src* c);

int calc_push(calc_src* c, const PC_OPND& o) {
  inst_buf b(OP_CPUSH);
  b.o[b.n++] = bld_opnd{o.kind, {o.w[0], o.w[1], o.w[2]}, -1};
  return emit(c->ctx, b, "CALC");
}

// A literal, an index variable ("A" packed, "AI" binary) or a parenthesised sum.
int calc_term(calc_src* c) {
  calc_blanks(c);
  if (c->p < c->end && *c->p == '(') {
    ++c->p;
    if (!calc_sum(c)) return 0;
    calc_blanks(c);
    if (c->p == c->end || *c->p != ')') return pc_err(c->ctx, "CALC: ) missing");
    return ++c->p, 1;
  }
  PC_OPND o{};
  const char* at = c->p;
  if (c->p < c->end && *c->p >= '0' && *c->p <= '9') {
    while (c->p < c->end && *c->p >= '0' && *c->p <= '9') ++c->p;
    if (c->p - at > 18) return pc_err(c->ctx, "CALC: number too long");
    return sc_cmpl_const(c->ctx, at, static_cast<size_t>(c->p - at), *c->idx, &o) && calc_push(c, o);
  }
  if (c->p == c->end || *c->p < 'A' || *c->p > 'Z') return pc_err(c->ctx, "CALC: a number or index expected");
  uint8_t name[2] = {static_cast<uint8_t>(*c->p++), ' '};
  if (c->p < c->end && *c->p == 'I') name[1] = 'I', ++c->p;
  const PC_OPND keep = c->ctx->opnd1;
  const int ok = loop_index(c->ctx, name, &o);
  c->ctx->opnd1 = keep;
  return ok && calc_push(c, o);
}

// Terms joined by the operators of `ops`, each the next level down.
int calc_level(calc_src* c, const char* ops, int (*next)(calc_src*)) {
  if (!next(c)) return 0;
  for (calc_blanks(c); c->p < c->end && strchr(ops, *c->p); calc_blanks(c)) {
    const char op = *c->p++;
    if (!next(c) || !emit(c->ctx, inst_buf(OP_COP).i(static_cast<uint8_t>(op)), "CALC")) return 0;
  }
  return 1;
}
int calc_product(calc_src* c) { return calc_level(c, "*/", calc_term); }
int calc_sum(calc_src* c) { return calc_level(c, "+-", calc_product); }

int c_calc(PC_CTX* ctx, sc_stmt* st) {
  PC_OPND idx{};
  st->column = kOpndCol;
  if (!loop_index(ctx, st->rec + STMT_OPND, &idx)) return 0;
  calc_src c{ctx, opnd_at(st, 4), opnd_at(st, 4) + 59, &idx};
  st->column = 21;
  if (!calc_sum(&c)) return 0;
  calc_blanks(&c);
  if (c.p != c.end)
    return st->column = 21 + static_cast<int>(c.p - opnd_at(st, 4)), pc_err(ctx, "CALC: %c unexpected", *c.p);
  inst_buf b(OP_CPOP);
  b.o[b.n++] = bld_opnd{K_F, {idx.w[0], idx.w[1], idx.w[2]}, -1};
  return emit(ctx, b, "CALC");
}

// WARNING, MESSAGE, ERROR and CANCEL: the 64-character text as a constant.
int c_message(PC_CTX* ctx, sc_stmt* st) {
  const uint16_t verb = stmt_view(st->rec).verb();
  const uint8_t cls = verb == VERB_WARNING ? 1 : verb == VERB_MESSAGE ? 4 : 3;
  const uint16_t op = verb == VERB_ERROR ? OP_ERROR : verb == VERB_CANCEL ? OP_CANCEL : OP_MSG;
  size_t n = kStmtOpndLen;
  while (n > 1 && st->rec[STMT_OPND + n - 1] == ' ') --n;
  const uint32_t no = bld_cnst(&ctx->bld, st->rec + STMT_OPND, static_cast<uint16_t>(n));
  if (!no) return pc_err(ctx, "constant not stored");
  return emit(ctx, inst_buf(op).i(cls).k(no, 1, 0, static_cast<uint16_t>(n)), "message");
}

template <uint16_t Op>
int c_plain(PC_CTX* ctx, sc_stmt*) {
  return emit(ctx, inst_buf(Op), "statement");
}

// The last non-blank prefix position, and the TFTEST mask and value.
int prefix(const uint8_t* rec, uint16_t* mask, uint16_t* value, int* column) {
  int p = 0;
  *mask = *value = 0;
  for (int i = 1; i <= kMaxLevel; ++i) {
    const char c = stmt_view(rec).prefix()[i - 1];
    if (c != ' ') p = i;
    const int shift = 10 - 2 * i;
    if (c == 'T' || c == 'F') *mask |= 3 << shift, *value |= (c == 'T' ? 1 : 2) << shift;
    else if (c != ' ' && c != '-' && !(c == 'C' && i == 1)) *column = i;
  }
  return p;
}

// IF, the verbs with a FAIL digit and the file verbs without one that
// tell success from failure set a level.
bool has_outcome(int verb) {
  for (const xme_stmt* e = xme_stmt_desc[verb]; e->type; ++e)
    if (e->type == XT_DIGIT3) return true;
  return verb == VERB_IF || verb == VERB_CLOSE || verb == VERB_SELECT || verb == VERB_DELETE;
}

// Records the statement's error (message from the context; no column: the
// verb's) and clears the context's count so the next statement is checked
// on its own. Past the bound of the error file errors are only counted.
void collect(PC_CTX* ctx, const uint8_t* rec, const sc_stmt& st, std::vector<sc_error>* errs, uint32_t* total,
             char* first) {
  sc_error e{};
  memcpy(e.key, rec, sizeof e.key);
  memcpy(e.msg, ctx->err_text, std::min(pc_err_len(ctx), sizeof e.msg - 1));  // a C string: e is zeroed
  e.column = st.column ? st.column : kVerbCol;
  if (!*total) memcpy(first, ctx->err_text, sizeof ctx->err_text);
  *total += ctx->err_cnt;
  if (errs && errs->size() < kPcErrMax) errs->push_back(e);
  ctx->err_cnt = 0;
  SET_BLANK(ctx->err_text, sizeof ctx->err_text);
}

// Compiles one statement and returns its first instruction ({0, 0} for
// none); the context's error count says whether it failed.
em_entry statement(PC_CTX* ctx, const uint8_t* rec, sc_stmt* st) {
  const uint16_t verb = stmt_view(rec).verb();
  if (verb >= kVerbCount) return pc_err(ctx, "verb index %u above 104", verb), em_entry{};
  if (!cmpl_[verb]) return pc_err(ctx, "verb not supported: %.8s", verb_spell_tbl[verb]), em_entry{};
  uint16_t mask, value;
  int bad = 0;
  const int p = prefix(rec, &mask, &value, &bad);
  if (bad) return st->column = bad, pc_err(ctx, "prefix character not T, F or -"), em_entry{};
  st->level = p + 1;
  if ((has_outcome(verb) || verb == VERB_AND || verb == VERB_OR) && p == kMaxLevel)
    return st->column = kMaxLevel, pc_err(ctx, "a test at level 5"), em_entry{};
  const bool coded = verb > VERB_COMMENT2 && verb != VERB_LABEL;
  em_entry first = coded ? ctx->bld.pos : em_entry{};
  int32_t skip = -1;
  if (mask && coded) {
    if ((skip = bld_label(&ctx->bld)) < 0 ||
        !emit(ctx, inst_buf(OP_TFTEST).i(mask | uint32_t{value} << 16).to(skip), "TFTEST"))
      return em_entry{};
  }
  if (!cmpl_[verb](ctx, st)) return em_entry{};
  if (skip >= 0 && !bld_bind(&ctx->bld, skip)) pc_err(ctx, "skip label not bound");
  return first;
}

bool same_ep(const uint8_t* rec, const uint8_t* key) { return !memcmp(rec, key, kStmtKeyPrefix); }

int append(PC_CTX* ctx, em_sub sub, const uint8_t* rec, uint16_t len) {
  return em_append(ctx->em, sub, rec, len) ? 1 : pc_err(ctx, "trap record not written");
}

}  // namespace

int sc_digit(const uint8_t* rec, uint16_t type) {
  const uint16_t verb = stmt_view(rec).verb();
  if (verb >= kVerbCount) return -1;
  for (const xme_stmt* e = xme_stmt_desc[verb]; e->type; ++e)
    if (e->type == type) return rec[STMT_OPND + e->rec_off];
  return -1;
}

void sc_init() {
  memset(cmpl_, 0, sizeof cmpl_);
  cmpl_[VERB_COMMENT] = cmpl_[VERB_COMMENT2] = c_comment;
  cmpl_[VERB_IF] = cmpl_[VERB_AND] = cmpl_[VERB_OR] = c_compare;
  cmpl_[VERB_SET] = c_set;
  cmpl_[VERB_GOTO] = c_goto;
  cmpl_[VERB_LABEL] = c_label;
  cmpl_[VERB_COMPUTE] = cmpl_[VERB_TOTAL] = c_compute;
  cmpl_[VERB_OVERFLOW] = c_overflow;
  cmpl_[VERB_BEG_LOOP] = c_beg_loop;
  cmpl_[VERB_CALC] = c_calc;
  cmpl_[VERB_END_LOOP] = c_end_loop;
  cmpl_[VERB_WARNING] = cmpl_[VERB_MESSAGE] = cmpl_[VERB_ERROR] = cmpl_[VERB_CANCEL] = c_message;
  cmpl_[VERB_STORE] = cmpl_[VERB_RESTORE] = c_store_restore;
  cmpl_[VERB_END] = c_plain<OP_END>;
  cmpl_[VERB_END_PROC] = c_plain<OP_END_PROC>;
  cmpl_[VERB_EXIT] = c_plain<OP_EXIT>;
  cmpl_[VERB_LOGOUT] = c_plain<OP_LOGOUT>;
  cmpl_[VERB_TRAP] = c_plain<OP_TRAP>;
  cmpl_[VERB_CNV_TEXT] = c_cnv_text;
  cmpl_[VERB_VERIFY] = c_verify;
  cmpl_[VERB_PRINT] = c_print;
  cmpl_[VERB_DISPLAY] = c_display;
  cmpl_[VERB_CALL] = c_call;
  cmpl_[VERB_PASS] = c_pass;
  cmpl_[VERB_RECEIVE] = c_receive;
  cmpl_[VERB_RUN] = c_run;
  sc_fill_file_verbs();
  for (uint16_t v : {VERB_MENU, VERB_INPUT, VERB_OUTPUT, VERB_ACTION, VERB_QUERY, VERB_SUBR, VERB_UPDATE, VERB_JOB,
                     VERB_INQUIRY, VERB_STATUS})
    cmpl_[v] = c_invoke;
}

namespace {

// The errors of one event point: the count, the first message, the list.
struct ep_errors {
  std::vector<sc_error>* errs;
  uint32_t total = 0;
  char first[sizeof PC_CTX::err_text] = {};
  void add(PC_CTX* ctx, const uint8_t* rec, const sc_stmt& st) { collect(ctx, rec, st, errs, &total, first); }
};

// The statement records of one event point, with the key they share.
struct ep_scan {
  uint8_t key[kStmtKeyPrefix];
  uint8_t rec[kStmtSize] = {};
  uint8_t ep;
  uint32_t slot;
  uint32_t count = 0;
};

// Compiles every statement of the event point and writes its trap entry;
// false when an entry could not be written (the context says why).
bool compile_statements(PC_CTX* ctx, ARB* arb, ep_scan& sc, ep_errors& e) {
  PROTO_FULL(arb, 0, sc.rec);
  arb->arb_len = kStmtSize, arb->arb_mod = 0;
  bool more = fm_start(arb);
  for (arb->arb_mod = 0; more && (more = fm_rdnxt(arb)) && same_ep(sc.rec, sc.key); ++sc.count) {
    sc_stmt st{sc.rec, 1, 0};
    const em_entry at = statement(ctx, sc.rec, &st);
    if (ctx->err_cnt) {
      e.add(ctx, sc.rec, st);
      if (ctx->bld.err || e.total >= kPcErrMax) break;  // the builder cannot go on; the file is full
      continue;
    }
    uint8_t tp[TRAP_LEN] = {};
    st_le16(tp, TRAP_CODE, at.blk), st_le16(tp, TRAP_CODE + 2, at.off);
    st_le32(tp, TRAP_SEQ, stmt_view(sc.rec).seq()), st_le16(tp, TRAP_EP, sc.ep);
    st_le16(tp, TRAP_SLOT, sc.slot & 0xFF);
    if (!append(ctx, EM_TP, tp, TRAP_LEN)) return false;
    ctx->em->em_trap_cnt++;
  }
  arb->arb_mod = 0;
  return more || pc_read_end(ctx, INIT_DSTMT_FDB, ctx->ap, arb->arb_stat);
}

// Points the record at statement seq of the event point for an error found after the scan.
sc_stmt at_seq(ep_scan& sc, uint32_t seq) {
  memcpy(sc.rec, sc.key, kStmtKeyPrefix), st_le32(sc.rec, STMT_SEQ, seq);
  return sc_stmt{sc.rec, 1, kOpndCol};
}

// Loops left open and labels never defined, found once the scan is over.
void report_unclosed(PC_CTX* ctx, ep_scan& sc, const std::vector<sc_loop>& loops,
                     const std::vector<sc_read_loop>& reads, const std::vector<sc_label>& labels, ep_errors& e) {
  for (const sc_loop& l : loops) {
    const sc_stmt st = at_seq(sc, sc.count);
    pc_err(ctx, "BEG LOOP %.2s without END LOOP", l.index);
    e.add(ctx, sc.rec, st);
  }
  for (const sc_read_loop& l : reads) {
    const sc_stmt st = at_seq(sc, sc.count);
    pc_err(ctx, "BEG READ %.8s without END READ", l.file + 3);
    e.add(ctx, sc.rec, st);
  }
  for (const sc_label& l : labels) {
    if (l.bound) continue;
    const sc_stmt st = at_seq(sc, l.seq);
    pc_err(ctx, "label %.30s not defined", l.name.c_str());
    e.add(ctx, sc.rec, st);
  }
}

// Ends the code and writes the event point's table-of-contents entry.
int write_toc(PC_CTX* ctx, const ep_scan& sc, uint32_t first_trap) {
  if (sc.slot >= kMaxSlots) {
    int n = sizeof ctx->proc_nam;
    while (n > 1 && ctx->proc_nam[n - 1] == ' ') --n;
    return pc_err(ctx, "process %.*s: over 256 event points with code", n, ctx->proc_nam);
  }
  if (!bld_end(&ctx->bld, 1).blk) return pc_err(ctx, "end of code not built (status %d)", int{ctx->bld.err});
  uint8_t to[TOC_LEN] = {};
  to[TOC_EP] = sc.ep, to[TOC_SLOT] = static_cast<uint8_t>(sc.slot);
  st_le32(to, TOC_FIRST, first_trap), st_le32(to, TOC_LAST, first_trap + sc.count - 1);
  if (!append(ctx, EM_TO, to, TOC_LEN)) return 0;
  ctx->em->em_toc_cnt++;
  return 1;
}

// sc_cmpl_ep on a context without errors.
int ep_code(PC_CTX* ctx, const uint8_t* owner, uint8_t ep, std::vector<sc_error>* errs) {
  ARB* arb = pc_design(ctx, ctx->ap, PC_DSTMT);
  if (!arb) return pc_design_absent(ctx, ctx->ap, PC_DSTMT);  // else the error names the file
  ep_scan sc;
  memcpy(sc.key, owner, STMT_EP), sc.key[STMT_EP] = ep, memset(sc.key + STMT_EP + 1, ' ', 3);
  memcpy(sc.rec, sc.key, kStmtKeyPrefix);
  sc.ep = ep, sc.slot = ctx->em->em_toc_cnt;
  std::vector<sc_label> labels;
  std::vector<sc_loop> loops;
  std::vector<sc_read_loop> reads;
  g_labels = &labels, g_loops = &loops, g_reads = &reads, g_passed = 0;
  const uint32_t first_trap = ctx->em->em_trap_cnt + 1;
  ep_errors e{errs};
  const bool written = compile_statements(ctx, arb, sc, e);
  g_labels = nullptr, g_loops = nullptr, g_reads = nullptr;
  if (!written) return 0;
  report_unclosed(ctx, sc, loops, reads, labels, e);
  if (e.total) {
    ctx->err_cnt = e.total;
    memcpy(ctx->err_text, e.first, sizeof e.first);
    return 0;
  }
  return sc.count ? write_toc(ctx, sc, first_trap) : 1;
}

}  // namespace

int sc_cmpl_ep(PC_CTX* ctx, const uint8_t* owner, uint8_t ep, std::vector<sc_error>* errs) {
  // Errors of earlier event points stay counted; this one is checked on its
  // own, unless the builder cannot go on or the error file is full.
  const uint32_t before = ctx->err_cnt;
  if (ctx->bld.err || before >= kPcErrMax) return 0;
  char before_text[sizeof ctx->err_text];
  memcpy(before_text, ctx->err_text, sizeof before_text);
  ctx->err_cnt = 0;
  const size_t listed = errs ? errs->size() : 0;
  const int ok = ep_code(ctx, owner, ep, errs);
  if (ctx->err_cnt && errs && errs->size() == listed && listed < kPcErrMax) {
    // An error of the event point itself (its slot, its end of code): sequence 0.
    sc_error e{};
    memcpy(e.key, owner, STMT_EP), e.key[STMT_EP] = ep, memset(e.key + STMT_EP + 1, ' ', 3);
    memcpy(e.msg, ctx->err_text, std::min(pc_err_len(ctx), sizeof e.msg - 1));
    errs->push_back(e);
  }
  if (before) memcpy(ctx->err_text, before_text, sizeof before_text);
  ctx->err_cnt += before;
  return ok;
}

std::string sc_err_text(const sc_error& e) {
  const stmt_view k(e.key);
  int n = 30;
  while (n > 1 && k.proc_name()[n - 1] == ' ') --n;
  std::string s(k.proc_name(), static_cast<size_t>(n));
  char owner[64] = "";
  if (k.chld_no()) snprintf(owner, sizeof owner, " child %u", k.chld_no());
  else if (k.frm_no() || k.frm_part())
    snprintf(owner, sizeof owner, k.img_no() ? " frame %u/%u image %u" : " frame %u/%u", k.frm_part(), k.frm_no(),
             k.img_no());
  char at[96];
  if (k.seq() == 0) snprintf(at, sizeof at, "%s ep %u: ", owner, k.ep());
  else snprintf(at, sizeof at, "%s ep %u stmt %u col %d: ", owner, k.ep(), k.seq(), e.column);
  return s + at + std::string(e.msg, strnlen(e.msg, sizeof e.msg));
}

}  // namespace kivo
