// rt_dflt_disp: the two groups of output defaults of a process's system
// area 1, each field from the first of the user's USER record, the APPL
// record of the database area's application and version and the SYSPARM
// record that sets it.
//
// Invariant: a record that is missing is passed over; a field no record
// sets keeps what the area holds.
#include <cstring>

#include "compiler/em.h"
#include "compiler/em_records.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "interp/interp.h"

namespace kivo {

namespace {

constexpr uint32_t kAreaOutDflt = 1;
constexpr size_t kOutDfltAreaLen = 629;
enum : size_t { DBA_AP = 124, DBA_VER = 127 };  // the database area: application and version

// One output default: source bytes [off, off + len) relative to the
// group's base, the test that makes it count, and its place in area 1 for
// group 1 and group 2 (0 none).
enum od_test : uint8_t { OD_NONZERO16, OD_BELOW255, OD_NOT_BLANK };
struct out_dflt {
  uint8_t off, len;
  od_test test;
  uint16_t at1, at2;
};
constexpr out_dflt kOutDflts[] = {
    {6, 2, OD_NONZERO16, 16, 328},   {5, 1, OD_BELOW255, 60, 372},    {4, 1, OD_BELOW255, 49, 361},
    {3, 1, OD_NOT_BLANK, 18, 330},   {0, 1, OD_NOT_BLANK, 61, 0},     {1, 1, OD_NOT_BLANK, 62, 0},
    {2, 1, OD_NOT_BLANK, 319, 628},  {28, 10, OD_NOT_BLANK, 19, 331}, {18, 10, OD_NOT_BLANK, 29, 341},
    {38, 10, OD_NOT_BLANK, 39, 351}, {8, 10, OD_NOT_BLANK, 50, 362},
};
// Group bases in USER, APPL and SYSPARM.
constexpr uint16_t kGroupBase[2][3] = {{268, 44, 104}, {316, 92, 152}};

bool od_set(const uint8_t* src, const out_dflt& d) {
  switch (d.test) {
    case OD_NONZERO16: return ld_le16(src, d.off) != 0;
    case OD_BELOW255: return src[d.off] < 255;
    default:
      for (size_t i = 0; i < d.len; ++i)
        if (src[d.off + i] != ' ') return true;
      return false;
  }
}

// Area 1 of the process when it is there and long enough.
uint8_t* area1(const PCB* p) {
  const EM* em = p ? p->pcb_em : nullptr;
  if (!em || !p->pcb_areas) return nullptr;
  for (uint32_t i = 0; i < em->em_area_cnt; ++i)
    if (em->em_area_tbl[i].area_no == kAreaOutDflt)
      return em->em_area_tbl[i].size >= kOutDfltAreaLen ? p->pcb_areas[kAreaOutDflt] : nullptr;
  return nullptr;
}

}  // namespace

void rt_dflt_disp(PCB* p, const uint8_t* db_area) {
  uint8_t* a1 = area1(p);
  if (!a1) return;
  const ut_design_recs& recs = ut_get_design_recs();
  const uint8_t* src[3] = {com.user_rec, nullptr, recs.dsysparm ? recs.dsysparm() : nullptr};
  if (db_area && recs.dap)
    src[1] =
        recs.dap(reinterpret_cast<const char*>(db_area + DBA_AP), reinterpret_cast<const char*>(db_area + DBA_VER));
  for (int g = 0; g < 2; ++g)
    for (const out_dflt& d : kOutDflts) {
      const uint16_t at = g ? d.at2 : d.at1;
      if (!at) continue;
      for (int s = 0; s < 3; ++s)
        if (src[s] && od_set(src[s] + kGroupBase[g][s], d)) {
          memcpy(a1 + at, src[s] + kGroupBase[g][s] + d.off, d.len);
          break;
        }
    }
}

}  // namespace kivo
