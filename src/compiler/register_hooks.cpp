// The compiler in the layers below: the figures of its compiled items for
// the descriptors, MADDR's reader, the stamps' names, the module cache in the
// allocation dump and the modules being built in the scope clearing.
#include "compiler/compiler.h"

#include "compiler/em.h"
#include "compiler/em_item.h"
#include "foundation/foundation.h"
#include "foundation/scope.h"
#include "types/types.h"

namespace kivo {

void compiler_register_hooks() {
  em_set_layout();
  em_install_reader();
  types_hooks.stamp_name = pl_gen_nam;
  foundation_hooks.mm_dump = pl_dump;
  ut_clear_hooks.modules = em_clr_scope;
}

}  // namespace kivo
