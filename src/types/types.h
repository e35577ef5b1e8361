// The hooks the types offer the layers above, each filled by the subsystem
// named beside it; an empty entry behaves as its comment says.
#pragma once

#include "types/cnv.h"
#include "types/typed_value.h"

namespace kivo {

struct types_hook_table {
  // Typed dates through the compiled storage mask (cv_init). Empty: a typed
  // date is invalid.
  typed_date_fn typed_date;
  // The token tables of alpha fields (the file manager's caches). Empty
  // entries know no group and no token.
  token_hooks tokens;
  // Names an 8-byte stamp in 8 characters (the loader's pl_gen_nam, at
  // pc_init). Empty: the names of cv_get_token_info are blank.
  stamp_name_fn stamp_name;
  // Field translation of alpha text between display and stored form (the
  // file manager's). Empty: the text stays as it is.
  xlate_fld_fn xlate_fld;
};
extern types_hook_table types_hooks;

}  // namespace kivo
