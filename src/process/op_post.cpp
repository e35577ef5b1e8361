// Posting a report's failure to the process's messages (kept apart: the
// message layer's record names differ from the report manager's).
#include "compiler/pcb.h"
#include "fm/la.h"

namespace kivo {

void op_post(PCB* p, uint32_t status) {
  if (p && p->pcb_err_fi) la_add_msg(p->pcb_err_fi, &status, 3, {});
}

}  // namespace kivo
