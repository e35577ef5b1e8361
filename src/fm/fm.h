// File-manager services that start-up and scope clearing use.
#pragma once

#include <cstdint>

namespace kivo {

// Start-up of the file manager: the memory manager and the back-ends (the
// sorted-query one last), the remote entry of KIVO_DATA_SERVER, the session
// pool, the descriptor templates, the PFB, LFN and STRUCT control files and
// the record-cache file. Returns 1 on success.
int fm_init();

// Closes, scratches and detaches what `level` and deeper opened, inner
// scopes first; scoped temporary files of those levels are scratched.
void fm_clr_scope(uint32_t level);

// The sorted-query back-end's start-up that fm_init runs, filled by the
// process engine; 1 on success. Empty: no sorted queries in this build.
extern int (*fm_pb_init)();

// Puts fm_init and fm_clr_scope in the foundation's start-up and scope
// clearing, and the token caches behind the conversions; main calls it
// before os_init.
void fm_register_hooks();

}  // namespace kivo
