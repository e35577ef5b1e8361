// Closing files: close, detach, scratch and locate, and the release of the
// blocks of an open (free_lfb, free_pfb).
//
// A block leaves its lists only once the back-end has let go of it: a
// stream that cannot be detached keeps its LFB listed in its group and
// scope, so that the scope's clean-up meets it again.
#include "fm/fm_open.h"
#include "fm/fm_record_cache.h"
#include "fm/fm_switch.h"
#include "fm/fm_xlate.h"
#include "fm/struct_file.h"
#include "fm/whole_file.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

void unlink_from_scope_lists(LFB* lfb, MARB* marb) {
  ut_remove_from_lst(lfb, &lfb->lfb_in_marb, &marb->marb_lfb);
  ut_remove_from_lst(lfb, &lfb->lfb_in_scope, &get_clean(lfb->lfb_scope)->lfb);
}

// A group without files: its handles (with their scan chains) and itself.
void free_group(MARB* marb) {
  while (auto* s = static_cast<SARB*>(marb->marb_sarb.head)) {
    free_fscb(s->sarb_fscb);
    ut_remove_from_lst(s, &s->sarb_in_marb, &marb->marb_sarb);
    ut_remove_from_lst(s, &s->sarb_in_scope, &get_clean(s->sarb_scope)->sarb);
    mm_free(s);
  }
  ut_remove_from_lst(marb, &marb->marb_all, &fm_marb_list);
  mm_free(marb);
}

// A one-off LFB for scratch and locate: no join, the given scope.
LFB* lfb_for(FDB* fdb, uint32_t scope) {
  uint32_t caller_opt = fdb->fdb_opt;
  fdb->fdb_opt &= ~LFB_JOIN;
  LFB* lfb = alloc_lfb(fdb, scope);
  fdb->fdb_opt = (fdb->fdb_opt & ~LFB_JOIN) | (caller_opt & LFB_JOIN);
  return lfb;
}

// A class-1 disk file whose structure file scratch must open (and check,
// unless forced: a file without a known stamp has none to check).
bool has_struct(const FDB* fdb, bool force) {
  if (!force && fdb->fdb_struct_date[0] == kStampUnknown) return false;
  return fdb->path.fdb_class == PATH_DATA && !fm_is_memory(fdb) && !(fdb->fdb_opt & (LFB_NO_STRUCT_CHK | LFB_SCOPED));
}

// Opens the structure file of `fdb` at scope 0: 0, or the open's status.
uint32_t open_struct(FDB* fdb, ARB** out) {
  FDB s;
  struct_fdb(fdb, &s);
  *out = nullptr;
  if (!FM_OPEN(&s, 0, 0, 0x0f, 0x0f)) return s.fdb_stat ? s.fdb_stat : uint32_t{FM_NO_FILE};
  *out = s.fdb_arb;
  return 0;
}

// A structure check that failed a scratch or locate.
int struct_failed(FDB* fdb, LFB* lfb, ARB* s_arb, uint32_t st) {
  if (s_arb) FM_CLOSE(s_arb, 0);
  free_lfb(lfb, 0);
  fdb->fdb_stat = st;
  fdb->fdb_stat2 = 0;
  return 0;
}

}  // namespace

STRM* new_strm(SARB* sarb, LFB* lfb) {
  auto* s = static_cast<STRM*>(fm_zalloc(sizeof(STRM)));
  s->strm_sarb = sarb;
  s->strm_lfb = lfb;
  s->strm_fms = lfb->lfb_pfb->pfb_fms;
  ut_add_to_lst(s, &s->strm_in_lfb, &lfb->lfb_strm);
  ut_add_to_lst(s, &s->strm_in_sarb, &sarb->sarb_strm);
  return s;
}

int detach_strm(STRM* strm) {
  fms_slot detach = strm->strm_fms ? strm->strm_fms->detach : nullptr;
  return detach ? detach(strm->strm_sarb->sarb_arb, strm) : 1;
}

void free_strm(STRM* strm) {
  SARB* sarb = strm->strm_sarb;
  ut_remove_from_lst(strm, &strm->strm_in_lfb, &strm->strm_lfb->lfb_strm);
  ut_remove_from_lst(strm, &strm->strm_in_sarb, &sarb->sarb_strm);
  if (sarb->sarb_cur_strm == strm) sarb->sarb_cur_strm = nullptr;
  if (strm->strm_ext) mm_free(strm->strm_ext);
  mm_free(strm);
}

int release_sarb(SARB* sarb) {
  while (auto* s = static_cast<STRM*>(sarb->sarb_strm.head)) {
    if (!detach_strm(s)) return 0;
    free_strm(s);
  }
  free_fscb(sarb->sarb_fscb);
  ut_remove_from_lst(sarb, &sarb->sarb_in_marb, &sarb->sarb_marb->marb_sarb);
  ut_remove_from_lst(sarb, &sarb->sarb_in_scope, &get_clean(sarb->sarb_scope)->sarb);
  if (sarb->sarb_arb->arb_own_rec) mm_free(sarb->sarb_arb->arb_own_rec);
  mm_free(sarb);
  return 1;
}

MARB* lfb_marb(const LFB* lfb) {
  auto* s = static_cast<const STRM*>(lfb->lfb_strm.head);
  return s ? s->strm_sarb->sarb_marb : lfb->lfb_arb->arb_sarb->sarb_marb;
}

int free_lfb(LFB* lfb, int scratch) {
  MARB* marb = lfb_marb(lfb);
  if (lfb->lfb_opt & LFB_JOIN) {
    for (auto* s = static_cast<SARB*>(marb->marb_sarb.head); s; s = static_cast<SARB*>(s->sarb_in_marb.next))
      s->sarb_cur_strm = nullptr;
    return 1;
  }
  while (auto* s = static_cast<STRM*>(lfb->lfb_strm.head)) {
    if (!detach_strm(s)) {
      lfb->lfb_stat = s->strm_sarb->sarb_arb->arb_stat;
      return 0;
    }
    free_strm(s);
  }
  unlink_from_scope_lists(lfb, marb);
  if (!marb->marb_lfb.head) free_group(marb);
  PFB* pfb = lfb->lfb_pfb;
  if (pfb->pfb_fms->free_fi && !pfb->pfb_fms->free_fi(lfb))
    sys_err("FMFI", __LINE__, "free_lfb() - fms_free_id failed");
  ut_remove_from_lst(lfb, &lfb->lfb_in_pfb, &pfb->pfb_lfb);
  mm_free(lfb);
  if (!pfb->pfb_lfb.head && (!pfb->pfb_owner_scope || scratch)) free_pfb(pfb);
  return 1;
}

void free_pfb(PFB* pfb) {
  ut_remove_from_lst(pfb, &pfb->pfb_all, &fm_pfb_list);
  ut_remove_from_lst(pfb, &pfb->pfb_in_scope, &get_clean(pfb->pfb_owner_scope)->pfb);
  bool ctl = fm_ctl_ready();
  if (ctl) fm_checkstat(ctl_del_pfb(pfb), __LINE__, "delete pfb");
  if (pfb->pfb_fms->free_id && !pfb->pfb_fms->free_id(pfb))
    sys_err("FMFI", __LINE__, "free_lfb() - fms_free_id failed");
  fm_free_proc(pfb);
  fm_free_pfb_map(pfb);
  fm_uncache(pfb->pfb_null_rec);
  pfb->pfb_null_rec = nullptr;
  while (LFN* lfn = ctl ? ctl_lfn_of(pfb->pfb_no) : nullptr) {
    fm_checkstat(ctl_del_lfn(lfn), __LINE__, "del LFN");
    mm_free(lfn);
  }
  free_pfb_block(pfb);
}

int fm__close(ARB* arb) {
  STRM* strm = arb->arb_sarb ? arb_strm(arb) : nullptr;
  if (!strm) {
    arb->arb_stat = FM_NOT_OPEN;
    return 1;
  }
  LFB* lfb = strm->strm_lfb;
  PFB* pfb = lfb->lfb_pfb;
  const bool strm_only = arb->arb_mod & ARB_STRM_ONLY;
  if (!strm_only && lfb->lfb_counted) {
    lfb->lfb_counted = 0;
    if (--pfb->pfb_users == 0 && pfb->pfb_proc) fm_run_event(arb, pfb, end_proc);
  }
  int rc = strm->strm_fms->close(arb, strm);
  if (!strm_only) free_lfb(lfb, arb->arb_mod & ARB_SCRATCH);
  return rc;
}

int fm_detach(ARB* arb) {
  SARB* sarb = arb->arb_sarb;
  if (sarb->sarb_marb->marb_sarb.head == sarb) {
    arb->arb_stat = FM_NOT_ATTACHED;
    return 0;
  }
  return release_sarb(sarb);
}

int fm__scratch(FDB* fdb) {
  const bool force = fdb->fdb_opt & LFB_FORCE;
  if (!force && fm_needs_stamp(fdb) && !get_struct_date(fdb)) return 0;
  LFB* lfb = lfb_for(fdb, fdb->path.fdb_tmp_id);
  if (!lfb) return 0;
  ARB* s_arb = nullptr;
  if (has_struct(fdb, force)) {
    uint32_t st = open_struct(fdb, &s_arb);
    if (!st && !force && !verify_struct(s_arb)) st = s_arb->arb_stat;
    if (st && !force) return struct_failed(fdb, lfb, s_arb, st);
  }
  ARB* arb = lfb->lfb_arb;
  STRM* strm = arb_strm(arb);
  int ok = strm->strm_fms->scratch(arb, strm);
  if (!ok) {
    fdb->fdb_stat = arb->arb_stat;
    fdb->fdb_stat2 = arb->arb_stat2;
  }
  // The structure file goes with its data file.
  if (s_arb) FM_CLOSE(s_arb, ok || force ? ARB_SCRATCH | ARB_CLOSE_NOW : 0);
  free_lfb(lfb, 0);
  return ok;
}

int fm_locate(FDB* fdb) {
  const uint32_t caller_opt = fdb->fdb_opt;
  if (fm_needs_stamp(fdb) && !get_struct_date(fdb)) return 0;
  LFB* lfb = lfb_for(fdb, fdb->path.fdb_tmp_id);
  fdb->fdb_opt = caller_opt;
  if (!lfb) return 0;
  if (lfb->lfb_pfb->pfb_open) {
    free_lfb(lfb, 0);
    return 1;
  }
  if (chk_struct(fdb, lfb)) {
    ARB* s_arb = nullptr;
    uint32_t st = open_struct(fdb, &s_arb);
    if (!st && !verify_struct(s_arb)) st = s_arb->arb_stat;
    if (st) return struct_failed(fdb, lfb, s_arb, st);
    FM_CLOSE(s_arb, 0);
  }
  ARB* arb = lfb->lfb_arb;
  STRM* strm = arb_strm(arb);
  int ok = strm->strm_fms->locate(arb, strm);
  if (!ok) {
    fdb->fdb_stat = arb->arb_stat;
    fdb->fdb_stat2 = arb->arb_stat2;
  }
  free_lfb(lfb, 0);
  return ok;
}

int fm_os_name(FDB* fdb, std::string* name) {
  LFB* lfb = lfb_for(fdb, fdb->path.fdb_tmp_id);
  if (!lfb) return 0;
  ARB* arb = lfb->lfb_arb;
  STRM* s = arb_strm(arb);
  STRM copy = *s;
  const int ok = s->strm_fms->nam && s->strm_fms->nam(arb, &copy) && copy.strm_fms_path;
  if (ok) name->assign(static_cast<const char*>(copy.strm_fms_path), copy.strm_fms_path_len);
  free_lfb(lfb, 0);
  return ok;
}

int FM_CLOSE(ARB* arb, uint16_t options) {
  arb->arb_mod = options;
  return fm__close(arb);
}

int FM_SCRATCH(FDB* fdb, uint32_t options) {
  fdb->fdb_opt = options;
  return fm__scratch(fdb);
}

}  // namespace kivo
