// main's registration, apart from main so that a test runs the same.
#include "kivo_hooks.h"

#include "compiler/compiler.h"
#include "design/design.h"
#include "fm/fm.h"
#include "interp/interp.h"
#include "net/net.h"
#include "process/process.h"
#include "screen/screen.h"
#include "tools/tools.h"

namespace kivo {

void kivo_register_hooks() {
  fm_register_hooks();
  wm_register_hooks();
  net_register_hooks();
  compiler_register_hooks();
  ii_register_hooks();
  pi_register_hooks();
  bs_register_hooks();
  tools_register_hooks();
}

}  // namespace kivo
