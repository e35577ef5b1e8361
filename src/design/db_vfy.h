// The verify run, "DB_VFY": a file checked record by record by a generated
// process against its dictionary description and, on request, its lookups.
//
// Callers: the routine table (dd_init) and the tests.
#pragma once

#include <cstdint>

#include "foundation/paths.h"

namespace kivo {

struct ARB;
struct PCB;

// Checks the file at `path`: with `lookups` '1' every field naming a
// lookup is looked up (with `blanks` '0' only fields holding a value).
// ENTRY RESTRUCT STAT1 as the run left it (1220 after warnings), or 0.
uint32_t db_vfy(PCB* caller, const FDB_PATH& path, char lookups, char blanks);
// Every statement of the verify process into the STMT handle `a`; the
// sequence runs on across the event points. 1, or 0 after a system error.
int bld_vfy_ep(const FDB_PATH& path, const uint8_t* proc, ARB* a, char lookups, char blanks);
// The PROCESS record of the verify process of `path`.
void vfy_process_rec(const FDB_PATH& path, uint8_t* pr);

}  // namespace kivo
