// The foundation's hook table; every entry starts empty.
#include "foundation/foundation.h"

namespace kivo {

foundation_hook_table foundation_hooks;

}  // namespace kivo
