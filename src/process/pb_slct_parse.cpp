// Parsing a selection expression into a boolean tree, adding the statements
// it does not name, and trimming what cannot be compared.
//
// Grammar: statement = blanks | expression blanks; expression = term {OR
// term}; term = factor {AND factor}; factor = "(" expression ")" | number.
// Errors leave through the scope's non-local exit (mark_leave), so the
// caller runs the parse under MARK. The operator words need no separator
// after them: "1AND2" parses.
#include <cstring>

#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/scope.h"
#include "process/pb_slct.h"

namespace kivo {

namespace {

[[noreturn]] void fail(PARSE_STATE* s, uint32_t code, slct_fault_kind why = SLCT_FAULT_NONE, uint32_t stmt = 0) {
  s->status = code;
  s->fault.why = why, s->fault.stmt = stmt;
  mark_leave(code);
}

bool past_end(const PARSE_STATE* s, const char* p) { return p > s->end; }

void request(ARB* a, uint16_t mod, uint8_t* rec) {
  a->arb_mod = mod, a->arb_keyno = 0, a->arb_rec = rec, a->arb_len = kQslctLen;
  a->arb_key = nullptr, a->arb_key_end = nullptr, a->arb_lock_wait = 0;
}

SLCT_NODE* new_node(QRY_SLCT* pool) {
  SLCT_NODE& n = pool->nodes.emplace_back();
  memset(&n, 0, sizeof n);
  return &n;
}

SLCT_NODE* leaf(QRY_SLCT* pool, const uint8_t* rec) {
  SLCT_NODE* n = new_node(pool);
  n->kind = NODE_LEAF;
  memcpy(n->rec, rec, kQslctLen);
  return n;
}

bool blank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// Marks the stored statement as named by the expression.
void mark_named(PARSE_STATE* s, uint8_t* rec) {
  request(s->qslct, ARB_EQUAL | ARB_HOLD, rec);
  if (!fm_read(s->qslct)) return;
  rec[QSLCT_NAMED] = '1';
  request(s->qslct, 0, rec);
  fm_rewrite(s->qslct);
}

}  // namespace

void pb_load_parse(PARSE_STATE* s, QRY_SLCT* q, const uint8_t* qparm) {
  memset(s, 0, sizeof *s);
  s->status = 1;
  s->paren[0] = '(', s->paren[1] = ')';
  s->ops[0] = {"OR", 2};
  s->ops[1] = {"AND", 3};
  if (q) s->qslct = q->qslct_arb, s->pool = q;
  if (!qparm) return;
  memcpy(s->key + QSLCT_AP, qparm + QPARM_AP, 3);
  memcpy(s->key + QSLCT_PROC, qparm + QPARM_PROC, 30);
  memset(s->key + QSLCT_BLANKS, ' ', 2);
}

void parse_space(PARSE_STATE* s) {
  while (!past_end(s, s->pos) && *s->pos == ' ') ++s->pos;
}

int TST_CHAR(char c, PARSE_STATE* s) {
  if (past_end(s, s->pos) || *s->pos != c) return 0;
  ++s->pos;
  return 1;
}

int MATCH_CHAR(char c, PARSE_STATE* s) {
  if (!TST_CHAR(c, s)) fail(s, PB_SYNTAX, c == s->paren[1] ? SLCT_FAULT_NO_CLOSE : SLCT_FAULT_LEFT_OVER);
  return 1;
}

int parse_op(int kind, PARSE_STATE* s) {
  parse_space(s);
  const auto& w = s->ops[kind == OP_OR ? 0 : 1];
  if (past_end(s, s->pos + w.len) || memcmp(s->pos, w.word, w.len) != 0) return 0;
  s->pos += w.len;
  return 1;
}

// A statement number; one that does not fit in 32 bits is no number.
uint32_t parse_sno(PARSE_STATE* s) {
  uint64_t v = 0;
  const char* start = s->pos;
  for (; !past_end(s, s->pos) && *s->pos >= '0' && *s->pos <= '9'; ++s->pos)
    if ((v = v * 10 + uint64_t(*s->pos - '0')) > UINT32_MAX) fail(s, PB_DIGIT);
  if (s->pos == start) fail(s, PB_DIGIT);
  return uint32_t(v);
}

int get_qslct(uint32_t no, PARSE_STATE* s, uint8_t* rec) {
  memset(rec, ' ', kQslctLen);
  memcpy(rec, s->key, kQslctKeyLen);
  st_le32(rec, QSLCT_NO, no);
  request(s->qslct, ARB_EQUAL, rec);
  return fm_read(s->qslct);
}

SLCT_NODE* parse_factor(PARSE_STATE* s) {
  parse_space(s);
  if (TST_CHAR(s->paren[0], s)) {
    SLCT_NODE* n = parse_expr(s);
    parse_space(s);
    MATCH_CHAR(s->paren[1], s);
    return n;
  }
  const uint32_t no = parse_sno(s);
  if (!s->qslct) return nullptr;
  uint8_t rec[kQslctLen];
  if (!get_qslct(no, s, rec)) fail(s, PB_SYNTAX, SLCT_FAULT_NO_STATEMENT, no);
  if (!s->pool) return nullptr;
  mark_named(s, rec);
  return leaf(s->pool, rec);
}

SLCT_NODE* parse_term(PARSE_STATE* s) {
  SLCT_NODE* n = parse_factor(s);
  while (parse_op(OP_AND, s)) n = bld_bool_node(OP_AND, n, parse_factor(s), s->pool);
  return n;
}

SLCT_NODE* parse_expr(PARSE_STATE* s) {
  SLCT_NODE* n = parse_term(s);
  while (parse_op(OP_OR, s)) n = bld_bool_node(OP_OR, n, parse_term(s), s->pool);
  return n;
}

int pb_parse_stmt(PARSE_STATE* s) {
  SLCT_NODE* tree = nullptr;
  parse_space(s);
  if (!past_end(s, s->pos)) {
    tree = parse_expr(s);
    parse_space(s);
    if (!past_end(s, s->pos)) fail(s, PB_SYNTAX, SLCT_FAULT_LEFT_OVER);
  }
  if (s->tree) *s->tree = tree;
  return 1;
}

SLCT_NODE* bld_bool_node(uint8_t op, SLCT_NODE* left, SLCT_NODE* right, QRY_SLCT* pool) {
  if (!pool) return nullptr;
  SLCT_NODE* n = new_node(pool);
  n->kind = NODE_OP, n->op = op, n->left = left, n->right = right;
  return n;
}

SLCT_NODE* finish_tree(SLCT_NODE* tree, PARSE_STATE* s) {
  uint8_t rec[kQslctLen];
  memset(rec, ' ', kQslctLen);
  memcpy(rec, s->key, QSLCT_BLANKS);
  st_le32(rec, QSLCT_NO, 0);
  memset(rec + QSLCT_BLANKS, ' ', 2);
  SLCT_NODE* chain = nullptr;
  request(s->qslct, 0, rec);
  if (!fm_start(s->qslct)) return tree;
  for (request(s->qslct, 0, rec);; request(s->qslct, 0, rec)) {
    // A read that fails before the query's last line would leave its
    // criteria out and select too much: the selection fails instead.
    if (!fm_rdnxt(s->qslct)) {
      if (s->qslct->arb_stat == FM_EOF) break;
      s->status = s->qslct->arb_stat;
      checkstat(s->status, "can't read qslct", "PBUTIL", __LINE__);
      return tree;
    }
    if (memcmp(rec, s->key, QSLCT_BLANKS) != 0) break;
    if (rec[QSLCT_NAMED] == '1' || rec[QSLCT_ON] == '0' || blank(rec + QSLCT_R_VALUE, kQslctValueLen)) continue;
    SLCT_NODE* l = leaf(s->pool, rec);
    chain = chain ? bld_bool_node(OP_AND, chain, l, s->pool) : l;
  }
  if (!chain) return tree;
  return tree ? bld_bool_node(OP_AND, chain, tree, s->pool) : chain;
}

SLCT_NODE* trim_tree(SLCT_NODE* n) {
  if (!n) return nullptr;
  if (n->kind == NODE_LEAF) {
    const uint8_t op = n->rec[QSLCT_RELOP];
    return op == 0 || op == ' ' || n->rec[QSLCT_ON] == '0' ? nullptr : n;
  }
  n->left = trim_tree(n->left);
  n->right = trim_tree(n->right);
  if (n->left && n->right) return n;
  return n->left ? n->left : n->right;
}

void dump_expr() {}

}  // namespace kivo
