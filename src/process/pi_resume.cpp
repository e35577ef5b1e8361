// The resume of a suspended process in the engine its job started: the
// invocation and constraint, the pending query, the temporary files and the
// shared areas' data read back from the suspend file, which is scratched
// once all of it is in.
//
// Invariant: every record's length is checked against what its place calls
// for before anything is taken from it; on a mismatch, a record missing or
// a catalogue of another kind the file stays and the process ends with 4
// before its first event point; the start then ends with one line saying
// why (pi_resume_failure), its exit status no success.
// Callers: pi_shr_data, while a session named on the command line waits.
#include <cstring>
#include <string>
#include <vector>

#include "compiler/pcb.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/pi.h"
#include "process/pi_internal.h"
#include "process/pi_suspend.h"
#include "process/process.h"
#include "process/qp.h"
#include "process/startup.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PISHR";
constexpr uint32_t kOpenOpts = LFB_OPEN_NEW | LFB_NO_STRUCT_CHK | LFB_ANY_DIR;
constexpr uint32_t kLastKind = kSaaKinds - 1;

struct resume_failed {
  std::string what;
};

// Reads the suspend file record by record.
class reader {
 public:
  explicit reader(ARB* a) : a_(a), buf_(kSuspRecMax) {
    PROTO_FULL(a_, 0, buf_.data());
    a_->arb_mod = ARB_FIRST;
    fm_start(a_);
  }
  // The next record's length; -1 at the end of the file, or after a failure.
  int next() {
    PROTO_FULL(a_, 0, buf_.data());
    a_->arb_len = kSuspRecMax, a_->arb_mod = 0;
    if (!fm_rdnxt(a_)) return -1;
    return a_->arb_var_len;
  }
  // The next record, which must be `len` bytes long.
  const uint8_t* need(size_t len, const char* what) {
    const int n = next();
    if (n < 0 || size_t(n) != len)
      throw resume_failed{std::string(what) + ": " +
                          (n < 0 ? "missing" : std::to_string(n) + " bytes, not " + std::to_string(len))};
    return buf_.data();
  }
  const uint8_t* data() const { return buf_.data(); }
  bool at_end() const { return a_->arb_stat == FM_EOF; }
  ARB* arb() const { return a_; }

 private:
  ARB* a_;
  std::vector<uint8_t> buf_;
};

// The constraint record into arrays of the process pool, named by handles in
// the invocation as the invoker's call would name them.
void load_cnstr(reader& rd, PCB* p) {
  INVOC* v = &p->invoc;
  const uint32_t cnt = v->cnstr_cnt();
  if (!cnt) return;
  const int n = rd.next();
  if (n < 4 || ld_le32(rd.data(), 0) != cnt) throw resume_failed{"constraint record"};
  const uint64_t head = 4 + uint64_t(kCnstrSegLen + 3) * cnt;
  if (uint64_t(n) < head) throw resume_failed{"constraint record: " + std::to_string(n) + " bytes"};
  const uint8_t* r = rd.data();
  const uint8_t* lens = r + 4 + kCnstrSegLen * cnt;
  uint64_t total = 0;
  for (uint32_t i = 0; i < cnt; ++i) total += ld_le16(lens, 3 * i);
  if (head + total != uint64_t(n) || total != v->cnstr_len())
    throw resume_failed{"constraint values: " + std::to_string(n - head) + " bytes"};
  POOL* pool = p->pcb_pool;
  auto* segs = static_cast<uint8_t*>(MM_ALLOC(pool, kCnstrSegLen * cnt));
  auto* flds = static_cast<cnstr_fld*>(MM_ALLOC(pool, sizeof(cnstr_fld) * cnt));
  auto* vals = static_cast<uint8_t*>(MM_ALLOC(pool, total ? total : 1));
  if (!segs || !flds || !vals) throw resume_failed{"no memory for the constraint"};
  memcpy(segs, r + 4, kCnstrSegLen * cnt);
  memcpy(vals, r + head, total);
  uint32_t off = 0;
  for (uint32_t i = 0; i < cnt; ++i) {
    cnstr_fld& f = flds[i];
    f = cnstr_fld{};
    f.val_off = uint16_t(off), f.addr = vals + off;
    f.len = ld_le16(lens, 3 * i), f.given = lens[3 * i + 2];
    off += f.len;
  }
  v->set_cnstr_segs(ih_put(HK_CNSTR_SEGS, segs));
  v->set_cnstr_flds(ih_put(HK_CNSTR_FLDS, flds));
  v->set_cnstr_vals(ih_put(HK_CNSTR_VALS, vals));
}

// The temporary files, up to "SAAS", each made again at the process's level.
void load_tmp_files(reader& rd, uint32_t level) {
  for (;;) {
    const int n = rd.next();
    if (n == 4 && memcmp(rd.data(), "SAAS", 4) == 0) return;
    if (n != int(kFdbStoredSize)) throw resume_failed{"fdb read failed: " + std::to_string(n)};
    FDB fdb;
    fdb_load(rd.data(), &fdb);
    std::vector<KDB> kdbs(fdb.fdb_nkeys);
    std::vector<std::vector<SDB>> sdbs(fdb.fdb_nkeys);
    if (fdb.fdb_nkeys) {
      const uint8_t* k = rd.need(kKdbStoredSize * fdb.fdb_nkeys, "kdb read failed");
      for (size_t i = 0; i < kdbs.size(); ++i) kdb_load(k + kKdbStoredSize * i, &kdbs[i]);
      for (size_t i = 0; i < kdbs.size(); ++i) {
        const uint8_t* s = rd.need(kSdbStoredSize * kdbs[i].kdb_nsegs, "sdb read failed");
        sdbs[i].resize(kdbs[i].kdb_nsegs);
        for (size_t j = 0; j < sdbs[i].size(); ++j) sdb_load(s + kSdbStoredSize * j, &sdbs[i][j]);
        kdbs[i].kdb_sdb = sdbs[i].data();
      }
    }
    fdb.fdb_kdb = kdbs.empty() ? nullptr : kdbs.data();
    fdb.path.fdb_tmp_id = level;
    if (!fm_load_fi(&fdb, rd.arb(), level)) throw resume_failed{"tmp load failed: " + std::to_string(fdb.fdb_stat)};
    // An empty memory file is saved as its count alone: made here.
    if (!fdb.fdb_arb && !FM_CREATE(&fdb, level, 0, fdb.fdb_opt | LFB_OPEN_NEW, fdb.fdb_acc, fdb.fdb_shr))
      throw resume_failed{"tmp create failed: " + std::to_string(fdb.fdb_stat)};
    fdb.fdb_arb->arb_mod = 0;
    if (!FM_CLOSE(fdb.fdb_arb, 0)) throw resume_failed{"tmp close failed"};
  }
}

// One SAA record of `len` bytes (in the reader) and its entries' data: the
// process owns it, data come back received = 2, file areas are set up anew.
void load_saa(reader& rd, int len, PCB* p, uint8_t kind) {
  const uint8_t* s = rd.data();
  if (len < int(kSaaHdrLen)) throw resume_failed{"saa record of " + std::to_string(len) + " bytes"};
  const uint32_t count = ld_le32(s, SAA_COUNT);
  const uint32_t want = uint32_t(kSaaHdrLen + kSaaSlotLen) + uint32_t(kSaaSlotLen) * count;  // as stored: 32 bits
  if (uint32_t(len) != want || (count != kSaaSkipped && count > kSaaMaxEntries))
    throw resume_failed{"saa record of " + std::to_string(len) + " bytes for count " + std::to_string(count)};
  const std::vector<uint8_t> stored(s, s + len);
  const bool skipped = count == kSaaSkipped;
  const size_t native = saa_rec_len(skipped ? 0 : count);
  auto* r = static_cast<SAA_REC*>(MM_ALLOC(pi_pool, native));
  if (!r) throw resume_failed{"no memory for an saa record"};
  memset(r, 0, native);
  r->owner = p->pcb_handle, r->count = count;
  memcpy(r->ap, stored.data() + SAA_AP, 3), memcpy(r->ver, stored.data() + SAA_VER, 2);
  r->pass = stored[SAA_PASS], r->spare[0] = stored[SAA_PASS + 1], r->spare[1] = stored[SAA_PASS + 2];
  for (uint32_t i = 0; !skipped && i <= count; ++i) {
    const uint8_t* slot = stored.data() + kSaaHdrLen + kSaaSlotLen * i;
    saa_entry& e = r->e[i];
    e.type = slot[SLOT_TYPE], e.received = slot[SLOT_RECEIVED], e.cls = slot[SLOT_CLS], e.flags = slot[SLOT_FLAGS];
    e.size = ld_le16(slot, SLOT_SIZE);
    if (!ld_le32(slot, SLOT_OWN) && !ld_le32(slot, SLOT_BORROWED)) continue;
    if (e.type == 1) {  // a file area is set up again: its block is dropped
      rd.need(kFileBlkStored, "file block");
      e.size = 0;
      continue;
    }
    const uint8_t* d = rd.need(e.size, "area data");
    if (!e.size || !(e.own = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, e.size))))
      throw resume_failed{"area data of " + std::to_string(e.size) + " bytes"};
    memcpy(e.own, d, e.size);
    e.received = SAA_RCV_RESTORED;
  }
  if (!saa_write(kind, r)) throw resume_failed{"saa write"};
}

// The 13 catalogues in order, each with its SAA records, to the file's end.
void load_saas(reader& rd, PCB* p) {
  int n = rd.next();
  for (uint32_t kind = 0;; ++kind) {
    if (n != 4 || ld_le32(rd.data(), 0) != kind)
      throw resume_failed{"catalogue record of kind " + std::to_string(kind) + " expected"};
    for (n = rd.next(); n >= 0 && n != 4; n = rd.next()) load_saa(rd, n, p, uint8_t(kind));
    if (n < 0) {
      if (kind == kLastKind && rd.at_end()) return;
      throw resume_failed{"catalogue " + std::to_string(kind) + " of " + std::to_string(kLastKind) + " ends the file"};
    }
    if (kind == kLastKind) throw resume_failed{"a catalogue after the last one"};
  }
}

std::string g_failure;  // pi_resume_failure; empty while none failed

// Stops the run of a process whose session cannot be resumed: the file
// stays for a look, the start reports why (pi_resume_failure).
[[noreturn]] void not_resumed(const char* name, const std::string& why) {
  g_failure = pi_not_resumed_text(name, why);
  memset(ss_session, ' ', sizeof ss_session);
  mark_leave(PI_END_CANCEL);
}

}  // namespace

std::string pi_not_resumed_text(const char* session, const std::string& why) {
  return "session " + std::string(session, 8) + " not resumed: " + why;
}

const char* pi_resume_failure() { return g_failure.c_str(); }

void pi_resume(PCB* p) {
  char name[8];
  memcpy(name, ss_session, 8);
  // The name stays while the areas are set up (they keep what was restored);
  // pi_shr_data blanks it after. A failed resume blanks it at once.
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  INIT_SESS_FDB(&fdb, kdb, name);
  if (!FM_OPEN(&fdb, com.sys_scope, kOpenOpts, 15, 0)) {
    sys_err(kModule, __LINE__, "can't open suspend file %.8s (%u)", name, fdb.fdb_stat);
    not_resumed(name, "its suspend file cannot be opened (status " + std::to_string(fdb.fdb_stat) + ")");
  }
  ARB* a = fdb.fdb_arb;
  std::string failed;
  try {
    reader rd(a);
    const uint8_t* sess = rd.need(kSessRecLen, "sess read failed");
    memcpy(p->invoc.b, sess, kInvocSize);
    load_cnstr(rd, p);
    if (!qp_load_pend(a, p->pcb_pool->level)) throw resume_failed{"pending query"};
    load_tmp_files(rd, p->pcb_pool->level);
    load_saas(rd, p);
  } catch (const resume_failed& f) {
    failed = f.what;
  }
  a->arb_mod = 0;
  if (!failed.empty()) {
    FM_CLOSE(a, 0);
    not_resumed(name, "suspend file damaged, kept (" + failed + ")");
  }
  if (!FM_CLOSE(a, ARB_SCRATCH | ARB_CLOSE_NOW)) sys_err(kModule, __LINE__, "can't scratch suspend file %.8s", name);
}

}  // namespace kivo
