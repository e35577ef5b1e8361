// Opening files: the blocks of an open found or built (alloc_lfb), the
// handles and streams made (create_strm), and open, create, attach and the
// activation of a stream.
//
// Every failure undoes what its step made, in reverse: a failed open leaves
// no block behind and the control files as they were. A PFB is shared by
// path (LFN file) and by back-end identity (PFB file).
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record_cache.h"
#include "fm/fm_switch.h"
#include "fm/struct_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

uint32_t g_unique;  // unique file names of the session
uint32_t g_pfb_no;  // PFB numbers

constexpr size_t kPathKeyLen = offsetof(FDB_PATH, fdb_class) + 1;  // without padding

bool same_path(const FDB_PATH& a, const FDB_PATH& b) { return memcmp(&a, &b, kPathKeyLen) == 0; }

LFB* fail_fdb(FDB* fdb, uint32_t stat, uint32_t stat2 = 0) {
  fdb->fdb_stat = stat;
  fdb->fdb_stat2 = stat2;
  return nullptr;
}

void to_fdb(FDB* fdb, const ARB* arb) {
  fdb->fdb_stat = arb->arb_stat;
  fdb->fdb_stat2 = arb->arb_stat2;
}

bool blank(const char* p, size_t n) {
  return std::all_of(p, p + n, [](char c) { return c == ' '; });
}

// Design files of these source applications are memory files; the data
// files of "0DN" are not (a restructure's new file lies beside the old).
bool memory_design(const FDB* fdb) {
  return is_ap(fdb->path.fdb_ap, "0AD") && (is_ap(fdb->path.fdb_src_ap, "0DO") || is_ap(fdb->path.fdb_src_ap, "0DN"));
}

// Steps 2 and 3: changes that stay in the caller's descriptor.
void settle_name(FDB* fdb) {
  FDB_PATH& p = fdb->path;
  if (blank(p.fdb_name, sizeof p.fdb_name)) {
    char name[9];
    snprintf(name, sizeof name, "%08lX", static_cast<unsigned long>(g_unique++));
    memcpy(p.fdb_name, name, sizeof p.fdb_name);
    fdb->fdb_opt |= LFB_ANY_DIR | LFB_NO_STRUCT_CHK;
  }
  if (memory_design(fdb)) {
    fdb->fdb_opt |= LFB_ANY_DIR;
    fdb->fdb_fs_type = FS_MEMORY;
  }
  if (is_ap(p.fdb_ap, "0DN") || is_ap(p.fdb_ap, "0DO")) fdb->fdb_opt |= LFB_ANY_DIR;
}

// Step 4: the file is already joined to the handle's group.
LFB* joined_lfb(FDB* fdb) {
  if (!(fdb->fdb_opt & LFB_JOIN) || !fdb->fdb_arb) return nullptr;
  MARB* marb = fdb->fdb_arb->arb_sarb->sarb_marb;
  for (auto* l = static_cast<LFB*>(marb->marb_lfb.head); l; l = static_cast<LFB*>(l->lfb_in_marb.next)) {
    if (l->lfb_pfb->TYPE != fdb->fdb_fs_type || !same_path(l->lfb_lfn->lfn_path, fdb->path)) continue;
    for (auto* s = static_cast<STRM*>(l->lfb_strm.head); s; s = static_cast<STRM*>(s->strm_in_lfb.next))
      s->strm_sarb->sarb_cur_strm = s;
    l->lfb_arb = fdb->fdb_arb;
    l->lfb_opt = (l->lfb_opt & ~LFB_DEFER) | LFB_JOIN | (fdb->fdb_opt & (LFB_OPEN_NEW | LFB_DEFER));
    return l;
  }
  return nullptr;
}

LFB* new_lfb(const FDB* fdb, uint32_t scope) {
  auto* l = static_cast<LFB*>(fm_zalloc(sizeof(LFB)));
  l->lfb_acc = fdb->fdb_acc;
  l->lfb_shr = fdb->fdb_shr;
  l->lfb_opt = fdb->fdb_opt & ~LFB_JOIN;
  l->lfb_cr_size = fdb->fdb_cr_size;
  l->lfb_arb = fdb->fdb_arb;
  l->lfb_scope = scope;
  return l;
}

void link_pfb(LFB* lfb, PFB* pfb, LFN* lfn) {
  lfb->lfb_pfb = pfb;
  lfb->lfb_lfn = lfn;
  ut_add_to_lst(lfb, &lfb->lfb_in_pfb, &pfb->pfb_lfb);
}

void unlink_pfb(LFB* lfb) { ut_remove_from_lst(lfb, &lfb->lfb_in_pfb, &lfb->lfb_pfb->pfb_lfb); }

void stamp_check(const FDB* fdb, const PFB* pfb, LFB* lfb) {
  const uint32_t* d = fdb->fdb_struct_date;
  if (d[0] != 0 && (d[0] != pfb->pfb_stamp[0] || d[1] != pfb->pfb_stamp[1])) lfb->lfb_opt |= LFB_STRUCT_CHK;
}

// Steps 6 and 9 of a found physical file: alloc_fi and the streams; the
// status is in the LFB on failure, with alloc_fi undone.
int finish_lfb(LFB* lfb, const FDB* fdb, uint32_t scope, const fms_records* r) {
  fms_fn* t = lfb->lfb_pfb->pfb_fms;
  const uint8_t* sysdir = r && r->has_sysdir ? r->sysdir : nullptr;
  const uint8_t* sysdflt = r && r->has_sysdflt ? r->sysdflt : nullptr;
  if (t->alloc_fi && !t->alloc_fi(lfb, sysdir, sysdflt)) return 0;
  lfb->lfb_opt |= fdb->fdb_opt & LFB_JOIN;
  if (create_strm(lfb, nullptr, scope)) return 1;
  if (t->free_fi && !t->free_fi(lfb)) sys_err("FMFI", __LINE__, "free_lfb() - fms_free_id failed");
  return 0;
}

LFB* drop_lfb(FDB* fdb, LFB* lfb) {
  fdb->fdb_stat = lfb->lfb_stat;
  fdb->fdb_stat2 = lfb->lfb_stat2;
  mm_free(lfb);
  return nullptr;
}

// A scoped temporary file goes with its owner level, records and all: an
// open of a level that would outlive it is refused, whether or not it asks
// for the file as scoped (alloc_lfb refuses the scoped ones first).
bool outlives_owner(FDB* fdb, const PFB* pfb, uint32_t scope) {
  if (!pfb->pfb_owner_scope || pfb->pfb_owner_scope <= scope) return false;
  sys_err("FMFI", __LINE__, "alloc_lfb() - bad open scope");
  fail_fdb(fdb, FM_IO_ERR);
  return true;
}

// Step 6: the path is open already.
LFB* open_by_path(FDB* fdb, LFB* lfb, LFN* lfn, uint32_t scope) {
  PFB* pfb = lfn->lfn_pfb;
  if ((!IS_BOB_AP(fdb->path.fdb_ap) && !verify_pfb(fdb, pfb)) || outlives_owner(fdb, pfb, scope)) {
    mm_free(lfb);
    return nullptr;
  }
  stamp_check(fdb, pfb, lfb);
  link_pfb(lfb, pfb, lfn);
  if (finish_lfb(lfb, fdb, scope, nullptr)) return lfb;
  unlink_pfb(lfb);
  return drop_lfb(fdb, lfb);
}

// Step 7, found by identity and agreeing: the new blocks give way to it.
LFB* share_found(FDB* fdb, LFB* lfb, PFB* found, const fms_records& r, uint32_t scope) {
  stamp_check(fdb, found, lfb);
  LFN* lfn = lfb->lfb_lfn;
  free_pfb_block(lfb->lfb_pfb);
  lfn->lfn_pfb = found;
  lfn->lfn_pfb_no = found->pfb_no;
  link_pfb(lfb, found, lfn);
  if (!finish_lfb(lfb, fdb, scope, &r)) {
    unlink_pfb(lfb);
    mm_free(lfn);
    return drop_lfb(fdb, lfb);
  }
  fm_checkstat(ctl_write_lfn(lfn), __LINE__, "can't write LFN record");
  return lfb;
}

// The null record comes from the cache for data files of variable length,
// with a key flagged KDB_UPKEEP2, or on a file-system type 4 to 6.
bool wants_null_rec(const FDB* fdb, const PFB* pfb, const fms_records& r) {
  const uint8_t cls = fdb->path.fdb_class;
  if (cls != PATH_DATA && cls != PATH_NEWDATA) return false;
  if (pfb->pfb_var) return true;
  if (pfb->ORG == ORG_INDEXED)
    for (int i = 0; i < pfb->pfb_nkeys; ++i)
      if (pfb->pfb_kdb[i].kdb_flags & KDB_UPKEEP2) return true;
  if (!r.has_sysdir) return false;
  const uint16_t fs = ld_le16(r.sysdir, SYSDIR_FS_TYPE);
  return fs >= 4 && fs <= 6;
}

// Step 7, a new physical file: listed, entered in the control files, then
// alloc_fi and the streams; a failure undoes all of it.
LFB* open_new_pfb(FDB* fdb, LFB* lfb, const fms_records& r, uint32_t scope) {
  PFB* pfb = lfb->lfb_pfb;
  LFN* lfn = lfb->lfb_lfn;
  FM_SCOPE* owner = get_clean(pfb->pfb_owner_scope);
  ut_add_to_lst(pfb, &pfb->pfb_all, &fm_pfb_list);
  ut_add_to_lst(pfb, &pfb->pfb_in_scope, &owner->pfb);
  bool ctl = fm_ctl_ready();
  if (ctl) fm_checkstat(ctl_write_pfb(pfb), __LINE__, "can't write pfb");
  link_pfb(lfb, pfb, lfn);
  if (ctl) fm_checkstat(ctl_write_lfn(lfn), __LINE__, "can't write LFN record");
  if (wants_null_rec(fdb, pfb, r)) {
    // A file without INITIAL records simply has no null record.
    const uint32_t stat = fdb->fdb_stat, stat2 = fdb->fdb_stat2;
    pfb->pfb_null_rec = fm_cache(fdb, CACHE_NULL);
    fdb->fdb_stat = stat, fdb->fdb_stat2 = stat2;
  }
  if (finish_lfb(lfb, fdb, scope, &r)) return lfb;
  fm_uncache(pfb->pfb_null_rec);
  pfb->pfb_null_rec = nullptr;
  // The control records go first: the PFB record is the block itself, and
  // free_id clears its identity.
  if (ctl) {
    fm_checkstat(ctl_del_pfb(pfb), __LINE__, "can't delete pfb");
    fm_checkstat(ctl_del_lfn(lfn), __LINE__, "can't del lfn");
  }
  if (pfb->pfb_fms->free_id) pfb->pfb_fms->free_id(pfb);
  ut_remove_from_lst(pfb, &pfb->pfb_all, &fm_pfb_list);
  ut_remove_from_lst(pfb, &pfb->pfb_in_scope, &owner->pfb);
  unlink_pfb(lfb);
  free_pfb_block(pfb);
  mm_free(lfn);
  return drop_lfb(fdb, lfb);
}

// Discards the blocks made for a physical file that cannot be opened.
LFB* discard_new(FDB* fdb, LFB* lfb, uint32_t stat) {
  free_pfb_block(lfb->lfb_pfb);
  mm_free(lfb->lfb_lfn);
  mm_free(lfb);
  if (stat) fdb->fdb_stat = stat;
  return nullptr;
}

// Step 7: the path is not open; the physical file may be, under another path.
LFB* open_by_identity(FDB* fdb, LFB* lfb, uint32_t scope) {
  PFB* pfb = create_pfb(fdb);
  if (!pfb) {  // create_pfb left its code in fdb_stat
    mm_free(lfb);
    return nullptr;
  }
  pfb->pfb_no = ++g_pfb_no;
  auto* lfn = static_cast<LFN*>(fm_zalloc(sizeof(LFN)));
  *lfn = LFN{pfb->pfb_no, fdb->path, pfb};
  lfb->lfb_pfb = pfb;
  lfb->lfb_lfn = lfn;
  fms_records r;
  auto alloc_id = [&] {
    return pfb->pfb_fms->alloc_id(lfb, &com.path_root, &com.data_dir, r.has_sysdir ? r.sysdir : nullptr,
                                  r.has_sysdflt ? r.sysdflt : nullptr);
  };
  if (!slct_fms(lfb, &r) || !alloc_id()) return discard_new(fdb, lfb, lfb->lfb_stat);
  PFB* found = fm_ctl_ready() ? ctl_find_pfb(pfb->pfb_id16, pfb->pfb_id32) : nullptr;
  if (found) {
    if (verify_pfb(fdb, found))
      return outlives_owner(fdb, found, scope) ? discard_new(fdb, lfb, 0) : share_found(fdb, lfb, found, r, scope);
    if (found->pfb_open || found->pfb_users || found->pfb_lfb.head) return discard_new(fdb, lfb, 0);
    free_pfb(found);
    if (!alloc_id()) return discard_new(fdb, lfb, lfb->lfb_stat);  // its back-end data may have gone with it
  }
  return open_new_pfb(fdb, lfb, r, scope);
}

// Open step 4: the structure file must open and agree with the stamp.
int check_struct(FDB* fdb, const LFB* lfb, uint32_t scope) {
  FDB s;
  struct_fdb(fdb, &s);
  if (!FM_OPEN(&s, scope, 0, 0x0f, 0x0f)) {
    if (lfb->lfb_opt & LFB_DEFER) return 1;
    fail_fdb(fdb, s.fdb_stat == FM_NO_FILE ? uint32_t{FM_NO_STRUCT_FILE} : s.fdb_stat, s.fdb_stat2);
    return 0;
  }
  int ok = verify_struct(s.fdb_arb);
  if (!ok) to_fdb(fdb, s.fdb_arb);
  FM_CLOSE(s.fdb_arb, 0);
  return ok;
}

int opened(FDB* fdb, LFB* lfb) {
  count_user(lfb);
  lfb->lfb_opt &= ~(LFB_NOT_REQUIRED | LFB_DEFER);
  fdb->fdb_arb = lfb->lfb_arb;
  return 1;
}

// ---- create_strm's three cases ----

void unlink_group(MARB* marb, SARB* sarb, LFB* lfb) {
  ut_remove_from_lst(lfb, &lfb->lfb_in_marb, &marb->marb_lfb);
  ut_remove_from_lst(sarb, &sarb->sarb_in_marb, &marb->marb_sarb);
  ut_remove_from_lst(sarb, &sarb->sarb_in_scope, &get_clean(sarb->sarb_scope)->sarb);
  ut_remove_from_lst(marb, &marb->marb_all, &fm_marb_list);
}

// A new handle group on the file.
int new_group(LFB* lfb, uint32_t scope) {
  auto* marb = static_cast<MARB*>(fm_zalloc(sizeof(MARB)));
  marb->marb_scope = scope;
  SARB* sarb = alloc_sarb();
  ARB* arb = sarb->sarb_arb;
  sarb->sarb_marb = marb;
  sarb->sarb_scope = scope;
  STRM* s = new_strm(sarb, lfb);
  sarb->sarb_cur_strm = s;
  arb->arb_len = arb->arb_var_len = lfb->lfb_pfb->pfb_rec_len;
  ut_add_to_lst(lfb, &lfb->lfb_in_marb, &marb->marb_lfb);
  ut_add_to_lst(sarb, &sarb->sarb_in_marb, &marb->marb_sarb);
  ut_add_to_lst(marb, &marb->marb_all, &fm_marb_list);
  ut_add_to_lst(sarb, &sarb->sarb_in_scope, &get_clean(scope)->sarb);
  if (s->strm_fms->attach(arb, s)) {
    lfb->lfb_arb = arb;
    return 1;
  }
  lfb->lfb_stat = arb->arb_stat;
  lfb->lfb_stat2 = arb->arb_stat2;
  free_strm(s);
  unlink_group(marb, sarb, lfb);
  mm_free(sarb);
  mm_free(marb);
  return 0;
}

// The file joins the group of lfb_arb: one stream for each handle.
int join_group(LFB* lfb) {
  MARB* marb = lfb->lfb_arb->arb_sarb->sarb_marb;
  auto* first = static_cast<LFB*>(marb->marb_lfb.head);
  if (first->lfb_pfb->pfb_stamp[0] != lfb->lfb_pfb->pfb_stamp[0] ||
      first->lfb_pfb->pfb_stamp[1] != lfb->lfb_pfb->pfb_stamp[1]) {
    lfb->lfb_stat = FM_STAMP_DIFF;
    return 0;
  }
  for (auto* s = static_cast<STRM*>(first->lfb_strm.head); s; s = static_cast<STRM*>(s->strm_in_lfb.next)) {
    STRM* n = new_strm(s->strm_sarb, lfb);
    ARB* arb = s->strm_sarb->sarb_arb;
    if (n->strm_fms->attach(arb, n)) continue;
    lfb->lfb_stat = arb->arb_stat;
    lfb->lfb_stat2 = arb->arb_stat2;
    free_strm(n);
    // The streams made so far go; no handle has left its previous file yet.
    while (auto* d = static_cast<STRM*>(lfb->lfb_strm.head)) {
      detach_strm(d);
      free_strm(d);
    }
    return 0;
  }
  for (auto* n = static_cast<STRM*>(lfb->lfb_strm.head); n; n = static_cast<STRM*>(n->strm_in_lfb.next))
    n->strm_sarb->sarb_cur_strm = n;
  ut_add_to_lst(lfb, &lfb->lfb_in_marb, &marb->marb_lfb);
  return 1;
}

// The scan chain of an attach; a key range sets the handle's key path.
int attach_scan(SARB* sarb, const FAD* fad, LFB* lfb) {
  if (!fad->fad_scan) return 1;
  uint32_t st = 0;
  sarb->sarb_fscb = create_fscb(fad->fad_scan, lfb->lfb_pfb, &st);
  if (!sarb->sarb_fscb) {
    lfb->lfb_stat = st;
    return 0;
  }
  if (sarb->sarb_fscb->fscb_type == FSCB_RANGE) sarb->sarb_arb->arb_keyno = sarb->sarb_fscb->fscb_keyno;
  return 1;
}

int attach_one(ARB* arb, STRM* s, FSCB* scan) {
  if (scan && scan->fscb_type == FSCB_SORTED) {
    if (fm_proc_hooks.pb_attach) return fm_proc_hooks.pb_attach(arb, s, scan);
    arb->arb_stat = FM_NO_FMS;
    return 0;
  }
  return s->strm_fms->attach(arb, s);
}

// A further handle in the group of the LFB's handle.
int attach_handle(LFB* lfb, FAD* fad, uint32_t scope) {
  ARB* base = lfb->lfb_arb;
  MARB* marb = base->arb_sarb->sarb_marb;
  SARB* sarb = alloc_sarb();
  ARB* arb = sarb->sarb_arb;
  sarb->sarb_marb = marb;
  sarb->sarb_scope = std::max(scope, marb->marb_scope);
  arb->arb_mod = base->arb_mod & ARB_KEEP_POS;
  memcpy(arb->arb_lang, base->arb_lang, sizeof arb->arb_lang);
  memcpy(arb->arb_xlate, base->arb_xlate, sizeof arb->arb_xlate);
  arb->arb_len = arb->arb_var_len = lfb->lfb_pfb->pfb_rec_len;
  if (!attach_scan(sarb, fad, lfb)) {
    mm_free(sarb);
    return 0;
  }
  ut_add_to_lst(sarb, &sarb->sarb_in_marb, &marb->marb_sarb);
  ut_add_to_lst(sarb, &sarb->sarb_in_scope, &get_clean(sarb->sarb_scope)->sarb);
  for (auto* l = static_cast<LFB*>(marb->marb_lfb.head); l; l = static_cast<LFB*>(l->lfb_in_marb.next)) {
    STRM* s = new_strm(sarb, l);
    s->strm_keyno = arb->arb_keyno;
    if (l == lfb) sarb->sarb_cur_strm = s;
    if (attach_one(arb, s, sarb->sarb_fscb)) continue;
    lfb->lfb_stat = arb->arb_stat;
    lfb->lfb_stat2 = arb->arb_stat2;
    free_strm(s);
    release_sarb(sarb);
    return 0;
  }
  fad->fad_arb = arb;
  return 1;
}

// Fills a structure file just made, or checks one that was there: 0 with
// the status in the handle.
int fill_struct(ARB* arb, uint32_t opt, bool made) {
  if (opt & LFB_NO_STRUCT_FILE) return 1;
  return made ? create_struct(arb) : verify_struct(arb);
}

// Create of a structure file (class 2): opened for its filling, with the
// data file's stamp, which the open itself must not check.
int create_struct_file(FDB* fdb, uint32_t scope) {
  const uint32_t caller_opt = fdb->fdb_opt;
  const uint32_t stamp[2] = {fdb->fdb_struct_date[0], fdb->fdb_struct_date[1]};
  fdb->fdb_struct_date[0] = fdb->fdb_struct_date[1] = kStampUnknown;
  fdb->fdb_opt = (caller_opt | LFB_OPEN_NEW) & ~LFB_JOIN;
  LFB* lfb = alloc_lfb(fdb, scope);
  fdb->fdb_opt = caller_opt;
  memcpy(fdb->fdb_struct_date, stamp, sizeof stamp);
  if (!lfb) return 0;
  PFB* pfb = lfb->lfb_pfb;
  if (pfb->pfb_stamp[0] == kStampUnknown) memcpy(pfb->pfb_stamp, stamp, sizeof stamp);
  ARB* arb = lfb->lfb_arb;
  STRM* strm = arb_strm(arb);
  int ok = 1;
  if (!strm->strm_active && !pfb->pfb_open) {
    ok = strm->strm_fms->create(arb, strm);
    const bool made = arb->arb_stat != FM_EXISTS;
    if (ok && !fill_struct(arb, caller_opt, made)) {
      ok = 0;
      if (made) {  // a half-filled structure file would pass for a good one
        to_fdb(fdb, arb);
        arb->arb_mod = ARB_SCRATCH | ARB_CLOSE_NOW;
        if (!strm->strm_fms->close(arb, strm)) sys_err("FMFI", __LINE__, "fm__create() - fms_close failed");
        if (!free_lfb(lfb, 1)) sys_err("FMFI", __LINE__, "fm__create() - free_lfb failed");
        return 0;
      }
    }
  } else if (!strm->strm_active) {
    ok = strm->strm_fms->open(arb, strm) && fill_struct(arb, caller_opt, false);
  }
  if (!ok) to_fdb(fdb, arb);
  if (ok && (caller_opt & LFB_OPEN_NEW)) return opened(fdb, lfb);
  arb->arb_mod = 0;
  strm->strm_fms->close(arb, strm);
  free_lfb(lfb, 0);
  return ok;
}

// A scope entry that a failed step made and left empty goes again.
void drop_if_empty(uint32_t scope) {
  for (auto* e = static_cast<FM_SCOPE*>(fm_scope_list.head); e; e = static_cast<FM_SCOPE*>(e->in_list.next)) {
    if (e->scope != scope) continue;
    if (e->lfb.head || e->pfb.head || e->sarb.head) return;
    ut_remove_from_lst(e, &e->in_list, &fm_scope_list);
    mm_free(e);
    return;
  }
}

}  // namespace

bool fm_is_memory(const FDB* fdb) { return fdb->fdb_fs_type == FS_MEMORY || memory_design(fdb); }

LFB* alloc_lfb(FDB* fdb, uint32_t scope) {
  if ((fdb->fdb_opt & LFB_SCOPED) && fdb->path.fdb_tmp_id > scope) {
    sys_err("FMFI", __LINE__, "alloc_lfb() - bad open scope");
    return fail_fdb(fdb, FM_IO_ERR);
  }
  settle_name(fdb);
  if (LFB* l = joined_lfb(fdb)) return l;
  fdb->fdb_stat = fdb->fdb_stat2 = 0;
  LFB* lfb = new_lfb(fdb, scope);
  LFN* lfn = fm_ctl_ready() ? ctl_find_lfn(fdb->path) : nullptr;
  lfb = lfn ? open_by_path(fdb, lfb, lfn, scope) : open_by_identity(fdb, lfb, scope);
  if (lfb) {
    ut_add_to_lst(lfb, &lfb->lfb_in_scope, &get_clean(scope)->lfb);
  } else {
    drop_if_empty(scope);
    drop_if_empty((fdb->fdb_opt & LFB_SCOPED) ? fdb->path.fdb_tmp_id : 0);
  }
  return lfb;
}

int create_strm(LFB* lfb, FAD* fad, uint32_t scope) {
  if (fad) return attach_handle(lfb, fad, scope);
  if ((lfb->lfb_opt & LFB_JOIN) && lfb->lfb_arb) return join_group(lfb);
  return new_group(lfb, scope);
}

bool chk_struct(const FDB* fdb, const LFB* lfb) {
  if (fdb->path.fdb_class != PATH_DATA || fdb->fdb_fs_type == FS_MEMORY) return false;
  if (fdb->fdb_struct_date[0] == kStampUnknown) return false;  // nothing to check against
  if (lfb->lfb_pfb->pfb_fms && lfb->lfb_pfb->pfb_fms->pfb_fms_fn_type == FMS_REMOTE) return false;
  if (!(lfb->lfb_opt & LFB_STRUCT_CHK) || (lfb->lfb_opt & (LFB_NO_STRUCT_CHK | LFB_SCOPED))) return false;
  return !is_ap(fdb->path.fdb_ap, "0DO");
}

void count_user(LFB* lfb) {
  PFB* pfb = lfb->lfb_pfb;
  if (pfb->pfb_event_depth || lfb->lfb_counted) return;
  ++pfb->pfb_users;
  lfb->lfb_counted = 1;
}

// A disk file's structure file: same path, class 2, no keys.
void struct_fdb(const FDB* fdb, FDB* s) {
  INIT_FDB(s, FS_DISK, kStructFileRecLen, 0, nullptr, 0);
  s->path = fdb->path;
  s->path.fdb_class = PATH_STRUCT;
  s->fdb_struct_date[0] = fdb->fdb_struct_date[0];
  s->fdb_struct_date[1] = fdb->fdb_struct_date[1];
}

bool fm_needs_stamp(const FDB* fdb) {
  const FDB_PATH& p = fdb->path;
  if (p.fdb_class != PATH_DATA || fm_is_memory(fdb) || fdb->fdb_struct_date[0] != kStampUnknown) return false;
  // Work files and the engine's own files have no design to look in.
  return !(fdb->fdb_opt & LFB_SCOPED) && p.fdb_ap[0] != ' ' && !blank(p.fdb_name, sizeof p.fdb_name);
}

namespace {

// One file process per physical file: a PFB that holds one keeps it, and
// the process's own open of the file while it starts starts none.
void start_file_proc(ARB* arb, LFB* lfb) {
  PFB* pfb = lfb->lfb_pfb;
  if ((lfb->lfb_opt & LFB_FILE_PROC) && !pfb->pfb_proc && !pfb->pfb_event_depth) fm_run_event(arb, pfb, start_proc);
}

}  // namespace

int fm__open(FDB* fdb, uint32_t scope) {
  if (fm_needs_stamp(fdb) && !get_struct_date(fdb)) return 0;
  LFB* lfb = alloc_lfb(fdb, scope);
  if (!lfb) return 0;
  ARB* arb = lfb->lfb_arb;
  STRM* strm = arb_strm(arb);
  if (!strm) {
    sys_err("FMFI", __LINE__, "fm__open() - missing current stream");
    return 0;
  }
  // A stream the back-end has opened already (a shared or joined open) is
  // ready; it still counts as a user, so the end event waits for its close,
  // and an open that asks for the file's process starts it when an earlier
  // open without the option left the file without one.
  if (strm->strm_active) {
    start_file_proc(arb, lfb);
    return opened(fdb, lfb);
  }
  if (chk_struct(fdb, lfb) && !check_struct(fdb, lfb, scope)) {
    free_lfb(lfb, 0);
    return 0;
  }
  if (!(lfb->lfb_opt & LFB_DEFER) && !fm_actv(arb, strm)) {
    to_fdb(fdb, arb);
    free_lfb(lfb, 0);
    return 0;
  }
  return opened(fdb, lfb);
}

int fm_actv(ARB* arb, STRM* strm) {
  if (!strm->strm_fms->open(arb, strm)) return 0;
  start_file_proc(arb, strm->strm_lfb);
  return 1;
}

int fm__create(FDB* fdb, uint32_t scope) {
  // Settled first: a design file that becomes a memory file has no
  // structure file, and one made under its memory name would be taken for
  // the file itself.
  settle_name(fdb);
  const uint32_t caller_opt = fdb->fdb_opt;
  const bool open_new = caller_opt & LFB_OPEN_NEW;
  const uint8_t cls = fdb->path.fdb_class;
  if (cls == PATH_STRUCT && !fm_is_memory(fdb)) return create_struct_file(fdb, scope);
  if ((cls == PATH_DATA || cls == 8) && !fm_is_memory(fdb) && !(caller_opt & (LFB_NO_STRUCT_CHK | LFB_SCOPED))) {
    if (fdb->fdb_struct_date[0] == kStampUnknown && !get_struct_date(fdb)) return 0;
    FDB s;
    struct_fdb(fdb, &s);
    if (fdb->fdb_struct_date[0] != kStampUnknown && !FM_CREATE(&s, scope, 0, 0, 0x0f, 0x0f)) {
      fail_fdb(fdb, s.fdb_stat, s.fdb_stat2);
      return 0;
    }
  }
  if (!open_new) fdb->fdb_opt &= ~LFB_JOIN;
  LFB* lfb = alloc_lfb(fdb, scope);
  fdb->fdb_opt = (fdb->fdb_opt & ~LFB_JOIN) | (caller_opt & LFB_JOIN);
  if (!lfb) return 0;
  ARB* arb = lfb->lfb_arb;
  STRM* strm = arb_strm(arb);
  int ok = 1;
  if (!strm->strm_active) {
    if (!lfb->lfb_pfb->pfb_open) ok = strm->strm_fms->create(arb, strm);
    else if (open_new) ok = strm->strm_fms->open(arb, strm);
  }
  if (!ok) to_fdb(fdb, arb);
  if (ok && open_new) return opened(fdb, lfb);
  free_lfb(lfb, 0);
  return ok;
}

int fm__attach(ARB* arb, FAD* fad, uint32_t scope) {
  if (!arb) return 0;
  STRM* s = arb_strm(arb);
  if (!s) {
    arb->arb_stat = FM_NOT_OPEN;
    return 0;
  }
  LFB* lfb = s->strm_lfb;
  lfb->lfb_arb = arb;
  if (create_strm(lfb, fad, scope)) return 1;
  drop_if_empty(std::max(scope, arb->arb_sarb->sarb_marb->marb_scope));
  arb->arb_stat = lfb->lfb_stat;
  arb->arb_stat2 = lfb->lfb_stat2;
  return 0;
}

int FM_OPEN(FDB* fdb, uint32_t level, uint32_t options, uint8_t access, uint8_t share) {
  fdb->fdb_opt = options;
  fdb->fdb_acc = access;
  fdb->fdb_shr = share;
  return fm__open(fdb, level);
}

int FM_CREATE(FDB* fdb, uint32_t level, uint32_t size, uint32_t options, uint8_t access, uint8_t share) {
  fdb->fdb_cr_size = size;
  fdb->fdb_opt = options;
  fdb->fdb_acc = access;
  fdb->fdb_shr = share;
  return fm__create(fdb, level);
}

ARB* FM_ATTACH(ARB* arb, FAD* out, uint32_t level) { return fm__attach(arb, out, level) ? out->fad_arb : nullptr; }

}  // namespace kivo
