// The process engine's seams: each entry starts as the engine's own
// function, and only tests and the tool harness put another in.
#include "process/fp.h"
#include "process/op.h"
#include "process/op_inquiry.h"
#include "process/pb.h"
#include "process/pb_fqry.h"
#include "process/pi_exec.h"
#include "process/process.h"
#include "process/rm.h"

namespace kivo {

process_seam_table process_seams = {
    pi_exec_own,       pi_get_dsysparm_own, pi_get_dap_own, pi_get_ddb_own, pb_fqry_build,
    pb_fqry_unbuild,   pb_progress_line,    op_sum_roll,    nullptr,        op_pcf_rdnxt,
    inq_show_page_own, rm_make_file,        fp_ep_own,      pi_open_fi_run,
};

void pi_open_fi(PCB* pcb) { process_seams.open_fi(pcb); }

}  // namespace kivo
