// Suspend and resume: a process that asks for the background is written to
// a suspend file of the session directory (its invocation, the constraint
// it was given, its pending query, the session's temporary files and the
// data of its shared areas) and handed to the job submission; the engine
// the job starts reads the file back into the process and scratches it.
//
// Record order: SESSION; the constraint record (when the invocation has a
// constraint); the pending query's records and its closing 1-byte record;
// per temporary file its 72-byte descriptor, key and segment arrays and
// records; "SAAS"; per area kind 0-12 its catalogue record and the
// process's SAA records, each followed by its entries' data.
//
// Invariants: nothing is taken from a record whose length is not the one
// its place calls for; a resume that meets such a record (or a catalogue of
// another kind) keeps the file and ends the process with 4 before any of its
// statements runs. No pointer is written: SAA words are 0 or 1, file blocks
// and descriptors go in their stored forms.
// Callers: invoc_proc (a background run), pi_shr_data (pi_resume).
#include <cstring>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/pcb.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_record_cache.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/pi.h"
#include "process/pi_internal.h"
#include "process/pi_suspend.h"
#include "process/qp.h"
#include "process/startup.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PISHR";
constexpr uint32_t kCreateOpts = LFB_OPEN_NEW | LFB_NO_STRUCT_CHK | LFB_ANY_DIR;  // never scoped: the name stays
constexpr int kNameTries = 100;
// Area 1 (output defaults): the job's options.
enum : size_t { A1_SUBMIT_MODE = 629, A1_NOTIFY = 631, A1_SUBMIT_DATE = 632, A1_PRIORITY = 640, A1_QUEUE = 650 };
constexpr uint32_t kSaaKindsAll = kSaaKinds;

ARB* susp_file(const char* name, bool create, uint32_t* status) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  INIT_SESS_FDB(&fdb, kdb, name);
  fdb.path.fdb_tmp_id = 1;
  const int ok =
      create ? FM_CREATE(&fdb, com.sys_scope, 0, kCreateOpts, 15, 0) : FM_OPEN(&fdb, com.sys_scope, kCreateOpts, 15, 0);
  *status = ok ? 0 : fdb.fdb_stat;
  return ok ? fdb.fdb_arb : nullptr;
}

int put(ARB* a, const uint8_t* rec, size_t len) {
  if (len == 0 || len > kSuspRecMax) return a->arb_stat = FM_REC_TOO_LONG, 0;
  a->arb_keyno = 0, a->arb_key = nullptr;
  a->arb_rec = const_cast<uint8_t*>(rec);
  a->arb_len = a->arb_var_len = uint16_t(len);
  a->arb_mod = 0;
  return fm_write(a);
}

// ---- the SESSION and constraint records ----

// The database the job runs on: the process's own (its database area),
// else the session's, so that the job's start finds one where the run had
// one in effect.
void job_database(const PCB* p, uint8_t* db) {
  const uint8_t* a9 = pi_area(p, AREA_DB, 3);
  memcpy(db, a9 && !is_blank(a9, 3) ? a9 : reinterpret_cast<const uint8_t*>(com.cur_db), 3);
}

std::vector<uint8_t> session_rec(PCB* p, const std::vector<uint8_t>& cnstr, uint32_t val_len) {
  std::vector<uint8_t> r(kSessRecLen, 0);
  INVOC v = p->invoc;
  v.set_invoc_type(2);
  v.set_bg_run(0);
  // The handles of this engine mean nothing to the next one.
  v.set_parent_srf(0, 0), v.set_parent_srf(1, 0), v.set_parent_pcb(0);
  v.set_cnstr_segs(0), v.set_cnstr_flds(0), v.set_cnstr_vals(0);
  if (cnstr.empty()) v.set_cnstr_cnt(0);
  memcpy(r.data(), v.b, kInvocSize);
  job_database(p, r.data() + SESS_DB);
  st_le32(r.data(), SESS_CNSTR_LEN, val_len);
  return r;
}

// The constraint record: u32 count, the 6-byte segment entries, per field
// its u16 length and given flag, then the values; empty without a
// constraint the next engine can rebuild.
std::vector<uint8_t> cnstr_rec(const PCB* p, uint32_t* val_len) {
  *val_len = 0;
  const INVOC* v = &p->invoc;
  const uint32_t cnt = v->cnstr_cnt();
  auto* flds = static_cast<const cnstr_fld*>(ih_get(HK_CNSTR_FLDS, v->cnstr_flds()));
  auto* segs = static_cast<const uint8_t*>(ih_get(HK_CNSTR_SEGS, v->cnstr_segs()));
  if (!cnt || !flds || !segs || cnt > kSuspRecMax / kCnstrSegLen) return {};
  std::vector<uint8_t> r(4);
  st_le32(r.data(), 0, cnt);
  r.insert(r.end(), segs, segs + kCnstrSegLen * cnt);
  for (uint32_t i = 0; i < cnt; ++i) {
    uint8_t f[3];
    st_le16(f, 0, flds[i].len), f[2] = flds[i].given;
    r.insert(r.end(), f, f + 3);
  }
  for (uint32_t i = 0; i < cnt; ++i) {
    const cnstr_fld& f = flds[i];
    const uint8_t* from = f.indirect ? *reinterpret_cast<uint8_t* const*>(f.addr) : f.addr;
    if (!from) return {};
    r.insert(r.end(), from + f.add_off, from + f.add_off + f.len);
    *val_len += f.len;
  }
  return r;
}

// ---- the temporary files ----

// The open physical file of a stored path: its keys open it again.
const PFB* pfb_of_path(const uint8_t* stored) {
  struct look {
    const uint8_t* path;
    const PFB* pfb;
  } l{stored, nullptr};
  ctl_each_lfn(
      [](LFN* lfn, void* ctx) {
        auto* l = static_cast<look*>(ctx);
        uint8_t p[FDB_KDB];
        fdb_path_store(lfn->lfn_path, p);
        if (lfn->lfn_pfb && memcmp(p, l->path, FDB_KDB) == 0) l->pfb = lfn->lfn_pfb;
      },
      &l);
  return l.pfb;
}

bool save_tmp_file(ARB* susp, const uint8_t* stored) {
  FDB fdb;
  fdb_load(stored, &fdb);
  const uint8_t nkeys = fdb.fdb_nkeys;
  const PFB* live = pfb_of_path(stored);
  if (!live) return true;  // closed since the list was made
  fdb.fdb_kdb = live->pfb_kdb, fdb.fdb_nkeys = uint8_t(live->pfb_nkeys);
  if (!FM_OPEN(&fdb, com.mark_scope, fdb.fdb_opt, fdb.fdb_acc, fdb.fdb_shr)) {
    if (fdb.fdb_stat == FM_NO_FILE) return true;  // never created
    sys_err(kModule, __LINE__, "can't open temp file %.8s (%u)", fdb.path.fdb_name, fdb.fdb_stat);
    return false;
  }
  ARB* h = fdb.fdb_arb;
  const PFB* pfb = arb_pfb(h);
  bool ok = put(susp, stored, kFdbStoredSize) || (sys_err(kModule, __LINE__, "can't write tmp fdb"), false);
  if (ok && nkeys) {
    std::vector<uint8_t> k(kKdbStoredSize * pfb->pfb_nkeys);
    for (uint16_t i = 0; i < pfb->pfb_nkeys; ++i) kdb_store(pfb->pfb_kdb[i], k.data() + kKdbStoredSize * i);
    ok = put(susp, k.data(), k.size()) || (sys_err(kModule, __LINE__, "can't write tmp kdb"), false);
    for (uint16_t i = 0; ok && i < pfb->pfb_nkeys; ++i) {
      const KDB& kd = pfb->pfb_kdb[i];
      std::vector<uint8_t> s(kSdbStoredSize * kd.kdb_nsegs);
      for (uint8_t j = 0; j < kd.kdb_nsegs; ++j) sdb_store(kd.kdb_sdb[j], s.data() + kSdbStoredSize * j);
      ok = put(susp, s.data(), s.size()) || (sys_err(kModule, __LINE__, "can't write tmp sdb"), false);
    }
  }
  if (ok && !fm_save_fi(susp, h)) ok = (sys_err(kModule, __LINE__, "can't save temp file (%u)", susp->arb_stat), false);
  h->arb_mod = 0;
  if (!FM_CLOSE(h, 0)) ok = (sys_err(kModule, __LINE__, "can't detach tmp arb"), false);
  return ok;
}

bool save_tmp_files(ARB* susp) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_STF_FDB(&fdb, kdb, sdb);
  if (!FM_CREATE(&fdb, com.mark_scope, 50, LFB_OPEN_NEW, 15, 15))
    return sys_err(kModule, __LINE__, "can't create stf file"), false;
  ARB* stf = fdb.fdb_arb;
  uint8_t rec[kFdbStoredSize];
  stf->arb_rec = rec, stf->arb_len = kFdbStoredSize;
  std::vector<std::vector<uint8_t>> list;
  if (fm_find_fis(stf)) {
    stf->arb_mod = 0;
    while (fm_rdnxt(stf)) list.emplace_back(rec, rec + kFdbStoredSize);
  }
  stf->arb_mod = ARB_SCRATCH;
  FM_CLOSE(stf, ARB_SCRATCH);
  for (const auto& d : list)
    if (!save_tmp_file(susp, d.data())) return false;
  return true;
}

// ---- the SAA records ----

void store_file_blk(const pi_file_blk& fb, uint8_t* out) {
  memset(out, 0, kFileBlkStored);
  st_le32(out, 12, fb.own_scope), st_le32(out, 16, fb.shr_scope), st_le32(out, 20, fb.word5);
  st_le32(out, 28, fb.word7);
  memcpy(out + 36, fb.stat, 2), out[38] = fb.state, out[39] = fb.spare;
}

std::vector<uint8_t> saa_stored(const SAA_REC* r) {
  const uint32_t len = uint32_t(kSaaHdrLen + kSaaSlotLen) + kSaaSlotLen * r->count;  // 32 bits, as stored
  std::vector<uint8_t> out(len, 0);
  st_le32(out.data(), SAA_COUNT, r->count);
  memcpy(out.data() + SAA_AP, r->ap, 3), memcpy(out.data() + SAA_VER, r->ver, 2);
  out[SAA_PASS] = r->pass, out[SAA_PASS + 1] = r->spare[0], out[SAA_PASS + 2] = r->spare[1];
  if (r->count == kSaaSkipped) return out;
  for (uint32_t i = 0; i <= r->count; ++i) {
    const saa_entry& e = r->e[i];
    uint8_t* s = out.data() + kSaaHdrLen + kSaaSlotLen * i;
    st_le32(s, SLOT_OWN, e.own ? 1 : 0), st_le32(s, SLOT_BORROWED, e.borrowed ? 1 : 0);
    s[SLOT_TYPE] = e.type, s[SLOT_RECEIVED] = e.received, s[SLOT_CLS] = e.cls, s[SLOT_FLAGS] = e.flags;
    st_le16(s, SLOT_SIZE, e.type == 1 ? uint16_t(kFileBlkStored) : e.size);
  }
  return out;
}

bool save_saa(ARB* susp, const SAA_REC* r) {
  const std::vector<uint8_t> rec = saa_stored(r);
  if (!put(susp, rec.data(), rec.size())) return sys_err(kModule, __LINE__, "can't write saa"), false;
  if (r->count == kSaaSkipped) return true;
  for (uint32_t i = 0; i <= r->count; ++i) {
    const saa_entry& e = r->e[i];
    const uint8_t* data = e.own ? e.own : e.borrowed;
    if (!data) continue;
    if (e.size == 0) {
      sys_err(kModule, __LINE__, "oops - no len");
      continue;
    }
    uint8_t fb[kFileBlkStored];
    if (e.type == 1) store_file_blk(*reinterpret_cast<const pi_file_blk*>(data), fb);
    if (!(e.type == 1 ? put(susp, fb, kFileBlkStored) : put(susp, data, e.size)))
      return sys_err(kModule, __LINE__, e.own ? "can't write cur" : "can't write anc"), false;
  }
  return true;
}

bool save_saas(ARB* susp, PCB* p) {
  if (!put(susp, reinterpret_cast<const uint8_t*>("SAAS"), 4))
    return sys_err(kModule, __LINE__, "can't write tmp fdb"), false;
  for (uint32_t k = 0; k < kSaaKindsAll; ++k) {
    uint8_t cat[4];
    st_le32(cat, 0, k);
    if (!put(susp, cat, 4)) return sys_err(kModule, __LINE__, "can't write shr_cat"), false;
    for (SAA_REC* r : saa_of(uint8_t(k), p->pcb_handle))
      if (!save_saa(susp, r)) return false;
  }
  return true;
}

// The job's options from the output defaults (system area 1): mode, notify,
// date, priority and queue; a blank mode or date is none.
SUBMIT_BLK submit_blk(const PCB* p) {
  SUBMIT_BLK b{255, ' ', 0xFFFFFFFF, 0, {}, {}};
  memset(b.priority, ' ', sizeof b.priority), memset(b.queue, ' ', sizeof b.queue);
  const uint8_t* a1 = pi_area(p, AREA_OUT_DFLT, A1_QUEUE + sizeof b.queue);
  if (!a1) return b;
  const uint8_t m = a1[A1_SUBMIT_MODE];
  b.mode = m == ' ' || m == 0 ? 255 : m >= '0' && m <= '4' ? uint8_t(m - '0') : m;
  b.notify = a1[A1_NOTIFY] ? char(a1[A1_NOTIFY]) : ' ';
  if (!is_blank(a1 + A1_SUBMIT_DATE, 8) && ld_le32(a1, A1_SUBMIT_DATE))
    b.day = ld_le32(a1, A1_SUBMIT_DATE), b.hsec = ld_le32(a1, A1_SUBMIT_DATE + 4);
  memcpy(b.priority, a1 + A1_PRIORITY, sizeof b.priority), memcpy(b.queue, a1 + A1_QUEUE, sizeof b.queue);
  return b;
}

// Makes and creates the file: the stamp's name, advanced by one hundredth
// while a file of that name exists; null after a reported failure.
ARB* create_named(char* name) {
  ss_clock c;
  os_kivo_time(&c);
  for (int i = 0; i < kNameTries; ++i, c = ss_clock_add(c, 1)) {
    uint8_t stamp[8];
    ss_clock_store(stamp, c);
    pl_gen_nam(0, stamp, name);
    uint32_t st = 0;
    if (ARB* old = susp_file(name, false, &st)) {
      FM_CLOSE(old, 0);
      continue;
    }
    ARB* a = susp_file(name, true, &st);
    if (a && a->arb_stat != FM_EXISTS) return a;
    if (a) {  // made by another engine between the look and the create
      a->arb_mod = 0;
      FM_CLOSE(a, 0);
      continue;
    }
    sys_err(kModule, __LINE__, "can't create suspend file (%u)", st);
    return nullptr;
  }
  sys_err(kModule, __LINE__, "can't create suspend file: %d names taken", kNameTries);
  return nullptr;
}

}  // namespace

// The suspend file's name of the last pi_suspend (tests).
char pi_susp_name[8];

int pi_suspend(PCB* p) {
  // A failure here is reported with the cause this run records, never with
  // one an earlier, unrelated failure left.
  la_sys_err_clear();
  char name[8];
  ARB* a = create_named(name);
  if (!a) return -1;
  memcpy(pi_susp_name, name, 8);
  uint32_t val_len = 0;
  const std::vector<uint8_t> cnstr = cnstr_rec(p, &val_len);
  const std::vector<uint8_t> sess = session_rec(p, cnstr, val_len);
  bool ok = put(a, sess.data(), sess.size()) || (sys_err(kModule, __LINE__, "SESSION write failed"), false);
  if (ok && !cnstr.empty())
    ok = put(a, cnstr.data(), cnstr.size()) || (sys_err(kModule, __LINE__, "SESSION write failed"), false);
  if (ok) ok = qp_save_pend(a, p->pcb_pool ? p->pcb_pool->level : 0);
  if (ok) ok = save_tmp_files(a);
  if (ok) ok = save_saas(a, p);
  a->arb_mod = 0;
  if (!ok) {
    FM_CLOSE(a, ARB_SCRATCH | ARB_CLOSE_NOW);
    return -1;
  }
  FM_CLOSE(a, ARB_CLOSE_NOW);
  const SUBMIT_BLK blk = submit_blk(p);
  const int r = os_submit(name, &blk);
  if (r != 0) {
    sys_err(kModule, __LINE__, "submit of session %.8s failed (%d)", name, r);
    pi_scratch_session(name);
  }
  return r;
}

void pi_scratch_session(const char* name) {
  uint32_t st = 0;
  if (ARB* a = susp_file(name, false, &st)) {
    a->arb_mod = 0;
    FM_CLOSE(a, ARB_SCRATCH | ARB_CLOSE_NOW);
  }
}

}  // namespace kivo
