// The file manager in the layers below: its start-up in the foundation's, its
// clean-up of a level, the token caches and field translation behind the
// conversions, the structure files' layout and record length for the
// verifier and the flat transfer; and, once its memory files exist, their
// release before the pools go.
#include "fm/fm.h"

#include "fm/fm_xlate.h"
#include "fm/memfile.h"
#include "fm/struct_file.h"
#include "fm/token_cache.h"
#include "foundation/foundation.h"
#include "foundation/scope.h"
#include "store/store.h"
#include "types/types.h"

namespace kivo {

void fm_start_hooks() { foundation_hooks.mm_reset = mm_destroy_all; }

void fm_register_hooks() {
  foundation_hooks.fm_init = fm_init;
  token_fill_hooks();
  ut_clear_hooks.files = fm_clr_scope;
  types_hooks.xlate_fld = fm_xlate_cnv;
  store_hooks.anal_headerless = struct_file_layout;
  store_hooks.described_rec_len = struct_file_rec_len;
}

}  // namespace kivo
