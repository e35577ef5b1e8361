// The hooks the types offer the layers above, each filled by the subsystem
// named beside it; an empty entry behaves as its comment says.
#pragma once

#include "foundation/hook_list.h"
#include "types/cnv.h"

namespace kivo {

struct types_hook_table {
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

// clang-format off
#define KIVO_TYPES_HOOKS(X)      \
  X(types_hooks, tokens.load)    \
  X(types_hooks, tokens.by_text) \
  X(types_hooks, tokens.by_code) \
  X(types_hooks, tokens.list)    \
  X(types_hooks, tokens.info)    \
  X(types_hooks, tokens.init)    \
  X(types_hooks, stamp_name)     \
  X(types_hooks, xlate_fld)
// clang-format on
KIVO_TABLE_LISTED(types_hooks, KIVO_TYPES_HOOKS);

}  // namespace kivo
