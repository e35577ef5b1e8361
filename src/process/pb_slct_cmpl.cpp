// Compiling a query's selection: the two expressions parsed and finished,
// the tree trimmed, each leaf compiled into a comparison and one conditional
// instruction, and the instructions patched into short-circuit branches.
//
// A leaf's instruction fires on the outcome that the code after it does not
// stand for: after the left operand of an AND comes the AND's right operand
// (the true way), after the left operand of an OR the OR's right operand
// (the false way); the last leaf falls through to the END, which ends with
// its comparison's outcome.
#include <cstdio>
#include <cstring>

#include "compiler/em_access.h"
#include "compiler/pc_cmpl.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/pb_slct.h"
#include "process/pi_pcf.h"
#include "types/element_view.h"

namespace kivo {

namespace {

// What the code that follows a subtree stands for.
enum : int { FOLLOW_TRUE, FOLLOW_FALSE, FOLLOW_END };
constexpr uint8_t kVerbIf = 38;
constexpr uint8_t kRelEq = 1, kRelNe = 6, kRelIn = 7;
constexpr uint8_t kTrue = 1, kFalse = 2;

bool is_token_field(const uint8_t* elem) { return elem[ELEM_TYPE] == 5 && ld_le16(elem, ELEM_CODE_LEN) != 0; }

// A reference as sc_cmpl_ref takes it: occurrence, alternate image 0,
// application, name.
void make_ref(uint8_t* ref, uint16_t occ, const uint8_t* ap, const char* name) {
  memset(ref, 0, kRefSize);
  st_le16(ref, REF_OCC, occ);
  memcpy(ref + REF_AP, ap, 3);
  memcpy(ref + REF_NAME, name, 22);
}

bool read_qparm(QRY_SLCT* q, uint8_t* rec) {
  ARB* a = q->qparm_arb;
  a->arb_mod = ARB_FIRST, a->arb_keyno = 0, a->arb_key = nullptr, a->arb_key_end = nullptr;
  if (!fm_start(a)) return sys_err("PBUTIL", __LINE__, "can't start qparm file"), false;
  a->arb_mod = 0, a->arb_rec = rec, a->arb_len = kQparmLen;
  if (!fm_rdnxt(a)) return sys_err("PBUTIL", __LINE__, "can't read qparm"), false;
  return true;
}

// The query's statements lose the mark of a parse before: a statement that
// an earlier expression named must be ANDed when this one does not. False
// (reported, the status in q) when a statement could not be read or
// rewritten: a mark left would drop its statement from the selection.
bool clear_named(QRY_SLCT* q, PARSE_STATE* s) {
  ARB* a = s->qslct;
  uint8_t rec[kQslctLen];
  memset(rec, ' ', kQslctLen);
  memcpy(rec, s->key, QSLCT_KIND);
  rec[QSLCT_KIND] = 0, st_le32(rec, QSLCT_NO, 0);
  a->arb_mod = 0, a->arb_keyno = 0, a->arb_rec = rec, a->arb_key = nullptr, a->arb_key_end = nullptr;
  bool whole = true;
  if (!fm_start(a)) whole = pi_read_end(a->arb_stat) != read_end::failed;
  else
    for (a->arb_mod = ARB_HOLD, a->arb_len = kQslctLen;; a->arb_mod = ARB_HOLD) {
      if (!fm_rdnxt(a)) {
        whole = pi_read_end(a->arb_stat) != read_end::failed;
        break;
      }
      if (memcmp(rec, s->key, QSLCT_KIND) != 0) break;
      if (rec[QSLCT_NAMED] != '1') continue;
      rec[QSLCT_NAMED] = ' ';
      a->arb_mod = 0;
      if (!fm_rewrite(a)) {
        whole = false;
        break;
      }
    }
  if (!whole) q->status = a->arb_stat, checkstat(a->arb_stat, "can't clear the qslct marks", "PBUTIL", __LINE__);
  fm_release(a);
  return whole;
}

// Parses the expression of `kind` and adds the statements it leaves out.
bool parse_kind(QRY_SLCT* q, PARSE_STATE* s, const uint8_t* qparm, uint8_t kind, SLCT_NODE** tree) {
  const char* text = reinterpret_cast<const char*>(qparm + (kind == 9 ? QPARM_EXPR9 : QPARM_EXPR8));
  s->key[QSLCT_KIND] = kind;
  s->pos = text, s->end = text + kExprLen - 1, s->tree = tree, *tree = nullptr;
  const uint32_t r = MARK(MARK_RECOVERY, [&] { pb_parse_stmt(s); });
  if (r != 1) return q->status = r, q->fault = s->fault, false;
  *tree = finish_tree(*tree, s);
  if (s->status != 1) return q->status = s->status, false;
  return true;
}

}  // namespace

int pb_slct_tree(QRY_SLCT* q, SLCT_NODE** out) {
  uint8_t qparm[kQparmLen];
  *out = nullptr;
  if (!read_qparm(q, qparm)) return 0;
  PARSE_STATE s;
  pb_load_parse(&s, q, qparm);
  q->fault = slct_fault{};
  if (!clear_named(q, &s)) return 0;
  q->status = 1;
  SLCT_NODE *t9 = nullptr, *t8 = nullptr;
  if (!parse_kind(q, &s, qparm, 9, &t9) || !parse_kind(q, &s, qparm, 8, &t8)) return 0;
  *out = trim_tree(t9 && t8 ? bld_bool_node(OP_AND, t9, t8, q) : t9 ? t9 : t8);
  return 1;
}

int cmpl_slct(QRY_SLCT* q) {
  SLCT_NODE* tree = nullptr;
  if (!pb_slct_tree(q, &tree)) return 0;
  if (bld_slct_ep(q, tree)) return 1;
  // A statement whose value does not suit its field is the user's: the
  // query is not built and its opener says so.
  if (q->ctx.err_cnt) return q->status = PB_SYNTAX, 0;
  sys_err("PBUTIL", __LINE__, "bld_slct_ep() failed");
  return 0;
}

int prep_slct_em(QRY_SLCT* q) {
  pb_slct_free(q);
  q->ctx = PC_CTX{};
  if (!(q->em = em_create())) return 0;
  EM* em = q->em;
  memcpy(em->em_ap, q->ap, 3), memcpy(em->em_ver, q->ver, 2);
  memcpy(em->em_pcf_ap, q->pcf_ap, 3), em->em_pcf_id = q->pcf_id;
  memcpy(em->em_alt_ap, q->alt_ap, 3), memcpy(em->em_alt_fi, q->alt_fi, 8), memcpy(em->em_alt_key, q->alt_key, 22);
  q->ctx.em = em;
  memcpy(q->ctx.ap, q->ap, 3), memcpy(q->ctx.ver, q->ver, 2);
  if (!pc_prep(&q->ctx)) return sys_err("PBUTIL", __LINE__, "pc_prep() failed"), 0;
  uint8_t cfi[CFI_LEN];
  const uint8_t* cap = pc_ap(q->pcf_ap, em, &q->ctx);
  return cap && pc_fi(cap, q->pcf_name, cfi, &q->ctx, PC_FI_OPENED, kPcAccRead);
}

int bld_slct_ep(QRY_SLCT* q, SLCT_NODE* tree) {
  if (!prep_slct_em(q)) return 0;
  q->entry = {kNoSelection, 0};
  if (tree) {
    q->entry = q->ctx.bld.pos;
    if (!cmpl_node(q, tree)) return 0;
    bld_end(&q->ctx.bld, 0);
    tree->t = {{1, 0}, 1, 1};
    tree->f = {{0, 0}, 1, 0};
    if (!short_circuit(q, tree, nullptr, FOLLOW_END)) return 0;
  }
  return 1;
}

int pb_slct_finish(QRY_SLCT* q) {
  if (!q->ctx.prepared) return 0;
  if (pc_cmpl_finish(&q->ctx)) return 1;
  sys_err("PBUTIL", __LINE__, "can't finish the selection module");
  return 0;
}

int cmpl_node(QRY_SLCT* q, SLCT_NODE* n) {
  if (n->kind == NODE_OP) {
    if (!cmpl_node(q, n->left)) return 0;
    n->right_pos = q->ctx.bld.pos;
    if (!cmpl_node(q, n->right)) return 0;
    n->pos = n->left->pos;
    return 1;
  }
  n->pos = q->ctx.bld.pos;
  return cmpl_cns(q, n) && bld_br_cond(&q->ctx.bld, &n->inst);
}

namespace {

bool right_is_constant(const uint8_t* rec) { return !memcmp(rec + QSLCT_R_AP, "   ", 3); }

// The statement's number and the field `name` (22) into `f`, as `why`.
void note_fault(slct_fault* f, slct_fault_kind why, const uint8_t* rec, const uint8_t* name) {
  f->why = why, f->stmt = ld_le32(rec, QSLCT_NO);
  memcpy(f->field, name, sizeof f->field);
}

// Why statement `rec`, whose left operand compiled to `left`, does not.
slct_verdict refusal(const uint8_t* rec, const PC_OPND& left) {
  const uint8_t type = elem_view(left.elem).type();
  if (rec[QSLCT_RELOP] == kRelIn && !IS_ELEM_ALP(type)) return SLCT_IN_NOT_TEXT;
  if (right_is_constant(rec) && IS_ELEM_NUM(type)) return SLCT_NOT_NUMBER;
  if (right_is_constant(rec) && IS_ELEM_DATE(type)) return SLCT_NOT_DATE;
  return SLCT_NOT_COMPARABLE;
}

slct_fault_kind fault_of(slct_verdict v) {
  switch (v) {
    case SLCT_NOT_NUMBER:
    case SLCT_NOT_DATE: return SLCT_FAULT_BAD_VALUE;
    case SLCT_IN_NOT_TEXT: return SLCT_FAULT_IN_NOT_TEXT;
    default: return SLCT_FAULT_NOT_COMPARABLE;
  }
}

// The comparison of statement `rec`; its left operand in `left` (zero when
// that did not compile). On failure `fault` (when given) says which field
// and why.
int cmpl_compare(QRY_SLCT* q, const uint8_t* r, PC_OPND* left, slct_fault* fault = nullptr) {
  // A date typed as its field shows dates is read as the query's
  // application shows them.
  const pc_as_application running_as(q->ap, q->ver);
  slct_fault ignored;
  if (!fault) fault = &ignored;
  uint8_t ref[kRefSize];
  PC_OPND right;
  *left = PC_OPND{};
  make_ref(ref, ld_le16(r, QSLCT_L_OCC), r + QSLCT_L_AP, reinterpret_cast<const char*>(r + QSLCT_L_NAME));
  if (!sc_cmpl_ref(&q->ctx, ref, left, 1, nullptr, 0))
    return note_fault(fault, SLCT_FAULT_NO_FIELD, r, r + QSLCT_L_NAME), 0;
  char value[kQslctValueLen];
  memcpy(value, r + QSLCT_R_VALUE, sizeof value);
  if (!memcmp(value, "\" \"", 3)) memset(value, ' ', sizeof value);
  const bool constant = right_is_constant(r);
  if (constant && is_token_field(left->elem)) {
    const int32_t code = sc_token_code(&q->ctx, reinterpret_cast<const char*>(r + QSLCT_L_AP), left->elem, value, 22);
    char digits[23];
    snprintf(digits, sizeof digits, "%-22d", code);
    memcpy(value, digits, 22);
  }
  if (constant) {
    // An alpha literal of the whole value; sc_cmpl_ref takes a name of 22.
    if (!sc_cmpl_const(&q->ctx, value, is_token_field(left->elem) ? 22 : kQslctValueLen, *left, &right))
      return note_fault(fault, fault_of(refusal(r, *left)), r, r + QSLCT_L_NAME), 0;
  } else {
    make_ref(ref, ld_le16(r, QSLCT_R_OCC), r + QSLCT_R_AP, value);
    if (!sc_cmpl_ref(&q->ctx, ref, &right, 2, nullptr, 0))
      return note_fault(fault, SLCT_FAULT_NO_FIELD, r, r + QSLCT_R_VALUE), 0;
  }
  const uint8_t relop = r[QSLCT_RELOP];
  if (bld_if_and_or(&q->ctx, left, &right, relop, kVerbIf, relop == kRelEq || relop == kRelNe)) return 1;
  return note_fault(fault, fault_of(refusal(r, *left)), r, r + QSLCT_L_NAME), 0;
}

}  // namespace

int cmpl_cns(QRY_SLCT* q, SLCT_NODE* leaf) {
  PC_OPND left;
  return cmpl_compare(q, leaf->rec, &left, &q->fault);
}

std::string slct_fault_where(const slct_fault& f) {
  if (!f.stmt) return "expression";
  std::string where = "statement " + std::to_string(f.stmt);
  std::string field(f.field, strnlen(f.field, sizeof f.field));
  field.erase(field.find_last_not_of(' ') + 1);
  return field.empty() ? where : where + " (" + field + ")";
}

const char* slct_fault_why(slct_fault_kind why) {
  switch (why) {
    case SLCT_FAULT_NO_FIELD: return "no such field";
    case SLCT_FAULT_BAD_VALUE: return "value does not suit the field";
    case SLCT_FAULT_IN_NOT_TEXT: return "IN is for text fields";
    case SLCT_FAULT_NOT_COMPARABLE: return "the two sides cannot be compared";
    case SLCT_FAULT_NO_STATEMENT: return "no such statement";
    case SLCT_FAULT_NO_CLOSE: return "missing \")\"";
    case SLCT_FAULT_LEFT_OVER: return "text after the expression";
    default: return "cannot be compiled";
  }
}

slct_verdict pb_check_stmt(QRY_SLCT* q, const uint8_t* rec) {
  const uint8_t relop = rec[QSLCT_RELOP];
  if (relop < kRelEq || relop > kRelIn) return SLCT_OK;  // incomplete: the query leaves it out
  slct_verdict v = SLCT_NOT_COMPARABLE;
  PC_OPND left{};
  if (prep_slct_em(q)) v = cmpl_compare(q, rec, &left) ? SLCT_OK : refusal(rec, left);
  pb_slct_free(q);
  return v;
}

// Exits of an operator node's operands from its own; a leaf is patched to
// fire toward the exit that the code after it does not stand for.
int short_circuit(QRY_SLCT* q, SLCT_NODE* n, SLCT_NODE* parent, int follow) {
  if (n->kind == NODE_LEAF) {
    bool fire_true = follow == FOLLOW_FALSE;
    if (follow == FOLLOW_END) fire_true = !parent || parent->op == OP_OR;
    return fire_true ? patch(q, n, kTrue, n->t) : patch(q, n, kFalse, n->f);
  }
  if (n->op != OP_OR && n->op != OP_AND) return sys_err("PBUTIL", __LINE__, "bad opcode in operator node"), 0;
  SLCT_NODE *l = n->left, *r = n->right;
  const SLCT_EXIT next{n->right_pos, 0, 0};
  l->t = n->op == OP_AND ? next : n->t;
  l->f = n->op == OP_AND ? n->f : next;
  r->t = n->t, r->f = n->f;
  return short_circuit(q, l, n, n->op == OP_AND ? FOLLOW_TRUE : FOLLOW_FALSE) && short_circuit(q, r, n, follow);
}

int patch(QRY_SLCT* q, SLCT_NODE* leaf, uint8_t sense, const SLCT_EXIT& exit) {
  if (exit.final) return bld_patch(&q->ctx.bld, leaf->inst, exit.value ? kTrue : kFalse, {}, 1);
  return bld_patch(&q->ctx.bld, leaf->inst, sense, exit.pos, 0);
}

void pb_slct_free(QRY_SLCT* q) {
  if (q->ctx.prepared) pc_cmpl_finish(&q->ctx);
  if (q->em) em_destroy(q->em);
  q->em = nullptr;
}

}  // namespace kivo
