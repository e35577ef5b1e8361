// Operations on whole files (see whole_file.h). The commit runs each phase
// over every disk back-end that takes part (fms_commit).
#include "fm/whole_file.h"

#include "fm/fm_switch.h"
#include "foundation/sys_err.h"

namespace kivo {

int fm_commit(int mode) {
  switch (mode) {
    case 0: return fms_commit(0) && fms_commit(1);
    case 1: return fms_commit(1);
    case 2: return fms_commit(0) && fms_commit(2);
    default: sys_err("FMFI", __LINE__, "fm_commit - invalid commit mode"); return 0;
  }
}

}  // namespace kivo
