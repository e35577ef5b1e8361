// The automatic run of an INPUT process: a parent's cascade asks it to
// carry a changed link into every record that holds the old one (auto_run
// 1), or to delete them all before the parent's record goes (auto_run 2).
//
// Invariant: the records are first found, then changed: a rewrite that
// moves a record along the key path cannot make the browse miss or meet a
// record twice. A record is changed only while it still holds the old
// values (the constraint block), read again and held.
// Callers: the executive through pi_type_rows[PT_INPUT].auto_exec.
#include <cstring>
#include <span>
#include <vector>

#include "fm/fm_objects.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "foundation/scope.h"
#include "process/ip.h"
#include "process/pi_exec.h"
#include "process/pi_pcf.h"

namespace kivo {

namespace {

enum : uint8_t { AUTO_CHANGE = 1, AUTO_DELETE = 2 };

[[noreturn]] void fail(PCB* p) {
  ARB* a = p->pcb_pcf_arb;
  uint32_t no = p->invoc.end_code();
  if (no == PCF_FILE_FAILED && a) no = a->arb_stat;
  if (p->pcb_err_fi && no) la_add_msg(p->pcb_err_fi, &no, 0, std::span<const cstr>{});
  mark_leave(PI_END_CANCEL);
}

// The record ids of the constrained records, in key order.
std::vector<std::vector<uint8_t>> constrained(PCB* p) {
  std::vector<std::vector<uint8_t>> out;
  ARB* a = p->pcb_pcf_arb;
  a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) {
    if (a->arb_stat == FM_EOF || a->arb_stat == FM_NOT_FOUND) return out;
    fail(p);
  }
  for (;;) {
    pi_outcome(p, 0);
    if (!pi_rdnxt(p, 0)) {
      if (a->arb_stat == FM_EOF) return out;
      fail(p);
    }
    if (pi_in_cnstr(p, a->arb_rec) && a->arb_rec_id_area)
      out.emplace_back(a->arb_rec_id_area, a->arb_rec_id_area + a->arb_rec_id_len);
    fm_release(a);
  }
}

}  // namespace

void ip_auto(PCB* p, uint8_t*) {
  ARB* a = p->pcb_pcf_arb;
  const uint8_t run = p->invoc.auto_run();
  if (!a || (run != AUTO_CHANGE && run != AUTO_DELETE)) mark_leave(PI_END_PROCESS);
  for (const std::vector<uint8_t>& rid : constrained(p)) {
    if (rid.size() != a->arb_rec_id_len) continue;
    memcpy(a->arb_rec_id_area, rid.data(), rid.size());
    pi_outcome(p, 0);
    if (!pi_read(p, ARB_REC_ID)) {
      // Gone since it was found: nothing left to carry the link.
      if (a->arb_stat == FM_NOT_FOUND) continue;
      fail(p);
    }
    if (!pi_in_cnstr(p, a->arb_rec)) {
      fm_release(a);
      continue;
    }
    if (run == AUTO_CHANGE) pi_set_cns(p, a->arb_rec);
    if (!(run == AUTO_CHANGE ? pi_rewrite(p) : pi_del(p))) fail(p);
  }
  mark_leave(PI_END_PROCESS);
}

}  // namespace kivo
