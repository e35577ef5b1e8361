// ap_post_invoc: the PCF record a child may have changed is held again.
// Callers: invoc_chld (fp_chld.cpp).
#include <cstring>

#include "fm/fm_record.h"
#include "foundation/descriptors.h"
#include "process/ap.h"
#include "process/pi.h"

namespace kivo {

namespace {

constexpr uint8_t kAccUpdate = 0x08;                                     // CFI access bit: open for update
constexpr uint16_t kReadByIdHeld = ARB_REC_ID | ARB_HOLD | ARB_RECOVER;  // mode 193

}  // namespace

void ap_post_invoc(PCB* p) {
  ARB* a = p->pcb_pcf_arb;
  if (!a || !p->pcb_rid || !p->pcb_rid_len) return;
  // The id area is the back-end's; a copy shorter than its ids is not one.
  if (!a->arb_rec_id_area || p->pcb_rid_len < a->arb_rec_id_len) return;
  memcpy(a->arb_rec_id_area, p->pcb_rid, a->arb_rec_id_len);
  const auto* fb = static_cast<const pi_file_blk*>(p->pcb_pcf_blk);
  if (!fb || !fb->cfi || !(fb->cfi[FDB_ACC] & kAccUpdate)) return;
  const uint16_t mod = a->arb_mod;
  a->arb_mod = kReadByIdHeld;
  fm_read(a);
  a->arb_mod = mod;
}

}  // namespace kivo
