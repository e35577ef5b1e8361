// The interpreter in the layers below: its routine file for the statement
// compiler's CALL names.
#include "compiler/compiler.h"
#include "interp/interp.h"

namespace kivo {

void interp_register_hooks() {
  compiler_hooks.ifns_arb = [] { return rt_ifns_arb; };
}

}  // namespace kivo
