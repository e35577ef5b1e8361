// A process's files: the opening of every compiled file before the
// process's statements run, the report that ends a process whose file cannot
// be opened, the look-ups of compiled files and data areas, and the copying
// of constraint values into a new PCF record.
//
// Invariants: a CFI record's stored descriptor is authoritative: the
// database, source application and access are set in it before the file
// opens (em_cfi_desc reads it then). A copy never leaves the record or the
// value buffer it goes into or comes from.
// Callers: invoc_proc (through pi_open_fi), the file verbs, the INPUT
// process and the PCF write and rewrite.
#include <cstring>
#include <string>
#include <vector>

#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_xlate.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/ii_run.h"
#include "process/pb_slct.h"
#include "process/pi_exec.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PIEXEC";
constexpr uint32_t kMsgOpen = 300270;
// The open joins the file's group but is not deferred: a missing file is
// known before the process runs (an optional one gets no handle).
constexpr uint32_t kOptOpen = LFB_JOIN, kOptCreate = LFB_JOIN;
constexpr size_t kErrText = 608;
// The error block: class, file, database, process, then two texts.
enum : size_t { EB_CLASS = 0, EB_FILE_AP = 1, EB_FILE = 4, EB_DB = 12, EB_AP = 15, EB_NAME = 18, EB_TYPE = 48 };
enum : size_t { EB_TEXT1 = 49, EB_TEXT2 = EB_TEXT1 + kErrText };
static_assert(EB_TEXT2 + kErrText == kRtErrSize);
enum : size_t { A9_SRC = 124 };  // area 9: application and version being designed
enum : size_t { SEG_OFF = 2, SEG_LEN = 4, kSegEntLen = 6 };

bool ap_is(const uint8_t* c, const char* ap) { return memcmp(c + FDB_AP, ap, 3) == 0; }

// Every CFI record of the module, in key-0 order; the records stay where
// they are (locate mode), so later reads of the file do not move them.
std::vector<uint8_t*> cfi_records(EM* em) {
  std::vector<uint8_t*> out;
  uint8_t key[CFI_LEN] = {};
  PROTO_FULL(em->em_cfi_arb, 0, key);
  em->em_cfi_arb->arb_mod = ARB_FIRST;
  if (!fm_start(em->em_cfi_arb)) {
    checkstat(em->em_cfi_arb->arb_stat, "invoc_proc() - cfi start failed", kModule, __LINE__);
    return out;
  }
  while (uint8_t* c = fm_rdnxt_fast(em->em_cfi_arb, 0)) out.push_back(c);
  return out;
}

// Area `n` of the process; null for 0 (none) and for a number past the module's.
uint8_t* area_of(PCB* p, uint32_t n) { return n && n <= p->pcb_em->em_area_cnt ? p->pcb_areas[n] : nullptr; }

// Step 2b: the database or source application the file opens under.
void place_file(PCB* p, uint8_t* c) {
  const uint8_t* a9 = pi_area(p, AREA_DB, A9_SRC + 5);
  if (ap_is(c, "0AD")) {
    if (a9) memcpy(c + FDB_SRC_AP, a9 + A9_SRC, 5);
  } else if ((ld_le32(c, FDB_OPT) & LFB_SCOPED) || c[FDB_FS_TYPE] == FS_MEMORY || !a9) {
    memset(c + FDB_DB, ' ', 3);
  } else {
    memcpy(c + FDB_DB, a9, 3);
  }
  if (access_all_files) c[FDB_ACC] = 15;
}

void set_opt(uint8_t* c, uint32_t bits) { st_le32(c, FDB_OPT, ld_le32(c, FDB_OPT) | bits); }

// Whether an optional disk file failed to open for another cause than its
// absence: damaged, locked or unreadable. A report run on without it would
// print as if it were empty. A file that is not there (never made, not
// listed for the database, its application or database not installed) is
// no part of the data: the process runs on without it. (A memory file that
// is not there fails in other words; it cannot be damaged.)
bool there_but_unopened(const uint8_t* c, uint32_t status) {
  switch (status) {
    case FM_NO_FILE:
    case FM_NOT_IN_SYSDIR:
    case FM_REFUSED_AP:
    case FM_NO_DB: return false;
    default: return cfi_view(c).fs_type() == FS_DISK;
  }
}

// Opens (state 1) or creates and opens the file; its handle, or null when an
// optional file is missing. A required file, an optional one that is there
// but cannot be opened or a failed create ends the process.
ARB* open_file(PCB* p, uint8_t* c, pi_file_blk* fb) {
  FDB fdb;
  const bool create = fb->state != FB_OWN;
  if (create) {
    set_opt(c, kOptCreate);
    st_le32(c, FDB_TMP_ID, fb->shr_scope);  // temporary files of different levels stay apart
    if (!em_cfi_desc(p->pcb_em, c, &fdb)) pi_fi_err(p, c, kMsgOpen, 0);
    if (!fm__create(&fdb, fb->shr_scope)) pi_fi_err(p, c, kMsgOpen, fdb.fdb_stat);
    if (fdb.fdb_arb) FM_CLOSE(fdb.fdb_arb, 0);
  } else {
    set_opt(c, kOptOpen);
  }
  if (!em_cfi_desc(p->pcb_em, c, &fdb)) pi_fi_err(p, c, kMsgOpen, 0);
  if (fm__open(&fdb, fb->own_scope)) return fdb.fdb_arb;
  if (create || cfi_view(c).required() || there_but_unopened(c, fdb.fdb_stat)) pi_fi_err(p, c, kMsgOpen, fdb.fdb_stat);
  return nullptr;
}

void open_one(PCB* p, uint8_t* c, pi_file_blk* fb) {
  set_opt(c, LFB_FILE_PROC);
  const cfi_view cfi(c);
  const bool typed = cfi.fs_type() != 0;
  if (fb->state && typed) {
    place_file(p, c);
    if (cfi.access()) fb->arb = open_file(p, c, fb);
    fb->state = fb->spare = 0;
    fb_note_open(fb, fb->own_scope);
  }
  if (cfi.lang_dependent() && fb->arb) fm_set_lang(fb->arb, "ENG", com.lang_id);
  uint8_t* rec_area = area_of(p, cfi.rec_area());
  if (typed && fb->arb && rec_area) fb->arb->arb_rec = rec_area;
  EM* em = p->pcb_em;
  if (cfi.file_no() != em->em_pcf_id || !ap_is(c, em->em_pcf_ap)) return;
  p->pcb_pcf_blk = fb;
  // The before image and the image written: the input process's log and
  // the cascade of a process with children need both.
  if ((p->invoc.proc_type() != PT_INPUT && !em->em_chld_cnt) || p->pcb_pcf_buf1) return;
  const uint16_t len = cfi.rec_len();
  p->pcb_pcf_buf1 = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, len));
  p->pcb_pcf_buf2 = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, len));
}

// The selection of the sorted query the PCF reads does not compile: the
// user's to correct in the query, so the invoker's message line (the
// process's own without one) says where and why, and the process ends
// with 4. Nothing goes to the system-error log: the fault is not the engine's.
[[noreturn]] void selection_refused(PCB* p, uint32_t status) {
  PCB* inv = invoc_parent(p->invoc);
  ARB* msgs = inv && inv->pcb_err_fi ? inv->pcb_err_fi : p->pcb_err_fi;
  const std::string where = slct_fault_where(pb_refusal());
  const char* why = slct_fault_why(pb_refusal().why);
  const cstr params[] = {{uint16_t(where.size()), const_cast<char*>(where.data())},
                         {uint16_t(strlen(why)), const_cast<char*>(why)}};
  if (msgs) la_add_msg(msgs, &status, 3, params);
  p->invoc.set_end_code(PI_END_CANCEL);
  mark_leave(PI_END_CANCEL);
}

// Steps 3 and 4: the process's own stream on its PCF, started, and its range blocks.
void start_pcf(PCB* p) {
  auto* fb = static_cast<pi_file_blk*>(p->pcb_pcf_blk);
  const uint8_t* c = fb ? fb->cfi : nullptr;
  if (!c || !cfi_view(c).fs_type() || !fb->arb || p->invoc.proc_type() == PT_FILE_PROC) return;
  FAD fad{nullptr, nullptr};
  pb_auto_setup(p, &fad);
  if (!(p->pcb_pcf_arb = FM_ATTACH(fb->arb, &fad, com.subproc_scope))) {
    const uint32_t st = fb->arb->arb_stat;
    if (st == PB_SYNTAX || st == PB_DIGIT) selection_refused(p, st);
    pi_fi_err(p, c, kMsgOpen, st);
  }
  ARB* a = p->pcb_pcf_arb;
  a->arb_rec = area_of(p, cfi_view(c).rec_area());
  pi_dyna_add(p, nullptr);
  const uint8_t k = p->invoc.pcf_key_no();
  a->arb_keyno = k < 255 ? k : p->pcb_em->em_pcf_key;
  a->arb_key = nullptr;
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a) && cfi_view(c).required()) pi_fi_err(p, c, kMsgOpen, a->arb_stat);
  const uint8_t t = p->invoc.proc_type();
  if (t != PT_OUTPUT && t != PT_UPDATE && t != PT_ACTION) return;
  if (p->invoc.rng_nam()[0] == ' ') {
    p->pcb_rng = nullptr, p->pcb_rng_cnt = 0;
  } else {
    bld_rng(p);
  }
}

// Each segment of the process's constraint block with its value, in
// order, while `fn` answers true; false when it answered false.
template <typename Fn>
bool each_cnstr(PCB* p, Fn fn) {
  const auto* b = static_cast<const PCF_SCB*>(p->pcb_scb);
  for (; b && b->kind != SCB_CNSTR; b = b->next) {}
  if (!b) return true;
  uint32_t at = 0;
  for (uint16_t i = 0; i < b->seg_cnt; ++i) {
    const uint8_t* seg = b->segs + kSegEntLen * i;
    const uint32_t len = ld_le16(seg, SEG_LEN);
    if (at + len > b->val_len) return true;
    if (!fn(seg, b->vals + at, len)) return false;
    at += len;
  }
  return true;
}

// A text of message `no` into `out` (blank-filled); its class.
uint16_t text(uint32_t no, uint8_t* out) {
  memset(out, ' ', kErrText);
  cstr s{static_cast<uint16_t>(kErrText), reinterpret_cast<char*>(out)};
  uint16_t cls = 0;
  la_xlate(no, &s, &cls);
  return cls;
}

// A field of the error block without its trailing blanks.
std::string words(const uint8_t* b, size_t at, size_t n) {
  std::string s(reinterpret_cast<const char*>(b + at), n);
  return s.erase(s.find_last_not_of(' ') + 1);
}

// The start's own process that cannot open a file ran nothing: the start
// says which file and why once the terminal is back.
void note_failure(const PCB* p, const uint8_t* b) {
  std::string why = "could not run: " + words(b, EB_TEXT1, kErrText) + " (" + words(b, EB_FILE, 8) + ")";
  if (const std::string cause = words(b, EB_TEXT2, kErrText); !cause.empty()) why += ": " + cause;
  pi_note_file_failure(p, why.c_str());
}

}  // namespace

void pi_open_fi_run(PCB* p) {
  EM* em = p->pcb_em;
  if (!em || !em->em_cfi_arb || !em->em_cfi_cnt) return;
  // The descriptors of the files are made from the key arrays built once per module.
  if (!em->em_cfi_native && !em_cfi_load_keys(em)) sys_err(kModule, __LINE__, "invoc_proc() - bad cfi keys");
  for (uint8_t* c : cfi_records(em)) {
    // A file whose fields alone are used has no file block: nothing to open.
    auto* fb = reinterpret_cast<pi_file_blk*>(area_of(p, cfi_view(c).fb_area()));
    if (fb) open_one(p, c, fb);
  }
  start_pcf(p);
}

void pi_place_file(PCB* p, uint8_t* cfi) { place_file(p, cfi); }

int pi_start_pcf(PCB* p) {
  start_pcf(p);
  return p->pcb_pcf_arb != nullptr;
}

void pi_fi_err_block(PCB* p, const uint8_t* c, uint32_t msg, uint32_t status, uint8_t* b) {
  memset(b, ' ', kRtErrSize);
  const bool la = ap_is(c, "0LA"), ad = ap_is(c, "0AD");
  memcpy(b + EB_FILE_AP,
         la   ? "---"
         : ad ? reinterpret_cast<const char*>(c + FDB_SRC_AP)
              : reinterpret_cast<const char*>(c + FDB_AP),
         3);
  memcpy(b + EB_FILE, c + FDB_NAME, 8);
  if (!la && !ad && !ap_is(c, "0SA")) memcpy(b + EB_DB, c + FDB_DB, 3);
  memcpy(b + EB_AP, p->invoc.ap_id(), 3);
  memcpy(b + EB_NAME, p->invoc.proc_nam(), kProcNameLen);
  b[EB_TYPE] = p->invoc.proc_type();
  uint16_t cls = text(msg, b + EB_TEXT1);
  if (status) cls = text(status, b + EB_TEXT2);
  b[EB_CLASS] = static_cast<uint8_t>(cls);
}

void pi_fi_err(PCB* p, const uint8_t* c, uint32_t msg, uint32_t status) {
  uint8_t b[kRtErrSize];
  pi_fi_err_block(p, c, msg, status, b);
  note_failure(p, b);
  rt_err(invoc_parent(p->invoc), b);
  // The family goes once, when the process ends: the unwind lands in its run.
  p->invoc.set_end_code(PI_END_CANCEL);
  mark_leave(PI_END_CANCEL);
}

uint8_t* pi_get_cfi(EM* em, uint8_t* key) {
  return em && em->em_cfi_arb ? em_read_key(em->em_cfi_arb, 0, key) : nullptr;
}

uint8_t* pi_find_addr(PCB* p, const char* ap, uint32_t number, uint8_t type, uint32_t off, uint32_t* area_no) {
  const EM* em = p ? p->pcb_em : nullptr;
  for (uint32_t i = 0; em && p->pcb_areas && i < em->em_area_cnt; ++i) {
    const AREA_DESC& d = em->em_area_tbl[i];
    if (memcmp(d.ap, ap, 3) || d.kind != number / 1000000 || d.number != number % 1000000 || d.type != type ||
        d.rel_off || d.area_no > em->em_area_cnt)
      continue;
    if (area_no) *area_no = d.area_no;
    uint8_t* base = p->pcb_areas[d.area_no];
    return base ? base + off : nullptr;
  }
  return nullptr;
}

uint8_t* pi_find_rec(PCB* p, const char* ap, const char* name) {
  uint8_t key[CFI_LEN] = {};
  memcpy(key + FDB_AP, ap, 3);
  memcpy(key + FDB_NAME, name, 8);
  const uint8_t* c = pi_get_cfi(p->pcb_em, key);
  return c ? pi_find_addr(p, ap, cfi_view(c).file_no(), 0, 0, nullptr) : nullptr;
}

void pi_set_cns(PCB* p, uint8_t* rec) {
  auto* fb = static_cast<pi_file_blk*>(p->pcb_pcf_blk);
  const uint32_t rec_len = fb && fb->cfi ? ld_le16(fb->cfi, FDB_REC_LEN) : 0;
  auto put = [&](const uint8_t* seg, const uint8_t* from, uint32_t len) {
    const uint32_t off = ld_le16(seg, SEG_OFF);
    if (off + len <= rec_len) memcpy(rec + off, from, len);
  };
  const INVOC* v = &p->invoc;
  if (v->auto_run() == 1) {
    const uint32_t cnt = v->cnstr_cnt(), val_len = v->cnstr_len();
    auto* flds = static_cast<const cnstr_fld*>(ih_get(HK_CNSTR_FLDS, v->cnstr_flds()));
    auto* segs = static_cast<const uint8_t*>(ih_get(HK_CNSTR_SEGS, v->cnstr_segs()));
    auto* vals = static_cast<const uint8_t*>(ih_get(HK_CNSTR_VALS, v->cnstr_vals()));
    for (uint32_t i = 0; flds && segs && vals && i < cnt; ++i)
      if (flds[i].given && uint32_t(flds[i].val_off) + flds[i].len <= val_len)
        put(segs + kSegEntLen * i, vals + flds[i].val_off, flds[i].len);
    return;
  }
  each_cnstr(p, [&](const uint8_t* seg, const uint8_t* val, uint32_t len) {
    put(seg, val, len);
    return true;
  });
}

bool pi_in_cnstr(PCB* p, const uint8_t* rec) {
  const uint32_t rec_len = pi_pcf_len(p);
  return each_cnstr(p, [&](const uint8_t* seg, const uint8_t* val, uint32_t len) {
    const uint32_t off = ld_le16(seg, SEG_OFF);
    return off + len <= rec_len && memcmp(rec + off, val, len) == 0;
  });
}

}  // namespace kivo
