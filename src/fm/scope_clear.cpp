// The file manager above the storage engine is not built yet. Its start-up
// brings up what exists below it: the memory manager.
#include "fm/scope_clear.h"

#include "foundation/pool.h"
#include "process/seams.h"

namespace kivo {

int fm_init() {
  if (!mm_init()) return 0;
  return pb_init();
}

void fm_clr_scope(uint32_t) {}

}  // namespace kivo
