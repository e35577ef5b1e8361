// Start-up of the file manager and the clean-up of what a scope opened.
//
// Clearing takes the scope entries of the level and deeper one at a time:
// their opens are closed, their scoped temporary files scratched, their
// further handles detached, and the memory files of those levels dropped.
// Closing runs file events under nested MARKs; they cannot touch the end
// code of the level being left, which MARK keeps in a local.
#include "fm/fm.h"

#include "fm/fm_sysadm.h"
#include "fm/fm_xlate.h"
#include "fm/struct_file.h"
#include "fm/unix_fm.h"

#include <cstdlib>

#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "fm/memfile.h"
#include "fm/print_file.h"
#include "fm/token_cache.h"
#include "foundation/com.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"

namespace kivo {

fm_hook_table fm_hooks;

namespace {

FM_SCOPE* first_entry_from(uint32_t level) {
  for (auto* e = static_cast<FM_SCOPE*>(fm_scope_list.head); e; e = static_cast<FM_SCOPE*>(e->in_list.next))
    if (e->scope >= level) return e;
  return nullptr;
}

// Step 1: every open of the entry is closed, joined ones too.
void close_lfbs(FM_SCOPE* e) {
  while (auto* l = static_cast<LFB*>(e->lfb.head)) {
    auto* s = static_cast<STRM*>(l->lfb_strm.head);
    if (l->lfb_scope != e->scope || !s) return sys_err("FMFI", __LINE__, "corrupt lfb list");
    s->strm_sarb->sarb_cur_strm = s;
    l->lfb_opt &= ~LFB_JOIN;
    if (!FM_CLOSE(s->strm_sarb->sarb_arb, 0)) sys_err("FMFI", __LINE__, "fm_clr_scope() - close failed");
    if (e->lfb.head == l) return;  // could not be released; reported below
  }
}

// Step 2: a scoped temporary file nobody uses any more is scratched.
void scratch_unused(PFB* p) {
  LFN* lfn = ctl_lfn_of(p->pfb_no);
  if (!lfn) return fm_checkstat(0, __LINE__, "can't read LFN file");
  FDB f = fm_fdb;
  f.path = lfn->lfn_path;
  f.fdb_kdb = p->pfb_kdb;
  f.fdb_nkeys = static_cast<uint8_t>(p->pfb_nkeys);
  f.fdb_rec_len = p->pfb_rec_len;
  f.fdb_var = p->pfb_var;
  f.fdb_fmt = p->pfb_fmt;
  f.fdb_fs_type = p->TYPE;
  f.fdb_org = p->ORG;
  f.fdb_acc = 0x0f;
  f.fdb_shr = 0;
  f.fdb_struct_date[0] = p->pfb_stamp[0];
  f.fdb_struct_date[1] = p->pfb_stamp[1];
  fm_checkstat(FM_SCRATCH(&f, LFB_SCOPED | LFB_NO_STRUCT_CHK | LFB_ANY_DIR), __LINE__,
               "fm_clr_scope() - scratch failed");
}

void scratch_pfbs(FM_SCOPE* e) {
  for (auto* p = static_cast<PFB*>(e->pfb.head); p;) {
    auto* next = static_cast<PFB*>(p->pfb_in_scope.next);
    if (p->pfb_owner_scope != e->scope) return sys_err("FMFI", __LINE__, "corrupt pfb list");
    if (!p->pfb_lfb.head) {
      scratch_unused(p);
      free_pfb(p);
    }
    p = next;
  }
}

// A group's first handle stays with its group: it moves to the entry of the
// group's first file, which outlives this one.
void keep_first_handle(FM_SCOPE* e, SARB* s) {
  auto* first = static_cast<LFB*>(s->sarb_marb->marb_lfb.head);
  if (!first || first->lfb_scope >= e->scope) return;
  ut_remove_from_lst(s, &s->sarb_in_scope, &e->sarb);
  s->sarb_scope = first->lfb_scope;
  ut_add_to_lst(s, &s->sarb_in_scope, &get_clean(s->sarb_scope)->sarb);
}

void detach_sarbs(FM_SCOPE* e) {
  for (auto* s = static_cast<SARB*>(e->sarb.head); s;) {
    auto* next = static_cast<SARB*>(s->sarb_in_scope.next);
    if (s->sarb_scope != e->scope) return sys_err("FMFI", __LINE__, "corrupt sarb list");
    if (!fm_detach(s->sarb_arb)) {
      if (s->sarb_arb->arb_stat == FM_NOT_ATTACHED) keep_first_handle(e, s);
      else sys_err("FMFI", __LINE__, "detach failed");
    }
    s = next;
  }
}

// Step 4: an entry that could not be emptied stops the program; it leaves
// the list either way, so that clearing ends.
void drop_entry(FM_SCOPE* e) {
  bool empty = true;
  if (e->pfb.head) sys_err("FMFI", __LINE__, "can't empty pfb list"), empty = false;
  if (e->lfb.head) sys_err("FMFI", __LINE__, "can't empty lfb list"), empty = false;
  if (e->sarb.head) sys_err("FMFI", __LINE__, "can't empty sarb list"), empty = false;
  ut_remove_from_lst(e, &e->in_list, &fm_scope_list);
  if (empty) mm_free(e);
}

}  // namespace

int fm_init() {
  fm_rlevel = 0;
  if (!fms_init()) return 0;
  if (!fms_set_data_server(getenv("KIVO_DATA_SERVER"))) return 0;
  mm_destroy_all();  // a second start (tests) begins with no memory file
  xlate_end_session();
  fm_objects_init();
  if (!fm_ctl_init() || !fm_sysadm_init()) return 0;
  if (fms_table(FMS_NATIVE))
    for (const char* ap : {"0AD", "0SA", "0LA", "0DB"}) fill_date_cache(ap);
  return 1;
}

void fm_clr_scope(uint32_t level) {
  while (FM_SCOPE* e = first_entry_from(level)) {
    close_lfbs(e);
    scratch_pfbs(e);
    detach_sarbs(e);
    drop_entry(e);
  }
  mm_drop_files(level);
}

}  // namespace kivo
