// The design build's entry for the layers below: the bootstrap of `kivo -b`.
#include "design/bs_boot.h"
#include "design/design.h"

namespace kivo {

void bs_register_hooks() { bs_hooks.bootstrap = bs_run; }

}  // namespace kivo
