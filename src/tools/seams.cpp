// The editors' and the debugger's seams: each entry starts as the real one,
// and only tests and the tool harness put another in.
#include "screen/wm_show.h"
#include "tools/dbg.h"
#include "tools/ie_internal.h"
#include "tools/tools.h"

namespace kivo {

tools_seam_table tools_seams = {wm_show, ie_put, nullptr, wm_show, dbg_show_stop, dbg_run_trigger};

}  // namespace kivo
