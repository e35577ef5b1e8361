// The selection of a sorted query: numbered statements (QSLCT records) and
// up to two AND/OR expressions over their numbers (the QPARM record) made
// into one boolean tree and compiled into interpreter code whose
// conditional branches stop at the first comparison that decides.
//
// Invariants: a parse error leaves through the scope's non-local exit with
// 200000 or 200010 and the query is not built (as it is not, with 200000,
// when a statement's comparison does not compile); byte 107 of a statement says
// that the expression names it, and it is cleared for all of the query's
// statements before each parse. The compiled code answers true (1) exactly
// when the expression, read left to right, is true.
//
// Callers: the sorted-query build (`pb_bld_fqry`) through `cmpl_slct`; tests
// fill the block, which the active query embeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "compiler/pc.h"

namespace kivo {

struct ARB;

// QPARM record: the query process and its two selection expressions.
enum : size_t { QPARM_AP = 0, QPARM_PROC = 3, QPARM_EXPR8 = 41, QPARM_EXPR9 = 841, kQparmLen = 1644 };
constexpr size_t kExprLen = 800;

// QSLCT record: one comparison; key 0 is application, process, kind, two
// blanks and the statement number.
enum : size_t {
  QSLCT_AP = 0,
  QSLCT_PROC = 3,  // 30
  QSLCT_KIND = 33,
  QSLCT_BLANKS = 34,  // 2
  QSLCT_NO = 36,      // u32
  QSLCT_L_OCC = 40,   // u16
  QSLCT_L_AP = 42,
  QSLCT_L_NAME = 45,   // 22
  QSLCT_R_OCC = 70,    // u16
  QSLCT_R_AP = 72,     // blank: the right operand is a constant
  QSLCT_R_VALUE = 75,  // 30: a field name (22) or a constant
  QSLCT_RELOP = 105,   // 1 EQ .. 7 IN; 0 or blank: incomplete
  QSLCT_ON = 106,      // '0': switched off
  QSLCT_NAMED = 107,   // '1': named by the expression
  kQslctLen = 112,
};
constexpr size_t kQslctKeyLen = QSLCT_L_OCC;
constexpr size_t kQslctValueLen = 30;

// Missing ")", text left over, no such statement, or a statement whose
// comparison does not compile.
constexpr uint32_t PB_SYNTAX = 200000;
constexpr uint32_t PB_DIGIT = 200010;  // a statement number expected
constexpr uint16_t kNoSelection = 65535;

// Why a selection does not compile, as the user is told it: the statement
// and its field where there is one.
enum slct_fault_kind : uint8_t {
  SLCT_FAULT_NONE,
  SLCT_FAULT_NO_FIELD,        // the field named is not in the dictionary
  SLCT_FAULT_BAD_VALUE,       // a constant its field cannot hold
  SLCT_FAULT_IN_NOT_TEXT,     // IN on a field that is not alpha
  SLCT_FAULT_NOT_COMPARABLE,  // two fields that cannot be compared
  SLCT_FAULT_NO_STATEMENT,    // the expression names a statement that is not there
  SLCT_FAULT_NO_CLOSE,        // a "(" without its ")"
  SLCT_FAULT_LEFT_OVER,       // text after the expression
};
struct slct_fault {
  slct_fault_kind why;
  uint32_t stmt;   // 0: no statement
  char field[22];  // blank or NUL: none
};
// The parameters of the refusal's message: where ("statement 3 (LOANER)",
// "expression") and why ("no such field").
std::string slct_fault_where(const slct_fault& f);
const char* slct_fault_why(slct_fault_kind why);
// Why the last sorted-query build refused its selection (why NONE: it did
// not, or the build failed otherwise).
const slct_fault& pb_refusal();

enum : uint8_t { NODE_OP = 1, NODE_LEAF = 2 };
enum : uint8_t { OP_OR = 1, OP_AND = 2 };

// Where a comparison's outcome goes: a code position, or with `final` the
// end of the selection with `value` (1 true, 0 false).
struct SLCT_EXIT {
  em_entry pos;
  uint8_t final;
  uint8_t value;
};

// A node of the tree. Leaves keep a copy of their statement.
struct SLCT_NODE {
  uint8_t kind;
  uint8_t op;  // operator nodes
  SLCT_EXIT t, f;
  em_entry pos;        // start of the node's code
  em_entry right_pos;  // start of the right operand's code
  SLCT_NODE* left;
  SLCT_NODE* right;
  uint8_t rec[kQslctLen];  // leaves
  em_entry inst;           // leaves: the conditional instruction
};

// The selection fields of the active query. Nodes live as long as the
// block; the selection module (`em`) is the block's until it is shut down.
struct QRY_SLCT {
  ARB* qparm_arb = nullptr;
  ARB* qslct_arb = nullptr;
  std::deque<SLCT_NODE> nodes;
  // The query's process: application, version, the PCF's application and
  // name (8) and first file number.
  char ap[3] = {}, ver[2] = {};
  char pcf_ap[3] = {}, pcf_name[8] = {};
  uint32_t pcf_id = 0;
  // The query module's alternate file and its key field (blank: none): the
  // sort compiles its identifier from them in the selection's module.
  char alt_ap[3] = {}, alt_fi[8] = {}, alt_key[22] = {};
  EM* em = nullptr;
  PC_CTX ctx{};
  em_entry entry{kNoSelection, 0};  // blk 65535: every record passes
  uint32_t status = 0;              // of the last parse
  slct_fault fault{};               // why the last parse or compile failed
};

struct PARSE_STATE {
  uint32_t status;
  const char* pos;
  const char* end;  // the text's last character
  char paren[2];
  struct {
    const char* word;
    uint8_t len;
  } ops[2];        // OR, AND
  ARB* qslct;      // null: validation only
  QRY_SLCT* pool;  // null: no nodes
  uint8_t key[kQslctKeyLen];
  SLCT_NODE** tree;
  slct_fault fault;  // set where the parse fails
};

// ---- parse (pb_slct_parse.cpp) ----

void pb_load_parse(PARSE_STATE* s, QRY_SLCT* q, const uint8_t* qparm);
int pb_parse_stmt(PARSE_STATE* s);
SLCT_NODE* parse_expr(PARSE_STATE* s);
SLCT_NODE* parse_term(PARSE_STATE* s);
SLCT_NODE* parse_factor(PARSE_STATE* s);
int parse_op(int kind, PARSE_STATE* s);
uint32_t parse_sno(PARSE_STATE* s);
void parse_space(PARSE_STATE* s);
int TST_CHAR(char c, PARSE_STATE* s);
int MATCH_CHAR(char c, PARSE_STATE* s);
// The statement's record into `rec`; 0 when there is none.
int get_qslct(uint32_t no, PARSE_STATE* s, uint8_t* rec);
SLCT_NODE* bld_bool_node(uint8_t op, SLCT_NODE* left, SLCT_NODE* right, QRY_SLCT* pool);
SLCT_NODE* finish_tree(SLCT_NODE* tree, PARSE_STATE* s);
SLCT_NODE* trim_tree(SLCT_NODE* node);
void dump_expr();

// ---- code (pb_slct_cmpl.cpp) ----

// 1, or 0 when a parse failed (status in q->status) or the code cannot be
// built. The module's compile stays open for the sort fields: pb_slct_finish
// (or cmpl_sort) ends it.
int cmpl_slct(QRY_SLCT* q);
// Finishes the selection module's compile: its tables are built. 1 or 0.
int pb_slct_finish(QRY_SLCT* q);
// The finished and trimmed tree of both expressions (null: no selection);
// 0 when a parse failed.
int pb_slct_tree(QRY_SLCT* q, SLCT_NODE** out);
int bld_slct_ep(QRY_SLCT* q, SLCT_NODE* tree);
int prep_slct_em(QRY_SLCT* q);
int cmpl_node(QRY_SLCT* q, SLCT_NODE* node);
int cmpl_cns(QRY_SLCT* q, SLCT_NODE* leaf);

// What the compiler makes of one statement, as the selection editor asks.
enum slct_verdict : uint8_t {
  SLCT_OK = 1,              // it compiles, or it is incomplete and left out
  SLCT_NOT_NUMBER = 2,      // a constant that is no number for a numeric field
  SLCT_IN_NOT_TEXT = 3,     // IN on a field that is not alpha
  SLCT_NOT_DATE = 4,        // a constant that is no date of a date field
  SLCT_NOT_COMPARABLE = 5,  // anything else
};
// Compiles statement `rec` alone in a selection module of its own (q's
// names filled, no files), released afterwards.
slct_verdict pb_check_stmt(QRY_SLCT* q, const uint8_t* rec);
int short_circuit(QRY_SLCT* q, SLCT_NODE* node, SLCT_NODE* parent, int follow);
int patch(QRY_SLCT* q, SLCT_NODE* leaf, uint8_t sense, const SLCT_EXIT& exit);
// Releases the selection module.
void pb_slct_free(QRY_SLCT* q);

}  // namespace kivo
