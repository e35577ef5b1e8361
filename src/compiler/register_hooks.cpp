// The compiler in the layers below: the figures of its compiled items for
// the descriptors, MADDR's reader, the stamps' names, the module cache in the
// allocation dump, the modules being built in the scope clearing, and the
// keys a structure file describes for the utilities that build key files.
#include "compiler/compiler.h"

#include "compiler/em.h"
#include "compiler/em_item.h"
#include "compiler/file_desc.h"
#include "foundation/foundation.h"
#include "foundation/scope.h"
#include "store/store.h"
#include "types/types.h"

namespace kivo {

void compiler_register_hooks() {
  em_set_layout();
  em_install_reader();
  types_hooks.stamp_name = pl_gen_nam;
  foundation_hooks.mm_dump = pl_dump;
  ut_clear_hooks.modules = em_clr_scope;
  store_hooks.key_definitions = struct_key_defs;
}

}  // namespace kivo
