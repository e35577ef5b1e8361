// The routine behind the selection editor's check at ENTER:
//   - QP_VALID_SLCT (verdict): run by "QSLCT EDIT" under a query; compiles
//     the statement on its screen as the query's sorted scan will, against
//     the query's primary file, and leaves the verdict (slct_verdict: 1 it
//     compiles, 2 not a number, 3 IN on a field that is not alpha, 4 not a
//     date, 5 not comparable) in its binary argument. F when there is no
//     query or statement to check.
//
// Invariant: the check compiles into a selection module of its own,
// released before it returns; nothing of the query is touched.
#include <cstring>

#include "compiler/em.h"
#include "compiler/pcb.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "interp/rt_fns.h"
#include "process/pb_slct.h"
#include "process/pi_pcf.h"
#include "process/qp.h"

namespace kivo {

namespace {

// The names the query's selection is compiled with, as its sorted scan
// gives them.
bool query_names(PCB* query, QRY_SLCT* q) {
  const EM* em = query->pcb_em;
  const uint8_t* cfi = pi_pcf_cfi(query);
  if (!em || !cfi) return false;
  memcpy(q->ap, em->em_ap, 3), memcpy(q->ver, em->em_ver, 2);
  memcpy(q->pcf_ap, em->em_pcf_ap, 3), q->pcf_id = em->em_pcf_id;
  memcpy(q->pcf_name, cfi + FDB_NAME, 8);
  memcpy(q->alt_ap, em->em_alt_ap, 3), memcpy(q->alt_fi, em->em_alt_fi, 8), memcpy(q->alt_key, em->em_alt_key, 22);
  return true;
}

int valid_slct(RT_CALL& c) {
  rt_arg& out = c.args[0];
  PCB* editor = c.pcb;
  PCB* query = editor ? invoc_parent(editor->invoc) : nullptr;
  const uint8_t* rec = editor ? pi_pcf_rec(editor) : nullptr;
  if (!out.addr || out.len < 4 || !query || query->invoc.proc_type() != PT_QUERY || !rec) return 0;
  QRY_SLCT q;
  if (!query_names(query, &q)) return 0;
  st_le32(out.addr, 0, pb_check_stmt(&q, rec));
  return 1;
}

}  // namespace

void qp_check_register() {
  static bool once = false;
  if (once) return;
  once = true;
  rt_add_fn({"QP_VALID_SLCT", valid_slct, 1, 0});
}

}  // namespace kivo
