// The process engine in the layers below: the sorted-query back-end in the
// file manager and the scope clearing, the design records in path expansion
// and the back-end selection, the file manager's file process, the
// statements' verbs, the compiler's invocation template and the terminal's
// process name.
#include "process/process.h"

#include "process/fp.h"
#include "process/op.h"
#include "process/pb.h"
#include "process/pi_exec.h"
#include "process/pi_pcf.h"

#include <cstring>

#include "compiler/compiler.h"
#include "compiler/em.h"
#include "compiler/pc_cmpl.h"
#include "compiler/pcb.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_sysadm.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/foundation.h"
#include "foundation/paths.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/interp.h"
#include "screen/tm.h"

namespace kivo {

INVOC pi_invoc;

namespace {

// The statements' invocation verbs: a copy of the template naming the
// process with the verb's types, chain mode 2 for END? "Y", the module's
// version, and the invoker as parent with its two surfaces; a child of the
// running frame of that name comes with its linking fields.
uint32_t stmt_invoke(PCB* pcb, const char* ap, const char* name, uint8_t type, uint8_t invoc_type, uint8_t chain) {
  INVOC v = pi_invoc;
  memcpy(v.b + INVOC_AP_ID, ap, 3), memcpy(v.b + INVOC_PROC_NAM, name, 30);
  if (pcb->pcb_em) memcpy(v.b + INVOC_VER, pcb->pcb_em->em_ver, 2);
  v.b[INVOC_PROC_TYPE] = type, v.b[INVOC_INVOC_TYPE] = invoc_type, v.b[INVOC_CHAIN_MODE] = chain ? 2 : 0;
  return pi_exec_named(pcb, &v);
}

// PRINT and DISPLAY into the running report.
uint32_t stmt_print(PCB* p, const char* text, size_t len, uint16_t at, uint16_t rows, uint16_t cols) {
  return op_print(p, text, uint16_t(len > 0xFFFF ? 0xFFFF : len), at, rows, cols);
}
uint32_t stmt_display(PCB* p, const uint8_t* addr) { return op_display(p, addr); }

}  // namespace

void process_start_hooks() { foundation_hooks.design_recs = {pi_get_dap, pi_get_dsysparm}; }

void process_register_hooks() {
  fm_hooks.pb_init = pb_init;
  ut_clear_hooks.sorted_queries = pb_clr_scope;
  foundation_hooks.ddb_lookup = pi_get_ddb;
  fm_sa_hooks.get_dap = pi_get_dap;
  fm_sa_hooks.get_ddb = pi_get_ddb;
  pi_fproc_register();
  fm_proc_hooks.pb_attach = pb_sq_attach;
  ii_hooks.invoke = stmt_invoke;
  ii_hooks.print = stmt_print;
  ii_hooks.display = stmt_display;
  pi_fill_invoc();
  compiler_hooks.invoc_template = &pi_invoc;  // a compiled child starts from the engine's defaults
  ii_hooks.place_file = pi_place_file;
  ii_hooks.pcf_start = pi_start_pcf;
  ii_hooks.pcf_read = pi_read;
  ii_hooks.pcf_rdnxt = pi_rdnxt;
  ii_hooks.pcf_write = pi_write;
  ii_hooks.pcf_rewrite = pi_rewrite;
  ii_hooks.pcf_del = pi_del;
  // Recordings and snapshots name the process whose invocation runs.
  tm_hooks.process_name = [] { return reinterpret_cast<const char*>(os_invoc.b + INVOC_PROC_NAM); };
}

}  // namespace kivo
