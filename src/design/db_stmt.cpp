// The statement builders: one common write (condition, sequence, verb,
// record) and per verb the operand bytes.
#include "design/db_stmt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/stmt_layout.h"
#include "compiler/stmt_view.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/text.h"

namespace kivo {

namespace {

constexpr const char* kModule = "DB";

void put_fixed(uint8_t* dst, const char* src, size_t width) {
  SET_BLANK(dst, width);
  if (!src) return;
  size_t n = strnlen(src, width);
  memcpy(dst, src, n);
}

uint8_t* opnd(uint8_t* st) { return st + STMT_OPND; }

// Sets the condition (null: keep the buffer's) and the verb, blanks the
// operand area.
void begin(uint8_t* st, uint16_t verb, const char* cond, bool set_cond) {
  if (set_cond) put_fixed(st + STMT_PREFIX, cond, 5);
  st[STMT_SPARE2] = ' ';
  st_le16(st, STMT_VERB, verb);
  st[STMT_SPARE3] = st[STMT_SPARE3 + 1] = 0;
  SET_BLANK(opnd(st), kStmtOpndLen);
}

// Advances the sequence and writes; a failure is the system error `what`.
int put(uint8_t* st, ARB* a, const char* what) {
  st_le32(st, STMT_SEQ, stmt_view(st).seq() + 1);
  a->arb_rec = st;
  a->arb_len = kStmtSize;
  a->arb_var_len = 0;
  a->arb_mod = 0;
  if (fm_write(a)) return 1;
  checkstat(a->arb_stat, what, kModule, __LINE__);
  return 0;
}

void put_occ_at(uint8_t* p, const stmt_occ& o) { memcpy(p, o.data(), 4); }

// The two-field layout of SET, CNV TEXT and IF.
void two_fields(uint8_t* st, const char* tap, const char* tfld, const stmt_occ& tocc, const char* sap, const char* sfld,
                const stmt_occ& socc) {
  uint8_t* o = opnd(st);
  put_occ_at(o, tocc);
  put_fixed(o + 4, tap, 3);
  put_fixed(o + 7, tfld, 22);
  put_occ_at(o + 30, socc);
  put_fixed(o + 34, sap, 3);
  put_fixed(o + 37, sfld, 22);
}

int file_opnd(uint8_t* st, const char* ap, const char* name8) {
  put_fixed(opnd(st), ap, 3);
  memcpy(opnd(st) + 3, name8, 8);
  return 1;
}

int store_restore(uint8_t* st, ARB* a, uint16_t verb, uint8_t kind, const char* name, const stmt_occ& occ,
                  const char* cond, const char* ap) {
  begin(st, verb, cond, true);
  uint8_t* o = opnd(st);
  put_occ_at(o, occ);
  put_fixed(o + 4, ap, 3);
  // Fields by their 22-character name, records by their file's 8.
  put_fixed(o + 7, name, kind == SR_FIELD || kind == SR_INIT_FIELD ? 22 : 8);
  o[30] = kind;
  return put(st, a, "Statement write ");
}

int label_stmt(uint8_t* st, ARB* a, uint16_t verb, const char* label, const char* cond, bool set_cond) {
  begin(st, verb, cond, set_cond);
  memcpy(opnd(st), label, kLabelLen);
  return put(st, a, "Statement write ");
}

}  // namespace

stmt_occ occ_lit(uint16_t n) { return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0, 0}; }
stmt_occ occ_idx(const char* name) { return {static_cast<uint8_t>(name[0]), static_cast<uint8_t>(name[1]), 1, 0}; }
stmt_occ occ_none() { return {' ', ' ', 2, 0}; }
stmt_occ occ_blank() { return {' ', ' ', ' ', ' '}; }

void stmt_label(const char* name22, const char* what, char* out) {
  memcpy(out, name22, 22);
  put_fixed(reinterpret_cast<uint8_t*>(out + 22), what, 8);
}

void stmt_start(uint8_t* st, uint8_t type, const char* name, uint8_t ep) {
  memset(st, 0, kStmtSize);
  st[STMT_PROC_TYPE] = type;
  put_fixed(st + STMT_PROC_NAME, name, 30);
  SET_BLANK(st + STMT_BLANK1, 2);
  st[STMT_EP] = ep;
  SET_BLANK(st + STMT_BLANK2, 3);
  SET_BLANK(st + STMT_PREFIX, 5);
  st[STMT_SPARE2] = ' ';
}

int bld_fi_stmt(uint8_t* st, ARB* a, uint16_t verb, const FDB_PATH& path) {
  begin(st, verb, nullptr, true);
  file_opnd(st, path.fdb_ap, path.fdb_name);
  opnd(st)[11] = '0';
  opnd(st)[12] = 2;
  return put(st, a, "Statement write - failed");
}

int bld_eop(uint8_t* st, ARB* a, const FDB_PATH& path) {
  char name[31];
  memcpy(name, st + STMT_PROC_NAME, 30);
  name[30] = 0;
  stmt_start(st, st[STMT_PROC_TYPE], name, 6);
  for (const char* ap : {"0DN", "0DO"}) {
    begin(st, VERB_CLOSE, nullptr, false);
    file_opnd(st, ap, path.fdb_name);
    opnd(st)[11] = '1';
    if (!put(st, a, "Bad stmt write ")) return 0;
  }
  return 1;
}

int bld_write_stmt(uint8_t* st, ARB* a, const FDB_PATH& path) {
  begin(st, VERB_WRITE, nullptr, false);
  file_opnd(st, "0DN", path.fdb_name);
  opnd(st)[11] = 2;
  return put(st, a, "Statement write - failed");
}

int bld_eop_rewrite(uint8_t* st, ARB* a) {
  begin(st, VERB_REWRITE, nullptr, true);
  file_opnd(st, "0LA", "ENTRY   ");
  opnd(st)[11] = 2;
  return put(st, a, "Bad stmt write ");
}

int bld_read_entry_stmt(uint8_t* st, ARB* a) {
  begin(st, VERB_READ, nullptr, false);
  file_opnd(st, "0LA", "ENTRY   ");
  opnd(st)[11] = 1;
  opnd(st)[12] = 2;
  return put(st, a, "Bad stmt write ");
}

int bld_read_stmt(uint8_t* st, ARB* a, const char* ap, const char* file8, const char* key22, uint8_t mode,
                  const char* cond) {
  begin(st, VERB_READ, cond, true);
  file_opnd(st, ap, file8);
  opnd(st)[11] = mode;
  opnd(st)[12] = 0;
  memcpy(opnd(st) + 13, key22, 22);
  return put(st, a, "Bad stmt write ");
}

int bld_full_set(uint8_t* st, ARB* a, const char* tap, const char* tfld, const stmt_occ& tocc, const char* sap,
                 const char* sfld, const stmt_occ& socc, const char* cond) {
  begin(st, VERB_SET, cond, true);
  two_fields(st, tap, tfld, tocc, sap, sfld, socc);
  return put(st, a, "SET stmt write failed");
}

int bld_token_set(uint8_t* st, ARB* a, const char* tap, const char* tfld, const stmt_occ& tocc, const char* sap,
                  int number, const stmt_occ& socc, const char* cond) {
  char digits[23];
  snprintf(digits, sizeof digits, "%d", number);
  return bld_full_set(st, a, tap, tfld, tocc, sap, digits, socc, cond);
}

int bld_pdf_set(uint8_t* st, ARB* a, const char* fld, const uint8_t* value, size_t len) {
  begin(st, VERB_SET, nullptr, true);
  two_fields(st, "0LA", fld, occ_lit(1), nullptr, nullptr, occ_none());
  // A value that begins with NUL is no text: the constant stays blank.
  if (len && value[0]) memcpy(opnd(st) + 37, value, len < 22 ? len : 22);
  return put(st, a, "Statement write - failed ");
}

int bld_cnv_txt(uint8_t* st, ARB* a, const char* tap, const char* tfld, const stmt_occ& tocc, const char* sap,
                const char* sfld, const stmt_occ& socc, const char* cond) {
  begin(st, VERB_CNV_TEXT, cond, true);
  two_fields(st, tap, tfld, tocc, sap, sfld, socc);
  return put(st, a, "SET stmt write failed");
}

int bld_if_stmt(uint8_t* st, ARB* a, const char* tap, const char* tfld, const stmt_occ& tocc, const char* sap,
                const char* sfld, const stmt_occ& socc, const char* cond, uint8_t relop) {
  begin(st, VERB_IF, cond, true);
  two_fields(st, tap, tfld, tocc, sap, sfld, socc);
  opnd(st)[60] = relop;
  return put(st, a, "SET stmt write failed");
}

int bld_store_stmt(uint8_t* st, ARB* a, uint8_t kind, const char* name, const stmt_occ& occ, const char* cond,
                   const char* ap) {
  return store_restore(st, a, VERB_STORE, kind, name, occ, cond, ap);
}

int bld_restore_stmt(uint8_t* st, ARB* a, uint8_t kind, const char* name, const stmt_occ& occ, const char* cond,
                     const char* ap) {
  return store_restore(st, a, VERB_RESTORE, kind, name, occ, cond, ap);
}

int bld_eop_re_store(uint8_t* st, ARB* a, uint16_t verb) {
  begin(st, verb, nullptr, false);
  uint8_t* o = opnd(st);
  put_occ_at(o, kOccZero);
  put_fixed(o + 4, "0LA", 3);
  put_fixed(o + 7, "ENTRY", 22);
  o[30] = SR_RECORD;
  return put(st, a, "Bad stmt write ");
}

int bld_overflow_stmt(uint8_t* st, ARB* a, const char* label, const char* cond) {
  return label_stmt(st, a, VERB_OVERFLOW, label, cond, true);
}

int bld_goto_stmt(uint8_t* st, ARB* a, const char* label, const char* cond) {
  return label_stmt(st, a, VERB_GOTO, label, cond, true);
}

int bld_label_stmt(uint8_t* st, ARB* a, const char* label) {
  return label_stmt(st, a, VERB_LABEL, label, nullptr, false);
}

int bld_loop(uint8_t* st, ARB* a, const char* new22, const char* old22, uint16_t count) {
  const stmt_occ ai = occ_idx("AI");
  char over[kLabelLen], cont[kLabelLen], name[23], old[23];
  stmt_label(new22, "OVERFLOW", over);
  stmt_label(new22, "CONTINUE", cont);
  memcpy(name, new22, 22), name[22] = 0;
  memcpy(old, old22, 22), old[22] = 0;
  begin(st, VERB_BEG_LOOP, nullptr, false);
  put_occ_at(opnd(st), ai);
  put_occ_at(opnd(st) + 4, occ_lit(1));
  put_occ_at(opnd(st) + 8, occ_lit(count));
  put_occ_at(opnd(st) + 12, occ_lit(1));
  if (!put(st, a, "Statement write ")) return 0;
  if (!bld_overflow_stmt(st, a, over, nullptr) || !bld_full_set(st, a, "0DN", name, ai, "0DO", old, ai, nullptr) ||
      !bld_goto_stmt(st, a, cont, nullptr) || !bld_label_stmt(st, a, over) ||
      !bld_restore_stmt(st, a, SR_INIT_FIELD, name, ai, nullptr, "0DN") || !bld_label_stmt(st, a, cont))
    return 0;
  begin(st, VERB_END_LOOP, nullptr, false);
  put_occ_at(opnd(st), ai);
  return put(st, a, "Statement write ");
}

int bld_msg_stmt(uint8_t* st, ARB* a, uint16_t verb, const char* text, const char* cond) {
  begin(st, verb, cond, true);
  put_fixed(opnd(st), text, kStmtOpndLen);
  return put(st, a, "Bad stmt write ");
}

int bld_vfy_stmt(uint8_t* st, ARB* a, const char* ap, const char* fld, const stmt_occ& occ) {
  begin(st, VERB_VERIFY, nullptr, false);
  put_occ_at(opnd(st), occ);
  put_fixed(opnd(st) + 4, ap, 3);
  put_fixed(opnd(st) + 7, fld, 22);
  opnd(st)[30] = 1;
  opnd(st)[31] = 1;
  return put(st, a, "VERIFY stmt write failed");
}

int bld_end_stmt(uint8_t* st, ARB* a, uint16_t verb, const char* cond) {
  begin(st, verb, cond, true);
  return put(st, a, "Statement write ");
}

int bld_trap_stmt(uint8_t* st, ARB* a, const char* cond) {
  if (!getenv("KIVO_TRAP_RESTRUCT")) return 1;
  begin(st, VERB_TRAP, cond, true);
  return put(st, a, "Statement write ");
}

int bld_read_loop(uint8_t* st, ARB* a, uint16_t verb, const FDB_PATH& path) {
  begin(st, verb, nullptr, false);
  file_opnd(st, "0DO", path.fdb_name);
  if (verb == VERB_BEG_READ || verb == VERB_READ) opnd(st)[11] = 1;
  if (verb == VERB_READ) opnd(st)[12] = 0;
  return put(st, a, "Statement write - failed");
}

}  // namespace kivo
