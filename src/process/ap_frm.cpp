// The frames of a kind, and the heading and total frames of a range level,
// as the read loops of the action and output processes find them.
#include <cstring>

#include "compiler/em.h"
#include "compiler/em_frame.h"
#include "compiler/em_records.h"
#include "foundation/bytes.h"
#include "process/op.h"
#include "process/pi.h"
#include "process/pi_hooks.h"

namespace kivo {

namespace {

const uint8_t* frame_rec(PCB* p, uint32_t no) {
  if (!p->pcb_frames || !p->pcb_em || no == 0 || no > p->pcb_em->em_frm_cnt) return nullptr;
  return reinterpret_cast<pcb_frm_ent*>(p->pcb_frames)[no].rec;
}

// Equal texts, a field of zeros counting as blanks (a frame of no range).
bool same(const char* f, const char* want, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if ((f[i] ? f[i] : ' ') != want[i]) return false;
  return true;
}

}  // namespace

uint32_t load_frm_no(PCB* p, uint8_t kind) {
  for (uint32_t n = 1; p->pcb_em && n <= p->pcb_em->em_frm_cnt; ++n)
    if (const uint8_t* f = frame_rec(p, n); f && cfrm_view(f).kind() == kind) return n;
  return 0;
}

uint32_t load_rng_frm_no(PCB* p, uint32_t index, uint8_t kind) {
  // Index 0 is the whole report: a frame of no range field.
  char ap[3], fld[22];
  uint16_t count = 0;
  memset(ap, ' ', 3), memset(fld, ' ', 22);
  if (index > 0) {
    if (!p->pcb_rng || index >= p->pcb_rng_cnt) return 0;
    const uint8_t* e = static_cast<const uint8_t*>(p->pcb_rng) + kRngEntLen * index;
    memcpy(ap, e + RNG_AP, 3), memcpy(fld, e + RNG_FLD, 22);
    count = ld_le16(e, RNG_COUNT);
  }
  for (uint32_t n = 1; p->pcb_em && n <= p->pcb_em->em_frm_cnt; ++n) {
    const uint8_t* f = frame_rec(p, n);
    if (!f) continue;
    const cfrm_view fr(f);
    if (fr.kind() != kind || !same(fr.range_ap(), ap, 3) || !same(fr.range_fld(), fld, 22)) continue;
    const uint16_t c = fr.count();
    if (c == count || (index > 0 && c == 0 && count == 1)) return n;
  }
  return 0;
}

}  // namespace kivo
