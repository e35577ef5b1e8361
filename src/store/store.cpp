// The storage engine's hook table; every entry starts empty.
#include "store/store.h"

namespace kivo {

store_hook_table store_hooks;

}  // namespace kivo
