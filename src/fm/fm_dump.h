// Listings of the file manager's bookkeeping, to be called from a debugger:
// the PFB and LFN control files, the global PFB list with its opens, one
// file's records, and checks of the object lists. Nothing in the engine
// calls them. With `to_file` set the listing goes to "pfb.out", "lfn.out",
// "lfb.out" or "sarb.out" in the current directory, else to standard error.
#pragma once

#include "fm/fm_objects.h"

namespace kivo {

// The object graph of a handle: its group, the group's files with their
// streams, and its own streams; to `file` (opened "w") or standard error.
void dump_arb(const char* file, ARB* arb);

void dbg_dump_all(int to_file);
void dbg_dump_pfb(int to_file);
void dbg_dump_lfn(int to_file);
void dbg_dump_lfb(int to_file);
void dbg_dump_sarb(int to_file);
// The handle's physical file and its paths; with `records` every record as
// a hex dump, read through a handle attached for it. Standard output.
void dbg_dump_fi(ARB* arb, int records);
// Every PFB of the session with its opens; standard output.
void dbg_fm();
// Every LFN record in one line each; standard output.
void dbg_fm_short();
// Checks the PFB and MARB lists and the lists below them; 1 when sound.
int dbg_fm_lst();
void dbg_pfb_lst();
int dbg_marb_lst(MARB* marb);
int dbg_sarb_lst(SARB* sarb);
int dbg_lfb_lst(LFB* lfb);

}  // namespace kivo
