// The design files the run-time routines read of an application.
#include "compiler/pc.h"
#include "foundation/com.h"
#include "interp/interp.h"

namespace kivo {

ARB* ii_open_delem_fi(const char* ap, const char* ver, uint32_t* status) {
  return pc_open_delem(ap, ver, com.mark_scope, status);
}

}  // namespace kivo
