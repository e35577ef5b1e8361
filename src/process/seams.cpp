// The process executive is not built yet: with its hooks empty every
// invocation ends with "no process" rather than pretending to have run.
#include "process/seams.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/seams.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_sysadm.h"
#include "fm/scope_clear.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "foundation/paths.h"
#include "foundation/scope.h"
#include "interp/seams.h"
#include "screen/wm.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"

namespace kivo {

pi_hook_table pi_hooks;
INVOC pi_invoc;

namespace {

// Without the executive a terminal user sees which process cannot run and
// ends it with a key, rather than a screen that vanishes at once.
void show_no_proc(const INVOC& inv) {
  if (com.no_term || !com.base_srf) return;  // no screen started
  SRF_BLK sb{0, 0, 0};
  TSRF* srf = WM__CREATE_SRF(&sb, com.mark_scope);
  if (!srf) return;
  constexpr int kRows = 4, kCols = 60;
  WND_BLK wb;
  INIT_WND(&wb, 7, 10, kRows, kCols, 0);
  TWND* w = WM__ATTACH(&wb, srf, com.mark_scope);
  if (!w) return;
  char line[kRows][kCols + 1];
  snprintf(line[0], sizeof line[0], " Process %.3s %.2s %.30s", inv.b + INVOC_AP_ID, inv.b + INVOC_VER,
           reinterpret_cast<const char*>(inv.b + INVOC_PROC_NAM));
  snprintf(line[1], sizeof line[1], " cannot run: the process engine is not in this build.");
  snprintf(line[2], sizeof line[2], "%s", "");
  snprintf(line[3], sizeof line[3], " Press ENTER to end.");
  std::string text;
  for (auto& l : line) text += std::string(l).append(kCols, ' ').substr(0, kCols);
  wm_write_reg(w, reinterpret_cast<const uint8_t*>(text.data()), {}, {});
  SHOW_BLK b{};
  memcpy(b.keymap_name, "MENU ENTRY", 10);
  b.show_flags = SHOW_REFRESH | SHOW_INPUT;
  b.main_srf = srf->id;
  b.curs_type = CURS_REL;
  b.curs_reg = w->id;
  b.rel_row = kRows, b.rel_col = 21;  // after the prompt
  b.main_pos = {b.rel_row, b.rel_col};
  wm_show(&b, nullptr);  // returns at a key that ends input
}

}  // namespace

void pi_exec(INVOC* invoc) {
  if (pi_hooks.exec) return pi_hooks.exec(invoc);
  show_no_proc(*invoc);
  st_le32(invoc->b, INVOC_END_CODE, PI_END_NO_PROC);
}

void pi_open_fi(PCB* pcb) {
  if (pi_hooks.open_fi) pi_hooks.open_fi(pcb);
}
void pi_resume(PCB*) {}
void qp_copy_pend(PCB*, PCB*, uint32_t) {}

namespace {

// The file manager's file process keeps its own 640-byte block, not a PCB,
// so its shared data go through these entries (tests fill them) rather than
// the executive's pi_shr_data.
void* fproc_shr_data(PCB* pcb, uint32_t owner_scope, uint32_t mark_scope) {
  return pi_hooks.shr_data ? pi_hooks.shr_data(pcb, owner_scope, mark_scope) : nullptr;
}
void fproc_free_data(PCB* pcb, int flag) {
  if (pi_hooks.free_data) pi_hooks.free_data(pcb, flag);
}
void fproc_store_data(PCB* pcb, uint8_t* area, size_t size, void* shared) {
  if (pi_hooks.store_data) pi_hooks.store_data(pcb, area, size, shared);
}
void fproc_restore_data(PCB* pcb, const uint8_t* area, void* shared) {
  if (pi_hooks.restore_data) pi_hooks.restore_data(pcb, area, shared);
}

}  // namespace

int pb_init() { return 1; }
void pb_clr_scope(uint32_t) {}

void pi_register_hooks() {
  fm_pb_init = pb_init;
  ut_clear_hooks.sorted_queries = pb_clr_scope;
  ss_ddb_lookup = pi_get_ddb;
  fm_sa_hooks.get_dap = pi_get_dap;
  fm_sa_hooks.get_ddb = pi_get_ddb;
  fm_proc_hooks.invoc = &pi_invoc;
  fm_proc_hooks.pl_get = pl_get;
  fm_proc_hooks.shr_data = fproc_shr_data;
  fm_proc_hooks.open_fi = pi_open_fi;
  fm_proc_hooks.proc_exec = ii_proc_exec;
  fm_proc_hooks.free_data = fproc_free_data;
  fm_proc_hooks.store_data = fproc_store_data;
  fm_proc_hooks.restore_data = fproc_restore_data;
}

void fp_init() {}
void mp_init() {}
void ip_init() {}
void ap_init() {}
void qp_init() {}

}  // namespace kivo
