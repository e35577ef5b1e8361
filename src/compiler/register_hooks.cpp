// The compiler's entries for the layers below: the figures of its compiled
// items for the descriptors, MADDR's reader and the stamps' names.
#include "compiler/compiler.h"

#include "compiler/em.h"
#include "compiler/em_item.h"
#include "types/types.h"

namespace kivo {

void compiler_register_hooks() {
  em_set_layout();
  em_install_reader();
  types_hooks.stamp_name = pl_gen_nam;
}

}  // namespace kivo
