// The file manager above the storage engine is not built yet. Its start-up
// brings up what exists below it: the memory manager.
#include "fm/scope_clear.h"

#include "foundation/com.h"
#include "foundation/pool.h"
#include "foundation/scope.h"

namespace kivo {

int (*fm_pb_init)() = nullptr;

int fm_init() {
  if (!mm_init()) return 0;
  return fm_pb_init ? fm_pb_init() : 1;
}

void fm_clr_scope(uint32_t) {}

void fm_register_hooks() {
  os_fm_init = fm_init;
  ut_clear_hooks.files = fm_clr_scope;
}

}  // namespace kivo
