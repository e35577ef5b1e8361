// The engine's entry point: start-up, then the first process under a
// process level, in the order the subsystems depend on each other.
#include <cstdio>
#include <cstring>

#include "compiler/seams.h"
#include "design/seams.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "interp/seams.h"
#include "process/seams.h"
#include "tools/seams.h"

using namespace kivo;

int main(int argc, char** argv) {
  char stack_base;
  mm_bottom_of_stack = &stack_base;
  if (!os_init(argc, argv)) return 1;
  pi_init();
  pc_init();
  pl_init();
  rt_init();
  sc_init();
  ii_init();
  se_init();
  rm_init();
  fp_init();
  mp_init();
  ip_init();
  ap_init();
  qp_init();
  dd_init();

  INVOC start = pi_invoc;
  uint32_t rc = MARK(MARK_PROCESS, [&] { pi_exec(&start); });
  uint32_t end = ld_le32(start.b, INVOC_END_CODE);
  if (rc == PI_END_NORMAL && end == PI_END_NO_PROC) {
    fprintf(stderr, "kivo: no process to run: the process engine is not available in this build\n");
    return 1;
  }
  return rc == PI_END_LOGOUT ? 127 : 0;
}
