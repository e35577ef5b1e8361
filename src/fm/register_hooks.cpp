// The file manager's start-up and clean-up in the foundation's, its native
// back-end in the switch, and the token caches and field translation behind
// the conversions.
#include "fm/fm.h"

#include "fm/fm_xlate.h"
#include "fm/struct_file.h"
#include "fm/token_cache.h"
#include "fm/unix_fm.h"

#include "fm/fm_switch.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/scope.h"
#include "store/analyser.h"
#include "store/store.h"
#include "types/cnv.h"
#include "types/types.h"

namespace kivo {

void fm_register_hooks() {
  foundation_hooks.fm_init = fm_init;
  fms_backends.native = unix_fm_init;
  token_fill_hooks();
  ut_clear_hooks.files = fm_clr_scope;
  types_hooks.xlate_fld = fm_xlate_cnv;
  store_hooks.anal_headerless = struct_file_layout;
}

}  // namespace kivo
