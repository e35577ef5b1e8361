// Stand-ins of the frame processor and the PCF read-next (op_standin.h).
#include "process/op_standin.h"

#include <cstring>

#include "compiler/em.h"
#include "compiler/em_records.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "interp/seams.h"
#include "process/op.h"
#include "process/pi.h"

namespace kivo {

namespace {

constexpr uint32_t kStop = 0x10000;

bool run(PCB* p, uint16_t ep, bool image) {
  EP_CALL c{};
  c.pcb = p;
  if (image) II_EXEC_IMG(&c, ep);
  else II_EXEC_FRM(&c, ep);
  return (c.result & kStop) == 0;
}

}  // namespace

uint32_t fp_exec(PCB* p, uint32_t frame) {
  EM* em = p->pcb_em;
  if (!em || !p->pcb_frames || frame == 0 || frame > em->em_frm_cnt) return 1;
  const pcb_frm_ent* f = reinterpret_cast<pcb_frm_ent*>(p->pcb_frames) + frame;
  if (!f->rec) return 1;
  p->pcb_cur_frm = f->rec;
  if (!run(p, 21, false)) return 1;
  run(p, 22, false);
  const uint32_t first = ld_le32(f->rec, CFRM_FIRST_IMG);
  if (first && f->rec[CFRM_IMG_CNT] && p->pcb_images && first <= em->em_img_cnt) {
    p->pcb_cur_img = reinterpret_cast<pcb_img_ent*>(p->pcb_images)[first].rec;
    run(p, 41, true);
    run(p, 42, true);
    op_img_exec(p, first);
    run(p, 43, true);
    run(p, 44, true);
  }
  run(p, 25, false);
  return 1;
}

int pi_rdnxt(PCB* p, uint32_t) {
  ARB* a = p->pcb_pcf_arb;
  if (!a) return 0;
  a->arb_mod = 0;
  return fm_rdnxt(a);
}

}  // namespace kivo
