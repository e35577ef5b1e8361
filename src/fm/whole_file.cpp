// Operations on whole files (see whole_file.h). The commit runs each phase
// over every disk back-end that takes part (fms_commit).
#include "fm/whole_file.h"

#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "foundation/sys_err.h"

namespace kivo {

int fm_commit(int mode) {
  switch (mode) {
    case 0: return fms_commit(0) && fms_commit(1);
    case 1: return fms_commit(1);
    case 2: return fms_commit(0) && fms_commit(2);
    default: sys_err("FMFI", __LINE__, "fm_commit - invalid commit mode"); return 0;
  }
}

namespace {

// Delete modifier: the back-end may leave its indexes to be rebuilt.
constexpr uint16_t kDelDeferKeys = 0x4000;

// The caller's fields fm_del_all borrows.
struct del_all_saved {
  uint16_t len;
  uint8_t* rec;
  uint8_t keyno;
  uint16_t mod;
};

int del_all_loop(ARB* arb, STRM* s, uint16_t locate) {
  const fms_fn* t = s->strm_fms;
  if (!t->start || !t->rdnxt || !t->del) {
    arb->arb_stat = FM_NO_FMS;
    return 0;
  }
  arb->arb_mod = ARB_FIRST;
  if (!s->strm_fms->start(arb, s)) return 0;
  for (;;) {
    // A record another stream holds is in someone's update: never taken over.
    arb->arb_mod = ARB_LOCATE | ARB_HOLD | ARB_NO_STEAL;
    if (!s->strm_fms->rdnxt(arb, s)) return arb->arb_stat == FM_EOF;
    arb->arb_mod = kDelDeferKeys | locate;
    if (!s->strm_fms->del(arb, s)) {
      sys_err("FMFI", __LINE__, "fm_del_all() - fms_del() failed");
      return 0;
    }
  }
}

int fail_to(FDB* fdb, const ARB* arb) {
  fdb->fdb_stat = arb->arb_stat;
  fdb->fdb_stat2 = arb->arb_stat2;
  return 0;
}

// After the new data took the old name, the old structure file no longer
// describes it: it goes, as it would with the old file.
void drop_old_struct(const FDB* old_fdb) {
  if (old_fdb->path.fdb_class != PATH_DATA || fm_is_memory(old_fdb) ||
      (old_fdb->fdb_opt & (LFB_NO_STRUCT_CHK | LFB_SCOPED)))
    return;
  FDB s;
  struct_fdb(old_fdb, &s);
  s.path.fdb_tmp_id = old_fdb->path.fdb_tmp_id;
  FM_SCRATCH(&s, LFB_FORCE);
}

}  // namespace

int fm_replace(FDB* old_fdb, FDB* new_fdb, int discard) {
  if (discard) return FM_SCRATCH(new_fdb, new_fdb->fdb_opt | LFB_FORCE);
  LFB* o = alloc_lfb(old_fdb, old_fdb->path.fdb_tmp_id);
  if (!o) return 0;
  LFB* n = alloc_lfb(new_fdb, new_fdb->path.fdb_tmp_id);
  if (!n) {
    free_lfb(o, 0);
    return 0;
  }
  ARB* oa = o->lfb_arb;
  ARB* na = n->lfb_arb;
  fms_slot rename = o->lfb_pfb->pfb_fms->rename;
  int ok = 0;
  if (!rename) oa->arb_stat = FM_NO_FMS, oa->arb_stat2 = 0;
  else ok = rename(oa, arb_strm(na));
  // The back-end moves across devices itself (a copy beside the old file
  // renamed over it): a copy made here into the old name would leave it
  // half written on a failure.
  if (!ok) {
    fail_to(old_fdb, oa);
    fail_to(new_fdb, na->arb_stat ? na : oa);
  }
  free_lfb(n, 1);
  free_lfb(o, 0);
  if (ok) drop_old_struct(old_fdb);
  return ok;
}

int fm_del_all(ARB* arb) {
  STRM* s = arb->arb_sarb ? arb_strm(arb) : nullptr;
  if (!s) {
    arb->arb_stat = FM_NOT_OPEN;
    return 0;
  }
  if (s->strm_active == kStrmInactive && !fm_actv(arb, s)) return 0;
  if (strm_pfb(s)->ORG != ORG_INDEXED) {
    arb->arb_stat = FM_NOT_INDEXED;
    return 0;
  }
  const del_all_saved saved{arb->arb_len, arb->arb_rec, arb->arb_keyno, arb->arb_mod};
  const FSCB* f = arb->arb_sarb->sarb_fscb;
  arb->arb_keyno = f && f->fscb_type == FSCB_RANGE ? f->fscb_keyno : 0;
  int r = del_all_loop(arb, s, saved.mod & ARB_LOCATE);
  s->strm_active = kStrmNoPos;
  arb->arb_len = saved.len;
  arb->arb_rec = saved.rec;
  arb->arb_keyno = saved.keyno;
  arb->arb_mod = saved.mod;
  return r;
}

}  // namespace kivo
