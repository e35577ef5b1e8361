// The types' hook table; every entry starts empty.
#include "types/types.h"

namespace kivo {

types_hook_table types_hooks;

}  // namespace kivo
