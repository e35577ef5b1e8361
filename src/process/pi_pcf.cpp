// The PCF record operations: the hold each kind of process takes, the
// record-level security of reads, stamps of writes and rewrites, the event
// points around them, the record-id copy and transaction control.
//
// Invariants: an operation without a PCF stream runs no event and fails
// with 200450 (pi_rdnxt alone succeeds); the before image pcb_pcf_buf1 is
// what the file held when the record was last read, written or rewritten.
// Callers: see pi_pcf.h.
#include "process/pi_pcf.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "fm/fm_objects.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "interp/ii_run.h"
#include "interp/interp.h"
#include "interp/trace_kivo.h"
#include "process/op.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/process.h"
#include "process/qs.h"
#include "types/date_desc.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PIPCF";
enum : uint32_t {
  TR_READ = 603600,
  TR_READ_RID = 603700,
  TR_RDNXT = 603800,
  TR_WRITE = 603900,
  TR_REWRITE = 604000,
  TR_DELETE = 604100,
  TR_REFUSED = 604200,
};
constexpr uint16_t kHoldBits = ARB_HOLD | ARB_RECOVER;
// The re-read of a failed rewrite: by record id, held.
constexpr uint16_t kReread = ARB_REC_ID | kHoldBits;

pi_file_blk* pcf_blk(const PCB* p) { return static_cast<pi_file_blk*>(p->pcb_pcf_blk); }
uint8_t proc_type(const PCB* p) { return p->pcb_em ? p->pcb_em->em_proc_type : 0; }
bool auto_run(const PCB* p) { return p->invoc.auto_run() != 0; }

void trace(PCB* p, uint32_t code) {
  const uint8_t* c = pi_pcf_cfi(p);
  char name[9] = "--------";
  if (c) memcpy(name, c + FDB_NAME, 8);
  TRACE_KIVO("F", 0, code, p, name);
}
void trace_status(PCB* p, const ARB* a) { TRACE_KIVO("F", 0, a->arb_stat, p, "status"); }

// The change was made and answered, and that answer stands: a log that
// could not be kept after it (its design file unread, a data server's
// connection lost meanwhile) is told as what it is, after the answer.
void log_lost(PCB* p, const mlog_lost& lost) {
  if (!lost.status) return;
  TRACE_KIVO("F", 0, lost.status, p, "mlog");
  pi_post_failure(p, "the change log was not kept: " + lost.what + " (" + la_status_text(lost.status) + ")",
                  MSG_CLASS_WARNING);
}

// Hold selection, step 1: a PCF opened for update holds, unless an input
// process is in a mode that does not.
uint16_t update_hold(const PCB* p, uint16_t mode) {
  const uint8_t* c = pi_pcf_cfi(p);
  if (!c || !(c[FDB_ACC] & 0x0C)) return mode;
  const uint8_t* im = pi_input_mode(p);
  const uint8_t m = im ? *im : 0;
  if (proc_type(p) != PT_INPUT || m == IM_HOLDING || m == IM_HOLDING2) mode |= kHoldBits;
  return mode;
}

void set_hold(ARB* a, uint16_t* mode, bool hold) {
  if (hold) {
    *mode |= kHoldBits;
    a->arb_lock_wait = kLockWait;
  } else {
    *mode &= static_cast<uint16_t>(~kHoldBits);
    a->arb_lock_wait = 0;
  }
}

uint16_t read_hold(PCB* p, ARB* a, uint16_t mode) {
  mode = update_hold(p, mode);
  if (proc_type(p) == PT_INQUIRY) {
    if (p->pcb_em->em_pcf_hold) mode |= kHoldBits;
    else mode &= static_cast<uint16_t>(~kHoldBits);
  } else if (auto_run(p)) {
    set_hold(a, &mode, true);
  }
  return mode;
}

uint16_t rdnxt_hold(PCB* p, ARB* a, uint16_t mode) {
  mode = update_hold(p, mode);
  const uint8_t t = proc_type(p);
  if (!auto_run(p) && t != PT_OUTPUT && t != PT_ACTION && t != PT_UPDATE) return mode;
  if (t == PT_INQUIRY) set_hold(a, &mode, p->pcb_em->em_pcf_hold);
  else set_hold(a, &mode, auto_run(p) || p->pcb_em->em_pcf_hold);
  return mode;
}

bool lock_status(uint32_t st) { return st == FM_HELD_SELF || st == FM_LOCKED; }

bool permitted(PCB* p, ARB* a) {
  const uint8_t* c = pi_pcf_cfi(p);
  const int32_t off = c ? static_cast<int32_t>(cfi_view(c).secr_off()) : -1;
  const uint16_t len = pi_pcf_len(p);
  if (off >= 0 && uint32_t(off) + 4 > len) return true;
  return pi_chk_acc_secr(p, a->arb_rec, off) != 0;
}

// A record the process may see: its security allows it and it holds the
// process's constraint values. The constraint is checked on each record
// read rather than given to the stream: its fields need not lead a key.
bool in_view(PCB* p, ARB* a) {
  if (!permitted(p, a)) return trace(p, TR_REFUSED), false;
  return pi_in_cnstr(p, a->arb_rec);
}

// Steps 6 and 7 of a read: the before image, the record id, the current
// stream, the input mode of a locked read, and events 03 and 11.
int after_read(PCB* p, ARB* a, uint16_t mode, int ok) {
  if (p->pcb_pcf_buf1 && a->arb_rec) memcpy(p->pcb_pcf_buf1, a->arb_rec, pi_pcf_len(p));
  CPY_RID(p, a);
  if (ok && (mode & ARB_HOLD)) pcf_blk(p)->cur_arb = a;
  if (!ok && lock_status(a->arb_stat) && proc_type(p) == PT_INPUT)
    if (uint8_t* im = pi_input_mode(p)) *im = IM_LOCKED;
  if (pi_ep_stop(p, EP_PCF_READ)) return pi_outcome(p, PCF_STOP_READ), 0;
  if (pi_ep_stop(p, EP_PCF_EXT)) return pi_outcome(p, PCF_STOP_EXT), 0;
  return ok;
}

// A failed file read: outcome 32; true when the record read is still to be
// processed (a hold refused by a lock).
bool read_failed(PCB* p, ARB* a) {
  pi_outcome(p, PCF_FILE_FAILED);
  if (lock_status(a->arb_stat)) return true;
  trace_status(p, a);
  return false;
}

int rdnxt_loop(PCB* p, ARB* a, uint16_t mode) {
  int ok;
  for (;;) {
    trace(p, TR_RDNXT);
    a->arb_mod = mode;
    ok = dyna_rdnxt(p, a);
    if (!ok && !read_failed(p, a)) return 0;
    if (in_view(p, a)) break;
    if (mode & ARB_FIRST) {
      mode &= static_cast<uint16_t>(~ARB_FIRST);
    } else if (mode & ARB_EQUAL) {
      pi_outcome(p, PCF_FILE_FAILED);
      a->arb_stat = FM_NOT_FOUND;
      return 0;
    }
  }
  return after_read(p, a, mode, ok);
}

// The user and date stamps: both added and changed on a write, the changed
// ones on a rewrite.
void stamp(PCB* p, uint8_t* rec, bool add, const char* who) {
  const EM* em = p->pcb_em;
  const uint16_t len = pi_pcf_len(p);
  auto user = [&](int32_t off) {
    if (off >= 0 && uint32_t(off) + 3 <= len) memcpy(rec + off, com.user_id, 3);
  };
  if (add) user(em->em_add_user_off);
  user(em->em_chg_user_off);
  ss_clock now;
  os_kivo_time(&now);
  uint8_t bin[8];
  ss_clock_store(bin, now);
  std_date today;
  GREG_BIN_TO_STD(&today, bin);
  for (int chg = add ? 0 : 1; chg <= 1; ++chg) {
    const em_stamp& s = chg ? em->em_chg_stamp : em->em_add_stamp;
    if (s.off < 0) continue;
    std_date d;
    if (uint32_t(s.off) + s.size > len || !STAMP_DATE(&d, em, chg, rec)) {
      sys_err(kModule, __LINE__, "%s - bad stamp date", who);
      continue;
    }
    memcpy(d.part, today.part, sizeof d.part);
    if (!cv_ston_date(&d)) sys_err(kModule, __LINE__, "%s - bad stamp date", who);
  }
}

// Constraint values into the record area, around events 11 and 04; 0 on
// a stop (the outcome set).
int pre_update(PCB* p, uint8_t* rec, bool pre_event) {
  const bool cns = p->pcb_em->em_cns_rec != 0;
  if (cns) pi_set_cns(p, rec);
  if (pi_ep_stop(p, EP_PCF_EXT)) return pi_outcome(p, PCF_STOP_EXT), 0;
  if (pre_event && pi_ep_stop(p, EP_PCF_PRE)) return pi_outcome(p, PCF_STOP_PRE), 0;
  if (cns) pi_set_cns(p, rec);  // constraint values win over what the events set
  return 1;
}

// The held record through the file block's current stream when another
// stream holds it, else (or when that fails) through the PCF stream; the
// stream used.
ARB* change_held(PCB* p, ARB* a, int (*op)(PCB*, ARB*), int* ok) {
  ARB* h = pcf_blk(p)->cur_arb;
  if (h && h != a) {
    h->arb_rec = a->arb_rec, h->arb_var_len = 0, h->arb_mod = 0;
    if ((*ok = op(p, h))) return h;
  }
  a->arb_var_len = 0, a->arb_mod = 0;
  *ok = op(p, a);
  return a;
}

// A failed rewrite or delete: outcome 32, the status of the stream used in
// the PCF stream.
void change_failed(PCB* p, ARB* a, const ARB* used) {
  trace_status(p, used);
  pi_outcome(p, PCF_FILE_FAILED);
  if (used != a) a->arb_stat = used->arb_stat, a->arb_stat2 = used->arb_stat2;
}

// A failed rewrite: the before image read again, held, from the file; the
// stream keeps the rewrite's status.
void reread_before(PCB* p, ARB* a) {
  if (!p->pcb_pcf_buf1) return;
  const uint32_t st = a->arb_stat, st2 = a->arb_stat2;
  uint8_t* rec = a->arb_rec;
  a->arb_rec = p->pcb_pcf_buf1, a->arb_len = pi_pcf_len(p), a->arb_mod = kReread;
  fm_read(a);
  a->arb_rec = rec, a->arb_mod = 0;
  a->arb_stat = st, a->arb_stat2 = st2;
}

// Step 4 of a write: a line of the scroll list for the new record, current.
void scroll_add(PCB* p, const ARB* a) {
  auto* s = static_cast<pcb_iscroll_blk*>(p->pcb_iscroll);
  const uint32_t n = a->arb_rec_id_len;
  if (!s || !p->pcb_sub_pool || !a->arb_rec_id_area || n > UINT16_MAX) return;
  auto* node = static_cast<iscroll_node*>(MM_ALLOC(p->pcb_sub_pool, sizeof(iscroll_node) + n));
  if (!node) return;
  node->next = nullptr, node->rid_len = static_cast<uint16_t>(n);
  node->rid = reinterpret_cast<uint8_t*>(node + 1);
  memcpy(node->rid, a->arb_rec_id_area, n);
  iscroll_node* last = s->cur ? s->cur : s->first;
  while (last && last->next) last = last->next;
  node->prev = last;
  (last ? last->next : s->first) = node;
  s->cur = node, s->count = 0;
  s->first_line = s->frame ? s->frame->word : nullptr;
}

// Step 2 of a rewrite: the current line takes the record's id.
void scroll_set(PCB* p, const ARB* a) {
  auto* s = static_cast<pcb_iscroll_blk*>(p->pcb_iscroll);
  if (!s || !s->cur || !a->arb_rec_id_area) return;
  memcpy(s->cur->rid, a->arb_rec_id_area, std::min<uint32_t>(s->cur->rid_len, a->arb_rec_id_len));
}

// Delete protection: a set flag or a non-zero reference counter.
bool protected_rec(PCB* p, const uint8_t* rec) {
  const EM* em = p->pcb_em;
  const uint16_t len = pi_pcf_len(p);
  if (em->em_del_flag_off >= 0 && uint32_t(em->em_del_flag_off) < len && rec[em->em_del_flag_off] == '1') return true;
  const int32_t off = em->em_ref_cnt_off;
  const uint8_t n = em->em_ref_cnt_len;
  if (off < 0 || uint32_t(off) + n > len) return false;
  const uint8_t* v = rec + off;
  switch (em->em_ref_cnt_type) {
    case 5:
      if (n == 1) return v[0] != 0;
      if (n == 2) return ld_le16(v, 0) != 0;
      if (n == 4) return ld_le32(v, 0) != 0;
      break;
    case 8:
    case 12:
      // Packed: every digit zero, whatever the sign, is zero.
      for (uint8_t i = 0; i < n; ++i)
        if ((i + 1 < n ? v[i] : v[i] & 0xF0) != 0) return true;
      return false;
    default: break;
  }
  sys_err(kModule, __LINE__, "pi_del() - unexpected case switch");
  return false;
}

}  // namespace

const uint8_t* pi_pcf_cfi(const PCB* p) {
  const pi_file_blk* fb = pcf_blk(p);
  return fb ? fb->cfi : nullptr;
}

uint16_t pi_pcf_len(const PCB* p) {
  const uint8_t* c = pi_pcf_cfi(p);
  return c ? ld_le16(c, FDB_REC_LEN) : 0;
}

uint8_t* pi_pcf_rec(const PCB* p) {
  if (p->pcb_pcf_arb && p->pcb_pcf_arb->arb_rec) return p->pcb_pcf_arb->arb_rec;
  const uint8_t* c = pi_pcf_cfi(p);
  const uint32_t n = c ? cfi_view(c).rec_area() : 0;
  return n && p->pcb_areas && n <= p->pcb_em->em_area_cnt ? p->pcb_areas[n] : nullptr;
}

bool pi_is_input(const PCB* p) { return proc_type(p) == PT_INPUT; }

uint8_t* pi_input_mode(const PCB* p) {
  uint8_t* a = pi_area(p, AREA_PROC, kA11Mode + 1);
  return a ? a + kA11Mode : nullptr;
}

uint8_t* pi_user_id(const PCB* p) { return pi_area(p, AREA_USER, 3); }

void pi_outcome(PCB* p, uint32_t code) { p->invoc.set_end_code(code); }

bool pi_ep_stop(PCB* p, uint8_t ep) {
  uint8_t result[4] = {};
  PROC_EXEC_BLK b{p, result, ep, 0};
  ii_proc_exec(&b);
  return (ld_le32(result, 0) & kResultStop) != 0;
}

void CPY_RID(PCB* p, ARB* a) {
  const uint32_t n = a->arb_rec_id_len;
  if (!a->arb_rec_id_area || n == 0 || n > UINT16_MAX) return;
  if (n > p->pcb_rid_len || !p->pcb_rid) {
    if (p->pcb_rid) mm_free(p->pcb_rid);
    p->pcb_rid = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, n));
    p->pcb_rid_len = p->pcb_rid ? static_cast<uint16_t>(n) : 0;
    if (!p->pcb_rid) return;
  }
  memcpy(p->pcb_rid, a->arb_rec_id_area, n);
}

int pi_read(PCB* p, uint16_t mode) {
  ARB* a = p->pcb_pcf_arb;
  if (!a) return pi_outcome(p, PCF_NO_STREAM), 0;
  if (p->invoc.rng_ap()[0] != ' ' && (mode & ARB_FIRST)) return pi_rdnxt(p, mode);
  mode = read_hold(p, a, mode);
  trace(p, (mode & ARB_REC_ID) ? TR_READ_RID : TR_READ);
  a->arb_mod = mode;
  int ok = dyna_read(p, a);
  if (!ok && !read_failed(p, a)) return 0;
  if (!in_view(p, a)) {
    if (mode & ARB_EQUAL) {
      pi_outcome(p, PCF_FILE_FAILED);
      a->arb_stat = FM_NOT_FOUND;
      return 0;
    }
    return rdnxt_loop(p, a, static_cast<uint16_t>(mode & ~ARB_FIRST));
  }
  return after_read(p, a, mode, ok);
}

int pi_rdnxt(PCB* p, uint16_t mode) {
  ARB* a = p->pcb_pcf_arb;
  if (!a) return 1;
  return rdnxt_loop(p, a, rdnxt_hold(p, a, mode));
}

read_end pi_read_end(uint32_t st) {
  if (st == OP_RECORD) return read_end::record;
  if (st == FM_EOF || st == FM_NOT_FOUND || st == 1) return read_end::end;
  return st == QS_INTERRUPTED ? read_end::interrupted : read_end::failed;
}

std::string pi_read_end_why(uint32_t st) {
  if (st == QS_INTERRUPTED) return "cancelled at the user's request";
  const std::string why = "its primary file could not be read to its end: " + la_status_text(st);
  if (st == MSG_SYS_ERR || st == MSG_SYS_ERR_UNSURE) return why;  // the recorded error names its server
  return why + " (status " + std::to_string(st) + ")";
}

int pi_write(PCB* p) {
  ARB* a = p->pcb_pcf_arb;
  if (!a) return pi_outcome(p, PCF_NO_STREAM), 0;
  uint8_t* rec = a->arb_rec;
  if (!pre_update(p, rec, true)) return 0;
  stamp(p, rec, true, "pi_write()");
  trace(p, TR_WRITE);
  a->arb_var_len = 0, a->arb_mod = 0;
  if (!dyna_write(p, a)) {
    trace_status(p, a);
    return pi_outcome(p, PCF_FILE_FAILED), 0;
  }
  CPY_RID(p, a);
  if (pi_is_input(p) && pi_mlog_arb(p)) log_lost(p, pi_mlog_all(p, MLOG_ADD));
  if (p->pcb_pcf_buf1) memcpy(p->pcb_pcf_buf1, rec, pi_pcf_len(p));
  scroll_add(p, a);
  if (pi_ep_stop(p, EP_PCF_POST)) return pi_outcome(p, PCF_STOP_POST), 0;
  return 1;
}

int pi_rewrite(PCB* p) {
  ARB* a = p->pcb_pcf_arb;
  if (!a) return pi_outcome(p, PCF_NO_STREAM), 0;
  uint8_t* rec = a->arb_rec;
  const uint16_t len = pi_pcf_len(p);
  if (!pre_update(p, rec, !auto_run(p))) return 0;
  stamp(p, rec, false, "pi_rewrite()");
  trace(p, TR_REWRITE);
  int ok = 0;
  ARB* used = change_held(p, a, dyna_rewrite, &ok);
  CPY_RID(p, used);
  if (!auto_run(p)) scroll_set(p, used);
  if (!ok) {
    change_failed(p, a, used);
    reread_before(p, a);
    return 0;
  }
  if (pi_is_input(p) && pi_mlog_arb(p) && p->pcb_pcf_buf1 && memcmp(p->pcb_pcf_buf1, rec, len) != 0)
    log_lost(p, pi_mlog_change(p, p->pcb_pcf_buf1, rec));
  // The image written, kept for every process that has the buffer: the
  // cascade puts the before image into the record area and this back.
  if (p->pcb_pcf_buf2) memcpy(p->pcb_pcf_buf2, rec, len);
  if (p->pcb_em->em_chld_cnt && p->pcb_children && p->pcb_pcf_buf1 && p->pcb_pcf_buf2 && !pi_cascade_change(p))
    return 0;
  if (p->pcb_pcf_buf2) memcpy(rec, p->pcb_pcf_buf2, len);
  if (p->pcb_pcf_buf1) memcpy(p->pcb_pcf_buf1, rec, len);
  pi_ep_stop(p, EP_PCF_EXT);
  if (auto_run(p)) return 1;
  if (pi_ep_stop(p, EP_PCF_POST)) return pi_outcome(p, PCF_STOP_POST), 0;
  return 1;
}

int pi_del(PCB* p) {
  ARB* a = p->pcb_pcf_arb;
  if (!a) return pi_outcome(p, PCF_NO_STREAM), 0;
  uint8_t* rec = a->arb_rec;
  const uint8_t* a9 = pi_area(p, AREA_DB, kA9DbType + 1);
  if (a9 && a9[kA9DbType] == 2 && protected_rec(p, rec)) {
    pi_outcome(p, PCF_FILE_FAILED);
    a->arb_stat = PCF_DEL_PROTECTED;
    trace_status(p, a);
    return 0;
  }
  if (p->pcb_em->em_chld_cnt && p->pcb_children && !pi_cascade_delete(p)) return 0;
  trace(p, TR_DELETE);
  int ok = 0;
  ARB* used = change_held(p, a, dyna_del, &ok);
  if (!ok) return change_failed(p, a, used), 0;
  // The log tells of a delete that happened: the record area still holds it.
  if (pi_is_input(p) && pi_mlog_arb(p)) log_lost(p, pi_mlog_all(p, MLOG_DEL));
  if (pi_ep_stop(p, EP_PCF_POST)) return pi_outcome(p, PCF_STOP_POST), 0;
  return 1;
}

int sb_transact() { return 0; }

int pi_trx_ctl(RT_CALL& call) {
  const rt_arg* req = nullptr;
  ARB* handle = nullptr;
  for (int i = 0; i < call.argc; ++i) {
    const rt_arg& g = call.args[i];
    if (g.kind == 2) {
      if (!handle) handle = reinterpret_cast<ARB*>(g.addr);
    } else if (!req && g.addr) {
      req = &g;
    }
  }
  uint32_t r = 0;
  if (req) r = req->len >= 4 ? ld_le32(req->addr, 0) : req->len >= 2 ? ld_le16(req->addr, 0) : req->addr[0];
  switch (r) {
    case 1: return fm_commit(1);
    case 7: return handle ? fm_release(handle) : 0;
    default: return sb_transact();
  }
}

void pi_pcf_register() {
  rt_add_fn({"PI_TRX_CTL", pi_trx_ctl, kRtAnyArgs, 0});
  rt_add_fn({"PI_DYNA_BLD", pi_dyna_bld, kRtAnyArgs, 0});
  dyna_init();
}

}  // namespace kivo
