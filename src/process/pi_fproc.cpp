// The processes the file manager runs: a file's own process (type 12, named
// like its file), whose event points run around the file's opens, reads and
// updates, and the field translation subroutine "TRANSLATE FIELD" of 0LA.
// Both are real control blocks run through the loader, pi_shr_data and the
// interpreter; fproc_register puts them in the file manager's hooks.
//
// Invariants: a file process's areas are shared with the process it serves
// at the moment (pi_cur_pcb), placed again whenever that changes, so a
// shared area never outlives the process that owns it; while a file process
// or the subroutine runs, it is pi_cur_pcb and its module is bound to it,
// and the binding and pi_cur_pcb it found come back afterwards.
#include <cstring>
#include <set>
#include <string>

#include "compiler/compiler.h"
#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_xlate.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "interp/interp.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "process/pi_internal.h"
#include "process/process.h"

namespace kivo {

namespace {

// System area 9: the database and the application and version a process's
// files open under (its design references).
enum : size_t { A9_DB = 0, A9_AP = 124, A9_VER = 127, kA9Len = 129 };
// System area 11: what a file's process is told of each record event.
enum : size_t { A11_OPER = 41, A11_MODE = 42, A11_CALLER = 43, kA11Len = 47 };

constexpr char kXlateAp[] = "0LA", kXlateVer[] = "00", kXlateName[] = "TRANSLATE FIELD";
constexpr char kXlateFile[] = "XLATE   ";

// The file manager's view first, so that its FM_PROC* is this block.
struct fproc {
  FM_PROC fm;
  uint32_t rec_area;  // area number of the record area, 0 none
  uint32_t invoker;   // handle of the process the shared areas were placed for
};

// Files found without a process (application, version, name): their opens
// read no PROCESS design record again in this session.
std::set<std::string> g_without;

std::string file_key(const FDB_PATH& p) {
  return std::string(p.fdb_ap, 3) + std::string(p.fdb_ver, 2) + std::string(p.fdb_name, 8);
}

// A zeroed control block from the invocation template for process `name`.
PCB* new_pcb(const char* ap, const char* ver, uint8_t type, const char* name, size_t name_len) {
  auto* p = static_cast<PCB*>(MM_ALLOC(pi_pool, sizeof(PCB)));
  if (!p) return nullptr;
  memset(p, 0, sizeof *p);
  p->invoc = pi_invoc;
  INVOC* b = &p->invoc;
  memcpy(b->ap_id(), ap, 3);
  memcpy(b->ver(), ver, 2);
  b->set_proc_type(type);
  memset(b->proc_nam(), ' ', kProcNameLen);
  memcpy(b->proc_nam(), name, name_len);
  memcpy(p->pcb_lang, com.lang_id, 3);
  p->pcb_pool_owner = 1;  // its sub pool is its own
  return p;
}

// Ends a block whose module pl_get gave and whose areas pi_shr_data placed.
// The module, which stays cached, no longer names it as the block it serves.
void drop_pcb(PCB* p) {
  if (fm_proc_hooks.dbg_cleanup) fm_proc_hooks.dbg_cleanup(p);
  if (p->pcb_em && p->pcb_em->em_bound_pcb == p) p->pcb_em->em_bound_pcb = nullptr;
  pi_free_data(p, 1);
  mm_free(p);
}

// Loads the module and places the areas at `level`; the files are not
// opened yet. Null when the process does not load.
PCB* start_block(PCB* p, uint32_t level) {
  if (!pl_get(p, 1)) {
    mm_free(p);
    return nullptr;
  }
  pi_shr_data(p, level, level);
  return p;
}

// Opens the process's files with it as the running process; false when
// one of them ended it (reported by pi_fi_err).
bool open_files(PCB* p) {
  PCB* const saved = pi_cur_pcb;
  pi_cur_pcb = p;
  const uint32_t r = MARK(MARK_RECOVERY, [&] { pi_open_fi(p); });
  pi_cur_pcb = saved;
  return r == PI_END_NORMAL;
}

// Sets the running process and the module's binding for a run of `p`, and
// puts back what it found.
struct running {
  explicit running(PCB* p) : saved_cur(pi_cur_pcb), em(p->pcb_em), saved_bound(em ? em->em_bound_pcb : nullptr) {
    pi_cur_pcb = p;
    pi_bind_areas(p);
  }
  ~running() {
    pi_cur_pcb = saved_cur;
    if (em && saved_bound && saved_bound != em->em_bound_pcb) pi_bind_areas(saved_bound);
  }
  running(const running&) = delete;
  running& operator=(const running&) = delete;
  PCB* saved_cur;
  EM* em;
  PCB* saved_bound;
};

bool has_code(const EM* em, uint8_t ep) {
  const em_entry& e = em->em_ep[ep - 1];
  return e.blk != 0 && e.blk != kNoCode;
}

// The design references from the file's path: the process's files open in
// the file's database, and its source application and version.
void set_refs(PCB* p, const FDB_PATH& path) {
  uint8_t* a9 = pi_area(p, AREA_DB, kA9Len);
  if (!a9) return;
  memcpy(a9 + A9_DB, path.fdb_db, 3);
  memcpy(a9 + A9_AP, path.fdb_src_ap, 3);
  memcpy(a9 + A9_VER, path.fdb_src_ver, 2);
}

// The record area of the file in the process, and its length.
void find_rec_area(fproc* f, const FDB_PATH& path) {
  PCB* p = f->fm.pcb;
  uint8_t key[CFI_LEN] = {};
  memcpy(key + FDB_AP, path.fdb_ap, 3);
  memcpy(key + FDB_NAME, path.fdb_name, 8);
  const uint8_t* c = pi_get_cfi(p->pcb_em, key);
  uint32_t area = 0;
  if (!c || !pi_find_addr(p, path.fdb_ap, cfi_view(c).file_no(), 0, 0, &area)) return;
  f->rec_area = area;
  f->fm.rec = p->pcb_areas[area];
  f->fm.rec_len = ld_le16(c, FDB_REC_LEN);
}

void fproc_release(FM_PROC* proc) {
  drop_pcb(proc->pcb);
  mm_free(proc);
}

FM_PROC* fproc_load(const FDB_PATH& path, uint32_t scope) {
  if (!pi_pool || g_without.count(file_key(path))) return nullptr;
  PCB* p = new_pcb(path.fdb_ap, path.fdb_ver, PT_FILE_PROC, path.fdb_name, sizeof path.fdb_name);
  if (!p) return nullptr;
  PCB* inv = pi_cur_pcb;
  p->invoc.set_parent_pcb(inv ? inv->pcb_handle : 0);
  if (!(p = start_block(p, scope ? scope : com.sys_scope))) {
    g_without.insert(file_key(path));
    return nullptr;
  }
  auto* f = static_cast<fproc*>(MM_ALLOC(pi_pool, sizeof(fproc)));
  if (!f) {
    drop_pcb(p);
    return nullptr;
  }
  memset(f, 0, sizeof *f);
  f->fm.pcb = p;
  f->invoker = inv ? inv->pcb_handle : 0;
  set_refs(p, path);
  if (!open_files(p)) {
    fproc_release(&f->fm);
    return nullptr;
  }
  f->fm.has_pre = has_code(p->pcb_em, EP_PRE_UPD);
  f->fm.has_post = has_code(p->pcb_em, EP_POST_UPD);
  find_rec_area(f, path);
  return &f->fm;
}

void fproc_prepare(FM_PROC* proc, const FM_PROC_EVENT& ev) {
  auto* f = reinterpret_cast<fproc*>(proc);
  PCB* p = proc->pcb;
  PCB* inv = pi_cur_pcb;
  const uint32_t h = inv ? inv->pcb_handle : 0;
  if (h != f->invoker) {
    pi_reshare(p, inv);
    f->invoker = h;
  }
  set_refs(p, *ev.path);
  if (uint8_t* a11 = pi_area(p, AREA_PROC, kA11Len)) {
    a11[A11_OPER] = ev.op;
    a11[A11_MODE] = ev.mode;
    memcpy(a11 + A11_CALLER, ev.caller, 4);
  }
  if (f->rec_area) proc->rec = p->pcb_areas[f->rec_area];
}

uint32_t fproc_run(FM_PROC* proc, uint8_t ep, uint8_t* result) {
  running r(proc->pcb);
  PROC_EXEC_BLK blk{proc->pcb, result, ep, 0};
  return ii_proc_exec(&blk);
}

size_t fproc_data_size(FM_PROC* proc) { return pi_data_size(proc->pcb); }
void fproc_store(FM_PROC* proc, uint8_t* area, size_t size) { pi_store_data(proc->pcb, area, size); }
void fproc_restore(FM_PROC* proc, const uint8_t* area, size_t size) { pi_restore_data(proc->pcb, area, size); }

// ---- the translation subroutine ----

PCB* g_xlate;  // loaded once per session (the file manager asks once)

uint8_t* xlate_load() {
  if (!pi_pool) return nullptr;  // the executive is not started
  PCB* p = new_pcb(kXlateAp, kXlateVer, PT_SUBROUTINE, kXlateName, sizeof kXlateName - 1);
  if (!p || !(p = start_block(p, com.sys_scope))) return nullptr;
  uint8_t* rec = open_files(p) ? pi_find_rec(p, kXlateAp, kXlateFile) : nullptr;
  if (!rec) {
    drop_pcb(p);
    return nullptr;
  }
  g_xlate = p;
  return rec;
}

void xlate_run() {
  PCB* p = g_xlate;
  if (!p) return;
  const uint32_t saved_hook = com.hook_scope;
  com.hook_scope = com.sys_scope;
  const uint32_t rc = MARK(MARK_FILE_EVENT, [&] {
    running r(p);
    PROC_EXEC_BLK blk{p, nullptr, 1, 0};
    ii_proc_exec(&blk);
  });
  com.hook_scope = saved_hook;
  p->invoc.set_end_code(rc);
}

const xlate_proc_hooks kXlateHooks{xlate_load, xlate_run};

}  // namespace

void pi_fproc_forget() { g_without.clear(); }

void pi_fproc_register() {
  fm_proc_hooks.load = fproc_load;
  fm_proc_hooks.prepare = fproc_prepare;
  fm_proc_hooks.run = fproc_run;
  fm_proc_hooks.release = fproc_release;
  fm_proc_hooks.data_size = fproc_data_size;
  fm_proc_hooks.store_data = fproc_store;
  fm_proc_hooks.restore_data = fproc_restore;
  fm_hooks.xlate_proc = &kXlateHooks;
}

}  // namespace kivo
