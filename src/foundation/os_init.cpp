// Start-up of the common block, the operating-system layer and the file manager.
#include <cstdio>
#include <cstdlib>

#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/paths.h"

namespace kivo {

int os_init(int argc, char** argv) {
  os_clear_fake_time();
  if (const char* fake = getenv("KIVO_FAKE_TIME")) {
    if (!os_set_fake_time(fake))
      fprintf(stderr, "kivo: KIVO_FAKE_TIME (%.40s) is not a date and time CCYYMMDDhhmmssth; the real clock is used\n",
              fake);
  }
  com_fill(argc, argv);
  if (!ss_unix_init()) return 0;
  ss_clock now;
  ss_time(&now);
  ss_clock_store(com.stat_time, now);
  ss_bob_path(argc > 0 ? argv[0] : nullptr, &com.path_root, &com.data_dir, &com.spare_path);
  ss_trm_id(&com.trm_id);
  if (!foundation_hooks.fm_init || !foundation_hooks.fm_init()) {
    fputs("Fatal Initialization Error - ", stdout);
    fputs(foundation_hooks.fm_init ? "Unable to initialize the Generic File Handler\n"
                                   : "No file manager in this build\n",
          stdout);
    return 0;
  }
  return 1;
}

}  // namespace kivo
