// The process executive is not built yet: every invocation ends with
// "no process" rather than pretending to have run.
#include "process/seams.h"

#include <cstring>

#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"

namespace kivo {

INVOC pi_invoc;

void pi_init() {
  uint8_t* b = pi_invoc.b;
  memset(b, 0, kInvocSize);
  memset(b + INVOC_AP_ID, ' ', 3);
  memcpy(b + INVOC_VER, "00", 2);
  b[INVOC_PROC_TYPE] = PT_MENU;
  memset(b + INVOC_PROC_NAM, ' ', kProcNameLen);
  b[INVOC_INVOC_TYPE] = 2;
  b[INVOC_CHAIN_MODE] = 1;
  b[INVOC_INTERRUPT_OK] = 1;
  memset(b + INVOC_CALLER_CODE, ' ', 4);
  b[INVOC_PCF_KEY_NO] = 255;
  memset(b + INVOC_RNG_AP, ' ', 3);
  memset(b + INVOC_RNG_NAM, ' ', kProcNameLen);
  memset(b + INVOC_CNSTR_AP, ' ', 3);
  set_ut_design_recs({pi_get_dap, pi_get_dsysparm});
}

void pi_exec(INVOC* invoc) { st_le32(invoc->b, INVOC_END_CODE, PI_END_NO_PROC); }

const uint8_t* pi_get_dsysparm() { return nullptr; }
const uint8_t* pi_get_dap(const char*, const char*) { return nullptr; }
const uint8_t* pi_get_ddb(const char*) { return nullptr; }

int pb_init() { return 1; }
void pb_clr_scope(uint32_t) {}

void rm_init() {}
void fp_init() {}
void mp_init() {}
void ip_init() {}
void ap_init() {}
void qp_init() {}

}  // namespace kivo
