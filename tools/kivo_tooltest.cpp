// The tool harness: kivo itself (its start-up and main loop, running the
// process that -a=, -t= and -p= name) with the design tools' stand-ins added
// to the routine table: "IE_TOOLTEST" plays the design application around
// the image editor for the image whose key a SUBROUTINE passes; the
// statement editor's stand-ins and log are in editors/se_harness.h, the
// debugger's in tools/dbg_harness.h.
#include "editors/dbg_harness.h"
#include "editors/ie_harness.h"
#include "editors/se_harness.h"
#include "foundation/std_fds.h"

int kivo_main(int argc, char** argv);

int main(int argc, char** argv) {
  kivo::os_std_descriptors();  // before anything is opened
  kivo::ie_tooltest_register();
  kivo::se_tooltest_register();
  kivo::dbg_tooltest_register();
  return kivo_main(argc, argv);
}
