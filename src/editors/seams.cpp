// The editors' and the debugger's seams: each entry starts as the real one,
// and only tests and the tool harness put another in.
#include "editors/dbg.h"
#include "editors/editors.h"
#include "editors/ie_internal.h"
#include "screen/wm_show.h"

namespace kivo {

editors_seam_table editors_seams = {wm_show, ie_put, nullptr, wm_show, dbg_show_stop, dbg_run_trigger};

}  // namespace kivo
