// MADDR over the file manager's reader hook.
#include "foundation/maddr.h"

#include "foundation/foundation.h"
#include "foundation/sys_err.h"

namespace kivo {

uint8_t* MADDR(void* handle, uint32_t n) {
  if (!foundation_hooks.maddr) {
    sys_err("UT", __LINE__, "MADDR - no memory-file reader for record %u", n);
    return nullptr;
  }
  if (!handle) {
    sys_err("UT", __LINE__, "MADDR - no handle for record %u", n);
    return nullptr;
  }
  return foundation_hooks.maddr(handle, n);
}

}  // namespace kivo
