// main's registration and its start of the subsystems above the window
// manager, apart from main so that a test runs the same.
#include "kivo_hooks.h"

#include "compiler/compiler.h"
#include "design/design.h"
#include "editors/editors.h"
#include "editors/se_edit.h"
#include "fm/fm.h"
#include "interp/interp.h"
#include "net/net.h"
#include "process/process.h"
#include "screen/screen.h"

namespace kivo {

const std::vector<kivo_registration>& kivo_registrations() {
  static const std::vector<kivo_registration> list = {
      {"fm_register_hooks", fm_register_hooks},           {"screen_register_hooks", screen_register_hooks},
      {"net_register_hooks", net_register_hooks},         {"compiler_register_hooks", compiler_register_hooks},
      {"interp_register_hooks", interp_register_hooks},   {"process_register_hooks", process_register_hooks},
      {"editors_register_hooks", editors_register_hooks},
  };
  return list;
}

void kivo_register_hooks() {
  for (const kivo_registration& r : kivo_registrations()) r.fill();
}

void kivo_start_subsystems() {
  pc_init();
  rt_init();
  sc_init();
  ii_init();
  se_init();
  rm_init();
  op_init();
  fp_init();
  mp_init();
  ip_init();
  ap_init();
  qp_init();
  dd_init();
}

}  // namespace kivo
