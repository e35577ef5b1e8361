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

struct xlate_proc_hooks;

// The hooks the file manager offers the layers above, each filled by the
// subsystem named beside it; an empty entry behaves as its comment says.
struct fm_hook_table {
  // The sorted-query back-end's start-up that fm_init runs (the process
  // engine); 1 on success. Empty: no sorted queries in this build.
  int (*pb_init)();
  // The current USER record for a print's "-user=" option, whose 80
  // characters after the 3-character user id are the option (the process
  // executive, once it reads USER). Starts as the record read at start-up
  // (pm_start_up_user); empty: none, the option is empty.
  const uint8_t* (*pm_user)();
  // Loading and running the translation subroutine "TRANSLATE FIELD" (the
  // process engine, once pl_get runs processes). Null: no subroutine, the
  // pseudo-languages alone.
  const xlate_proc_hooks* xlate_proc;
};
extern fm_hook_table fm_hooks;

// Puts fm_init and fm_clr_scope in the foundation's start-up and scope
// clearing, and the token caches behind the conversions; main calls it
// before os_init.
void fm_register_hooks();

}  // namespace kivo
