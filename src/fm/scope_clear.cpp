// Start-up and scope clearing of the file manager. Start-up brings up the
// memory manager and the back-ends, the remote entry of KIVO_DATA_SERVER,
// the session pool and the descriptor templates; the control files come
// with the opening of files.
#include "fm/scope_clear.h"

#include <cstdlib>

#include "fm/fm_objects.h"
#include "fm/fm_switch.h"
#include "foundation/com.h"
#include "foundation/pool.h"
#include "foundation/scope.h"

namespace kivo {

int (*fm_pb_init)() = nullptr;

int fm_init() {
  if (!fms_init()) return 0;
  if (!fms_set_data_server(getenv("KIVO_DATA_SERVER"))) return 0;
  fm_objects_init();
  return 1;
}

void fm_clr_scope(uint32_t) {}

void fm_register_hooks() {
  os_fm_init = fm_init;
  ut_clear_hooks.files = fm_clr_scope;
}

}  // namespace kivo
