// The security bits of the user's profile: whether a process may run
// (chk_exec_secr), and the class and access tests of running statements.
//
// Invariant: a class is tested only against bytes inside the PROFILE
// record; a class outside it (or below -1) is refused, never read.
#include <cstring>

#include "foundation/com.h"
#include "foundation/text.h"
#include "process/pi.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"

namespace kivo {

namespace {

constexpr uint8_t kDbKindSecured = 2;
enum : size_t { DBA_TYPE = 3, SEL_DB = 30 };

}  // namespace

bool secr_bit(const uint8_t* prof, int32_t c) {
  if (!prof || c < 0 || PROF_BITMAP + size_t(c) / 8 >= kProfRecLen) return false;
  return prof[PROF_BITMAP + c / 8] >> (c % 8) & 1;
}

void pcb_set_profile(PCB* p, const uint8_t* prof) {
  if (p->pcb_profile) mm_free(p->pcb_profile);
  p->pcb_profile = nullptr;
  // A copy: reading another profile must not change this process's.
  if (prof && p->pcb_pool && (p->pcb_profile = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, kProfRecLen))))
    memcpy(p->pcb_profile, prof, kProfRecLen);
}

int chk_exec_secr(PCB* p, PCB* inv) {
  char db[3] = {' ', ' ', ' '};
  if (inv) {
    const uint8_t* sel = pi_area(inv, AREA_DB_SEL, SEL_DB + 3);
    const uint8_t* dba = pi_area(inv, AREA_DB, 3);
    if (p->invoc.invoc_type() == 2 && sel && sel[SEL_DB] != ' ') memcpy(db, sel + SEL_DB, 3);
    else if (dba) memcpy(db, dba, 3);
  }
  const uint8_t* u = com.user_rec;
  const uint8_t* prof = u ? pi_get_dprof(reinterpret_cast<const char*>(u + USER_PROFILE), db) : nullptr;
  pcb_set_profile(p, prof);
  if (!prof) return 1;
  if (!is_blank(db, 3)) {
    const uint8_t* x = pi_get_ddbxap(db, p->invoc.ap_id());
    if (!x) return 0;
    if (x[DBXAP_KIND] != kDbKindSecured) return 1;
  }
  return secr_bit(prof, p->pcb_em ? p->pcb_em->em_secr_class : -1);
}

int pi_chk_secr(int32_t c, PCB* p) {
  const uint8_t* dba = pi_area(p, AREA_DB, DBA_TYPE + 1);
  if (c == -1 || !p->pcb_profile || !dba || dba[DBA_TYPE] != kDbKindSecured) return 1;
  return secr_bit(p->pcb_profile, c);
}

int pi_chk_acc_secr(PCB* p, const uint8_t* base, int32_t offset) {
  if (offset == -1 || !p->pcb_profile || (p->pcb_em && p->pcb_em->em_no_acc_secr)) return 1;
  char code[5] = {};
  memcpy(code, base + offset, 4);
  const int32_t c = ut_xlate_secr(code);
  return c == -1 || secr_bit(p->pcb_profile, c);
}

}  // namespace kivo
