// The application's date mask and its fallbacks.
#include "foundation/app_date_mask.h"

#include <cstring>

#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"

namespace kivo {

namespace {

// Copies a 60-character mask at `p` when it is there and not blank.
bool take_mask(char* mask, const void* p) {
  if (!p || ut_is_all(p, ' ', kAppDateMaskLen)) return false;
  memcpy(mask, p, kAppDateMaskLen);
  return true;
}

}  // namespace

const ut_design_recs& ut_get_design_recs() { return foundation_hooks.design_recs; }

bool ut_design_appl_missing(const char* ap, const char* ver) {
  return foundation_hooks.design_recs.dap && !foundation_hooks.design_recs.dap(ap, ver);
}

int ut_design_date_msk(const char* ap, const char* ver, char* mask) {
  const uint8_t* appl = foundation_hooks.design_recs.dap ? foundation_hooks.design_recs.dap(ap, ver) : nullptr;
  if (take_mask(mask, appl ? appl + kApplDateMaskOffset : nullptr)) return 1;
  const uint8_t* sysparm = foundation_hooks.design_recs.dsysparm ? foundation_hooks.design_recs.dsysparm() : nullptr;
  return take_mask(mask, sysparm ? sysparm + kSysparmDateMaskOffset : nullptr) ? 1 : 0;
}

int ut_get_date_msk(const char* ap, const char* ver, char* mask) {
  const char* missing = !ap ? "ap" : !ver ? "ver" : !mask ? "date_msk" : nullptr;
  if (missing) {
    sys_err("UT", __LINE__, "ut_get_date_msk - missing %s", missing);
    return 0;
  }
  if (ut_design_date_msk(ap, ver, mask)) return 1;
  if (take_mask(mask, com.dt_sample)) return 1;
  ut_cpy_fill(mask, kBuiltinDateMask, kAppDateMaskLen);
  return 1;
}

}  // namespace kivo
