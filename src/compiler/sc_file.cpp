// The file verbs: OPEN, CREATE, CLOSE, READ, READNEXT, SELECT, BEG READ,
// END READ, WRITE, REWRITE, DELETE, IF EXIST and SCRATCH, each one file
// instruction {X file, u8 key number, u8 HOLD digit, u16 options}.
//
// Invariants: the file is compiled as an opened file (a file area beside
// its record area) with the access the whole process's statements give it
// (pc_stmt_access), so the executive leaves to an OPEN or CREATE the files
// they name. BEG READ is a START, then a READNEXT that leaves the loop
// after its END READ when no record came; the loops of an event point nest
// and close in order.
#include <cstring>
#include <string>

#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "compiler/pc_cmpl.h"
#include "compiler/sc_in.h"
#include "compiler/stmt_view.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "types/element.h"
#include "types/element_view.h"

namespace kivo::sc_in {

std::vector<sc_read_loop>* g_reads;

namespace {

constexpr uint8_t kNoKey = kFoNoKey;
constexpr uint32_t kSenseFalse = 2;  // a conditional branch taken on F

// Operand offsets of the file verbs (application, file, then per layout).
constexpr size_t FO_AP = 0, FO_FILE = 3, FO_BYTE11 = 11, FO_BYTE12 = 12;

bool blank(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && p[i] != 0) return false;
  return true;
}

// The statement's file, compiled as an opened file; its application (the
// process's own when blank, "0LA" for "---") goes to `ap`.
int file_of(PC_CTX* ctx, sc_stmt* st, uint8_t* cfi, char* ap) {
  const char* sap = opnd_at(st, FO_AP);
  memcpy(ap, blank(sap, 3) ? ctx->ap : sap, 3);
  const char* name = opnd_at(st, FO_FILE);
  st->column = 20;
  if (blank(name, 8)) return pc_err(ctx, "no file named");
  uint8_t* cap = pc_ap(ap, ctx->em, ctx);
  if (!cap) return 0;
  uint8_t key[CFI_LEN] = {};
  memcpy(key + size_t{CFI_FDB} + FDB_AP, ap, 3), memcpy(key + size_t{CFI_FDB} + FDB_NAME, name, 8);
  const uint8_t* have = em_read_key(ctx->em->em_cfi_arb, 0, key);
  uint8_t access = kPcAccRead;
  if (!have || !cfi_view(have).fb_area()) {
    access = pc_stmt_access(ctx, reinterpret_cast<const uint8_t*>(ap), reinterpret_cast<const uint8_t*>(name));
    // A compile of statements outside a process (no statement of its own names the file): the verb says.
    const uint16_t verb = stmt_view(st->rec).verb();
    if (verb == VERB_OPEN || verb == VERB_CREATE) access = kPcAccStmt;
    else if (access == kPcAccRead &&
             (verb == VERB_WRITE || verb == VERB_REWRITE || verb == VERB_DELETE || verb == VERB_SCRATCH))
      access = kPcAccUpdate;
  }
  if (!pc_fi(cap, name, cfi, ctx, PC_FI_OPENED, access)) return 0;
  if (!cfi_view(cfi).fb_area()) return pc_err(ctx, "file %.8s of %.3s has no file area", name, ap);
  return 1;
}

// KEY IS: the key number of the field at `off` of the file's application;
// kNoKey when the operand is blank.
int key_of(PC_CTX* ctx, sc_stmt* st, size_t off, const char* ap, uint8_t* keyno) {
  *keyno = kNoKey;
  const char* name = opnd_at(st, off);
  if (blank(name, 22)) return 1;
  st->column = 58;
  PC_OPND f{};
  const PC_OPND keep = ctx->opnd1;
  const int ok = sc_cmpl_fld(ctx, ap, name, pc_occ{0, PC_OCC_NONE, {}}, &f, 1);
  ctx->opnd1 = keep;
  if (!ok) return 0;
  const uint8_t no = f.elem[ELEM_KEY_ROLE + 1];
  if (elem_view(f.elem).key_role() == 255 || no == kNoKey) return pc_err(ctx, "%.22s is not a key", name);
  *keyno = no;
  return 1;
}

int emit_file(PC_CTX* ctx, uint16_t op, const uint8_t* cfi, uint8_t keyno, uint8_t hold, uint16_t opts) {
  inst_buf b(op);
  b.x(static_cast<uint16_t>(cfi_view(cfi).fb_area()), cfi_view(cfi).index());
  return emit(ctx, b.i(keyno | uint32_t{hold} << 8 | uint32_t{opts} << 16), "file statement");
}

uint8_t hold_at(const sc_stmt* st, size_t off) {
  const uint8_t h = st->rec[STMT_OPND + off];
  return h <= 2 ? h : 0;
}

// OPEN and CREATE: SHARE? "Y" shares the file at its level.
int c_open(PC_CTX* ctx, sc_stmt* st) {
  uint8_t cfi[CFI_LEN];
  char ap[3];
  if (!file_of(ctx, st, cfi, ap)) return 0;
  const uint16_t op = stmt_view(st->rec).verb() == VERB_OPEN ? OP_OPEN : OP_CREATE;
  const uint16_t opts = st->rec[STMT_OPND + FO_BYTE11] == '1' ? kFoShare : 0;
  return emit_file(ctx, op, cfi, kNoKey, 0, opts) && outcome(ctx, st);
}

int c_close(PC_CTX* ctx, sc_stmt* st) {
  uint8_t cfi[CFI_LEN];
  char ap[3];
  if (!file_of(ctx, st, cfi, ap)) return 0;
  const uint16_t opts = st->rec[STMT_OPND + FO_BYTE11] == '1' ? kFoPhysical : 0;
  return emit_file(ctx, OP_CLOSE, cfi, kNoKey, 0, opts) && outcome(ctx, st);
}

// READ and READNEXT: HOLD, FAIL, KEY IS.
int c_read(PC_CTX* ctx, sc_stmt* st) {
  uint8_t cfi[CFI_LEN], keyno;
  char ap[3];
  if (!file_of(ctx, st, cfi, ap) || !key_of(ctx, st, 13, ap, &keyno)) return 0;
  const uint16_t op = stmt_view(st->rec).verb() == VERB_READ ? OP_READ : OP_READNEXT;
  return emit_file(ctx, op, cfi, keyno, hold_at(st, FO_BYTE11), 0) && outcome(ctx, st);
}

int c_select(PC_CTX* ctx, sc_stmt* st) {
  uint8_t cfi[CFI_LEN], keyno;
  char ap[3];
  if (!file_of(ctx, st, cfi, ap) || !key_of(ctx, st, FO_BYTE11, ap, &keyno)) return 0;
  return emit_file(ctx, OP_START, cfi, keyno, 0, 0) && outcome(ctx, st);
}

// BEG READ: START at the key (the first record without one), then each pass
// a READNEXT that jumps past END READ when no record came.
int c_beg_read(PC_CTX* ctx, sc_stmt* st) {
  uint8_t cfi[CFI_LEN], keyno;
  char ap[3];
  if (!file_of(ctx, st, cfi, ap) || !key_of(ctx, st, FO_BYTE12, ap, &keyno)) return 0;
  const uint8_t hold = hold_at(st, FO_BYTE11);
  if (!emit_file(ctx, OP_START, cfi, keyno, 0, keyno == kNoKey ? kFoFirst : 0)) return 0;
  sc_read_loop l{};
  memcpy(l.file, ap, 3), memcpy(l.file + 3, opnd_at(st, FO_FILE), 8);
  l.top = bld_label(&ctx->bld), l.exit = bld_label(&ctx->bld);
  if (l.top < 0 || l.exit < 0 || !bld_bind(&ctx->bld, l.top)) return pc_err(ctx, "BEG READ labels not made");
  if (!emit_file(ctx, OP_READNEXT, cfi, keyno, hold, 0)) return 0;
  if (!emit(ctx, inst_buf(OP_BR_COND).i(kSenseFalse).to(l.exit), "BEG READ")) return 0;
  g_reads->push_back(l);
  return 1;
}

int c_end_read(PC_CTX* ctx, sc_stmt* st) {
  st->column = 16;
  if (g_reads->empty()) return pc_err(ctx, "END READ without BEG READ");
  const sc_read_loop l = g_reads->back();
  char file[11];
  memcpy(file, blank(opnd_at(st, FO_AP), 3) ? ctx->ap : opnd_at(st, FO_AP), 3);
  memcpy(file + 3, opnd_at(st, FO_FILE), 8);
  if (memcmp(file, l.file, sizeof file) != 0)
    return pc_err(ctx, "END READ %.8s closes the BEG READ of %.8s", file + 3, l.file + 3);
  g_reads->pop_back();
  if (!emit(ctx, inst_buf(OP_JMP).to(l.top), "END READ")) return 0;
  return bld_bind(&ctx->bld, l.exit) ? 1 : pc_err(ctx, "END READ not bound");
}

// WRITE, REWRITE, DELETE, IF EXIST and SCRATCH on the record area.
int c_update(PC_CTX* ctx, sc_stmt* st) {
  struct verb_op {
    uint16_t verb, op;
  };
  static const verb_op kOps[] = {{VERB_WRITE, OP_WRITE},
                                 {VERB_REWRITE, OP_REWRITE},
                                 {VERB_DELETE, OP_DELETE},
                                 {VERB_IF_EXIST, OP_IFEXIST},
                                 {VERB_SCRATCH, OP_SCRATCH}};
  const uint16_t verb = stmt_view(st->rec).verb();
  uint16_t op = 0;
  for (const verb_op& v : kOps)
    if (v.verb == verb) op = v.op;
  uint8_t cfi[CFI_LEN];
  char ap[3];
  if (!file_of(ctx, st, cfi, ap)) return 0;
  return emit_file(ctx, op, cfi, kNoKey, 0, 0) && outcome(ctx, st);
}

}  // namespace

int file_x_opnd(PC_CTX* ctx, sc_stmt* st, size_t ap_off, size_t name_off, inst_buf* b) {
  const char* name = opnd_at(st, name_off);
  if (!blank(name + 8, 14)) return st->column = 20, pc_err(ctx, "no file %.22s", name);
  const char* sap = opnd_at(st, ap_off);
  char ap[3];
  memcpy(ap, blank(sap, 3) ? ctx->ap : sap, 3);
  uint8_t* cap = pc_ap(ap, ctx->em, ctx);
  uint8_t cfi[CFI_LEN];
  st->column = 20;
  if (!cap || !pc_fi(cap, name, cfi, ctx, PC_FI_OPENED,
                     pc_stmt_access(ctx, reinterpret_cast<const uint8_t*>(ap), reinterpret_cast<const uint8_t*>(name))))
    return 0;
  b->x(static_cast<uint16_t>(cfi_view(cfi).fb_area()), cfi_view(cfi).index());
  return 1;
}

void sc_fill_file_verbs() {
  cmpl_[VERB_OPEN] = cmpl_[VERB_CREATE] = c_open;
  cmpl_[VERB_CLOSE] = c_close;
  cmpl_[VERB_READ] = cmpl_[VERB_READNEXT] = c_read;
  cmpl_[VERB_SELECT] = c_select;
  cmpl_[VERB_BEG_READ] = c_beg_read;
  cmpl_[VERB_END_READ] = c_end_read;
  for (uint16_t v : {VERB_WRITE, VERB_REWRITE, VERB_DELETE, VERB_IF_EXIST, VERB_SCRATCH}) cmpl_[v] = c_update;
}

}  // namespace kivo::sc_in
