// Start-up of the common block, the operating-system layer and the file manager.
#include <cstdio>

#include "fm/scope_clear.h"
#include "foundation/com.h"
#include "foundation/os.h"

namespace kivo {

int os_init(int argc, char** argv) {
  com_fill(argc, argv);
  if (!ss_unix_init()) return 0;
  ss_time(com.stat_time);
  ss_bob_path();
  ss_trm_id(&com.trm_id);
  if (!fm_init()) {
    fputs("Fatal Initialization Error - ", stdout);
    fputs("Unable to initialize the Generic File Handler\n", stdout);
    return 0;
  }
  return 1;
}

}  // namespace kivo
