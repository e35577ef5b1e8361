// The file verbs at run time (opcodes 70-90): open, create and close a
// compiled file through its file block, read, start, write, rewrite, delete,
// test and scratch on its record area; the process's primary file through
// the executive's operations (ii_hooks), which keep its holds, stamps and
// events.
//
// Invariants: every file instruction stores its status in the "0LA" field
// "STATUS CODE" (0 after a success) and its outcome (T success, F failure);
// none of them unwinds on a file failure. A held read leaves its stream in
// the file block, through which REWRITE and DELETE go. The module's CFI
// record is never changed: OPEN places a copy.
#include <cstring>
#include <vector>

#include "compiler/em_access.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_xlate.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "interp/ii_run.h"

namespace kivo {

namespace {

constexpr uint32_t kAreaProcWork = 7;  // "0LA" PROCWORK, in every module
// PROCWORK: "STATUS CODE" and the "OLD FI" fields that place a "0DO" file.
enum : size_t { PW_STATUS = 8, PW_OLD_AP = 71, PW_OLD_VER = 74, PW_OLD_NAM = 76, PW_OLD_DB = 84 };
enum : size_t { PW_OLD_SRC_AP = 87, PW_OLD_SRC_VER = 90 };
constexpr uint32_t kWaitForever = 0xFFFFFFFF;

// The file an instruction names, resolved for one use.
struct file_ref {
  pi_file_blk* fb;
  const uint8_t* cfi;
  uint8_t* rec;  // the record area
  uint16_t len;
  uint8_t keyno;  // kFoNoKey: none given
  uint8_t hold;   // HOLD digit 0-2
  uint16_t opts;
  bool pcf;    // the process's primary file
  bool keyed;  // the file has keys
};

uint8_t* area(II_RUN* run, uint32_t n) {
  EM* em = run->em;
  return n && n <= em->em_area_cnt && em->em_area_addr ? em->em_area_addr[n] : nullptr;
}

// Whether two compiled records name the same file.
bool same_file(const uint8_t* a, const uint8_t* b) {
  return !memcmp(a + FDB_AP, b + FDB_AP, 3) && !memcmp(a + FDB_NAME, b + FDB_NAME, 8);
}

// The instruction's file: the compiled record is the running module's (by
// the index it names), the handle the file block's. A block of a shared
// area is placed by whichever process first used it, so the record it holds
// may be another module's, with another index and other area numbers.
bool resolve(II_RUN* run, const uint8_t* p, file_ref* f) {
  const uint32_t w0 = inst_slot(p, 0), imm = inst_slot(p, 1);
  f->fb = reinterpret_cast<pi_file_blk*>(area(run, w0 & 0xFFFF));
  f->cfi = f->fb ? em_cfi_at(run->em, static_cast<uint16_t>(w0 >> 16)) : nullptr;
  if (!f->cfi || !f->fb->cfi || !same_file(f->cfi, f->fb->cfi)) return false;
  f->rec = area(run, ld_le32(f->cfi, CFI_REC_AREA));
  f->len = ld_le16(f->cfi, FDB_REC_LEN);
  f->keyno = static_cast<uint8_t>(imm), f->hold = static_cast<uint8_t>(imm >> 8);
  f->opts = static_cast<uint16_t>(imm >> 16);
  f->pcf = run->call->pcb->pcb_pcf_blk == f->fb;
  f->keyed = f->cfi[CFI_NKEYS] != 0;
  return f->rec != nullptr;
}

// "STATUS CODE", the outcome and the next instruction.
void done(II_RUN* run, uint8_t* p, int ok, uint32_t status) {
  if (uint8_t* pw = area(run, kAreaProcWork)) st_le32(pw, PW_STATUS, ok ? 0 : status);
  run->last = ok ? OUT_TRUE : OUT_FALSE;
  ii_next(run, p);
}

uint16_t hold_bits(ARB* a, uint8_t hold) {
  a->arb_lock_wait = hold == 2 ? kWaitForever : 0;
  return hold ? ARB_HOLD : 0;
}

// Positions `a` for a keyed operation on the record area, or on the record
// number of the file block (0 is record 1) for a file without keys.
void position(ARB* a, const file_ref& f) {
  a->arb_rec = f.rec, a->arb_len = f.len;
  if (f.keyed) return PROTO_FULL(a, f.keyno == kFoNoKey ? 0 : f.keyno, f.rec);
  PROTO_FULL(a, 0, f.rec);
  a->arb_relno = f.fb->word5 ? f.fb->word5 : 1;
}

// A "0DO" file is the old file of a restructure: its path comes from the
// "OLD FI" fields the process set.
bool old_file_path(II_RUN* run, uint8_t* c) {
  const uint8_t* pw = area(run, kAreaProcWork);
  if (!pw) return false;
  memcpy(c + FDB_AP, pw + PW_OLD_AP, 3), memcpy(c + FDB_VER, pw + PW_OLD_VER, 2);
  memcpy(c + FDB_NAME, pw + PW_OLD_NAM, 8), memcpy(c + FDB_DB, pw + PW_OLD_DB, 3);
  memcpy(c + FDB_SRC_AP, pw + PW_OLD_SRC_AP, 3), memcpy(c + FDB_SRC_VER, pw + PW_OLD_SRC_VER, 2);
  return true;
}

uint32_t open_scope(const pi_file_blk* fb) { return fb->own_scope ? fb->own_scope : com.mark_scope; }

// OPEN and CREATE: the compiled descriptor with access 15, shared at the
// file's level with SHARE? "Y"; CREATE creates first, as the executive does.
void x_open(II_RUN* run, uint8_t* p) {
  file_ref f;
  if (!resolve(run, p, &f)) return ii_fail(run, "bad file operand");
  PCB* pcb = run->call->pcb;
  if (f.fb->arb) return done(run, p, 1, 0);  // open already
  uint8_t c[CFI_LEN];
  memcpy(c, f.cfi, CFI_LEN);
  if (!memcmp(c + FDB_AP, "0DO", 3)) {
    if (!old_file_path(run, c)) return done(run, p, 0, FM_NO_FILE);
  } else if (ii_hooks.place_file) {
    ii_hooks.place_file(pcb, c);
  }
  // Not joined: a joined logical file outlives its close until the level
  // ends, and every OPEN makes a new one, so a loop of OPEN and CLOSE would
  // pile them up; a CLOSE frees this one.
  st_le32(c, FDB_OPT, (ld_le32(c, FDB_OPT) & ~LFB_JOIN) | LFB_FILE_PROC);
  FDB fdb;
  const uint8_t share = f.opts & kFoShare ? 15 : 0;
  if (inst_op(p) == OP_CREATE + 1) {
    if (!em_cfi_desc(run->em, c, &fdb)) return ii_fail(run, "compiled file has no descriptor");
    fdb.fdb_acc = 15, fdb.fdb_shr = share;
    const uint32_t scope = f.fb->shr_scope ? f.fb->shr_scope : open_scope(f.fb);
    if (!fm__create(&fdb, scope)) return done(run, p, 0, fdb.fdb_stat);
    if (fdb.fdb_arb) FM_CLOSE(fdb.fdb_arb, 0);
  }
  if (!em_cfi_desc(run->em, c, &fdb)) return ii_fail(run, "compiled file has no descriptor");
  fdb.fdb_acc = 15, fdb.fdb_shr = share;
  const uint32_t level = open_scope(f.fb);
  if (!fm__open(&fdb, level)) return done(run, p, 0, fdb.fdb_stat);
  f.fb->arb = fdb.fdb_arb, f.fb->cur_arb = nullptr;
  fb_note_open(f.fb, level);
  f.fb->arb->arb_rec = f.rec, f.fb->arb->arb_len = f.len;
  if (c[CFI_LANG_DEP]) fm_set_lang(f.fb->arb, "ENG", com.lang_id);
  if (f.pcf && ii_hooks.pcf_start && !ii_hooks.pcf_start(pcb)) return done(run, p, 0, f.fb->arb->arb_stat);
  done(run, p, 1, 0);
}

// CLOSE: the process's PCF stream first, then the file; PHYSICAL? "Y"
// closes the physical file at once.
void x_close(II_RUN* run, uint8_t* p) {
  file_ref f;
  if (!resolve(run, p, &f)) return ii_fail(run, "bad file operand");
  PCB* pcb = run->call->pcb;
  if (f.pcf && pcb->pcb_pcf_arb) FM_CLOSE(pcb->pcb_pcf_arb, 0), pcb->pcb_pcf_arb = nullptr;
  ARB* a = f.fb->arb;
  if (!a) return done(run, p, 0, FM_NOT_OPEN);
  f.fb->arb = f.fb->cur_arb = nullptr;
  const int ok = FM_CLOSE(a, f.opts & kFoPhysical ? ARB_CLOSE_NOW : 0);
  done(run, p, ok, ok ? 0u : uint32_t{FM_NOT_OPEN});
}

// The PCF's stream, positioned for the executive's operation; null when
// the operation goes to the file itself.
ARB* pcf_stream(II_RUN* run, const file_ref& f) {
  PCB* pcb = run->call->pcb;
  return f.pcf && ii_hooks.pcf_read ? pcb->pcb_pcf_arb : nullptr;
}

uint32_t pcf_status(II_RUN* run) {
  ARB* a = run->call->pcb->pcb_pcf_arb;
  return a ? a->arb_stat : FM_NOT_OPEN;
}

// READ: by the key (KEY IS, else the primary key) of the record area, or
// by record number.
void x_read(II_RUN* run, uint8_t* p) {
  file_ref f;
  if (!resolve(run, p, &f)) return ii_fail(run, "bad file operand");
  PCB* pcb = run->call->pcb;
  if (ARB* s = pcf_stream(run, f)) {
    position(s, f);
    const int ok = ii_hooks.pcf_read(pcb, static_cast<uint16_t>((f.keyed ? ARB_EQUAL : 0) | hold_bits(s, f.hold)));
    s->arb_lock_wait = 0;
    return done(run, p, ok, pcf_status(run));
  }
  ARB* a = f.fb->arb;
  if (!a) return done(run, p, 0, FM_NOT_OPEN);
  position(a, f);
  a->arb_mod = static_cast<uint16_t>((f.keyed ? ARB_EQUAL : 0) | hold_bits(a, f.hold));
  const int ok = fm_read(a);
  a->arb_lock_wait = 0;
  if (ok) f.fb->cur_arb = a;
  done(run, p, ok, a->arb_stat);
}

// START (SELECT and BEG READ): at or after the key values of the record
// area, or at the first record.
int start(ARB* a, const file_ref& f) {
  position(a, f);
  a->arb_mod = f.opts & kFoFirst || !f.keyed ? ARB_FIRST : 0;
  return fm_start(a);
}

void x_start(II_RUN* run, uint8_t* p) {
  file_ref f;
  if (!resolve(run, p, &f)) return ii_fail(run, "bad file operand");
  ARB* s = pcf_stream(run, f);
  ARB* a = s ? s : f.fb->arb;
  if (!a) return done(run, p, 0, FM_NOT_OPEN);
  const int ok = start(a, f);
  done(run, p, ok, a->arb_stat);
}

// READNEXT: the next record in the order of the stream's key; a KEY IS of
// another key starts there first.
void x_rdnxt(II_RUN* run, uint8_t* p) {
  file_ref f;
  if (!resolve(run, p, &f)) return ii_fail(run, "bad file operand");
  PCB* pcb = run->call->pcb;
  ARB* s = pcf_stream(run, f);
  ARB* a = s ? s : f.fb->arb;
  if (!a) return done(run, p, 0, FM_NOT_OPEN);
  if (f.keyed && f.keyno != kFoNoKey && a->arb_keyno != f.keyno && !start(a, f)) return done(run, p, 0, a->arb_stat);
  a->arb_rec = f.rec, a->arb_len = f.len;
  const uint16_t mode = hold_bits(a, f.hold);
  int ok;
  if (s) {
    ok = ii_hooks.pcf_rdnxt(pcb, mode);
  } else {
    a->arb_mod = mode;
    ok = fm_rdnxt(a);
    if (ok) f.fb->cur_arb = a;
  }
  a->arb_lock_wait = 0;
  done(run, p, ok, s ? pcf_status(run) : a->arb_stat);
}

// WRITE, REWRITE and DELETE on the record area; REWRITE and DELETE through
// the stream that holds the record.
void x_update(II_RUN* run, uint8_t* p) {
  file_ref f;
  if (!resolve(run, p, &f)) return ii_fail(run, "bad file operand");
  PCB* pcb = run->call->pcb;
  const uint16_t op = static_cast<uint16_t>(inst_op(p) - 1);
  if (pcf_stream(run, f)) {
    int (*fn)(PCB*) = op == OP_WRITE ? ii_hooks.pcf_write : op == OP_REWRITE ? ii_hooks.pcf_rewrite : ii_hooks.pcf_del;
    const int ok = fn ? fn(pcb) : 0;
    return done(run, p, ok, fn ? pcf_status(run) : FM_NOT_OPEN);
  }
  ARB* a = op == OP_WRITE || !f.fb->cur_arb ? f.fb->arb : f.fb->cur_arb;
  if (!a) return done(run, p, 0, FM_NOT_OPEN);
  a->arb_rec = f.rec, a->arb_len = f.len, a->arb_var_len = f.len, a->arb_mod = 0;
  const int ok = op == OP_WRITE ? fm_write(a) : op == OP_REWRITE ? fm_rewrite(a) : fm_del(a);
  if (op == OP_DELETE && ok) f.fb->cur_arb = nullptr;
  done(run, p, ok, a->arb_stat);
}

// IF EXIST: a read by the record area's key into a buffer of its own, so
// the record area stays as it is.
void x_ifexist(II_RUN* run, uint8_t* p) {
  file_ref f;
  if (!resolve(run, p, &f)) return ii_fail(run, "bad file operand");
  ARB* a = f.fb->arb;
  if (!a) return done(run, p, 0, FM_NOT_OPEN);
  std::vector<uint8_t> buf(f.rec, f.rec + f.len);
  file_ref own = f;
  own.rec = buf.data();
  position(a, own);
  a->arb_mod = f.keyed ? ARB_EQUAL : 0;
  const int ok = fm_read(a);
  const uint32_t st = a->arb_stat;
  a->arb_rec = f.rec;
  done(run, p, ok, st);
}

// SCRATCH: removes the file; an open one is closed with scratch.
void x_scratch(II_RUN* run, uint8_t* p) {
  file_ref f;
  if (!resolve(run, p, &f)) return ii_fail(run, "bad file operand");
  PCB* pcb = run->call->pcb;
  if (f.pcf && pcb->pcb_pcf_arb) FM_CLOSE(pcb->pcb_pcf_arb, 0), pcb->pcb_pcf_arb = nullptr;
  if (ARB* a = f.fb->arb) {
    f.fb->arb = f.fb->cur_arb = nullptr;
    const int ok = FM_CLOSE(a, ARB_SCRATCH | ARB_CLOSE_NOW);
    return done(run, p, ok, ok ? 0u : uint32_t{FM_NOT_OPEN});
  }
  uint8_t c[CFI_LEN];
  memcpy(c, f.cfi, CFI_LEN);
  if (!memcmp(c + FDB_AP, "0DO", 3)) old_file_path(run, c);
  else if (ii_hooks.place_file) ii_hooks.place_file(pcb, c);
  FDB fdb;
  if (!em_cfi_desc(run->em, c, &fdb)) return ii_fail(run, "compiled file has no descriptor");
  const int ok = FM_SCRATCH(&fdb, 0);
  done(run, p, ok, fdb.fdb_stat);
}

}  // namespace

void ii_fill_file_ops() {
  ii_inst_fns[OP_OPEN + 1] = ii_inst_fns[OP_CREATE + 1] = x_open;
  ii_inst_fns[OP_CLOSE + 1] = x_close;
  ii_inst_fns[OP_READ + 1] = x_read;
  ii_inst_fns[OP_READNEXT + 1] = x_rdnxt;
  ii_inst_fns[OP_START + 1] = x_start;
  ii_inst_fns[OP_WRITE + 1] = ii_inst_fns[OP_REWRITE + 1] = ii_inst_fns[OP_DELETE + 1] = x_update;
  ii_inst_fns[OP_IFEXIST + 1] = x_ifexist;
  ii_inst_fns[OP_SCRATCH + 1] = x_scratch;
}

}  // namespace kivo
