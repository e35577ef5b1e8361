// MADDR over the file manager's reader hook.
#include "foundation/maddr.h"

#include "foundation/sys_err.h"

namespace kivo {

namespace {

maddr_reader g_reader;

}  // namespace

maddr_reader set_maddr_reader(maddr_reader reader) {
  maddr_reader old = g_reader;
  g_reader = reader;
  return old;
}

uint8_t* MADDR(void* handle, uint32_t n) {
  if (!g_reader) {
    sys_err("UT", __LINE__, "MADDR - no memory-file reader for record %u", n);
    return nullptr;
  }
  if (!handle) {
    sys_err("UT", __LINE__, "MADDR - no handle for record %u", n);
    return nullptr;
  }
  return g_reader(handle, n);
}

}  // namespace kivo
