// Level totals: the summary fields of each range level (the sources of the
// TOTAL statements of its total frame, listed in the module's SR records)
// start at zero and are zeroed again after the level's total frame ran.
#include <cstring>

#include "compiler/em.h"
#include "compiler/em_records.h"
#include "foundation/bytes.h"
#include "process/op.h"
#include "process/pi_internal.h"

namespace kivo {

namespace {

constexpr uint8_t kBinary = 5, kPacked = 8, kVarPacked = 12;
constexpr uint8_t kPlusSign = 0x0C;

// The field of an SR record := 0 in its stored form.
void zero(PCB* p, const uint8_t* sr) {
  const uint32_t area = ld_le32(sr, SR_AREA), off = ld_le32(sr, SR_OFF);
  const uint16_t len = ld_le16(sr, SR_FLD_LEN);
  if (area == 0 || area > p->pcb_em->em_area_cnt || !p->pcb_areas[area] || len == 0) return;
  uint8_t* f = p->pcb_areas[area] + off;
  switch (sr[SR_TYPE]) {
    case kBinary: memset(f, 0, len); break;
    case kPacked:
      memset(f, 0, len);
      f[len - 1] = kPlusSign;
      break;
    case kVarPacked:  // 8 packed bytes and the scale
      memset(f, 0, len);
      if (len >= 2) f[len - 2] = kPlusSign;
      break;
    default: break;
  }
}

// Zeroes the summary fields of total frame `frame` (0: all of them).
void zero_level(PCB* p, uint32_t frame) {
  EM* em = p->pcb_em;
  if (!em || !em->em_sum_ref_arb) return;
  pi_each_rec(em->em_sum_ref_arb, [&](const uint8_t* sr) {
    if (frame == 0 || ld_le32(sr, SR_FRM) == frame) zero(p, sr);
  });
}

}  // namespace

void op_bld_sum(PCB* p) { zero_level(p, 0); }

void op_sum_roll(PCB* p) {
  const uint32_t t = load_rng_frm_no(p, p->pcb_brk_lvl, FRM_TOTAL);
  if (t) zero_level(p, t);
}

}  // namespace kivo
