// File-manager services that start-up and scope clearing use.
#pragma once

#include <cstdint>

#include "foundation/hook_list.h"

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
// <library>_register_hooks named beside it; an empty entry behaves as its
// comment says.
struct fm_hook_table {
  // The sorted-query back-end's start-up that fm_init runs
  // (process_register_hooks: pb_init); 1 on success. Empty: no sorted
  // queries in this build.
  int (*pb_init)();
  // The current USER record for a print's "-user=" option, whose 80
  // characters after the 3-character user id are the option; null: none.
  // May stay empty until the process executive reads USER itself: the record
  // read at start-up serves (pm_start_up_user).
  const uint8_t* (*pm_user)();
  // Loading and running the translation subroutine "TRANSLATE FIELD" (the
  // process engine). May stay empty until the process engine runs it: no
  // subroutine, the pseudo-languages alone.
  const xlate_proc_hooks* xlate_proc;
};
extern fm_hook_table fm_hooks;

// clang-format off
#define KIVO_FM_HOOKS(X)  \
  X(fm_hooks, pb_init)    \
  X(fm_hooks, pm_user)    \
  X(fm_hooks, xlate_proc)
// clang-format on
KIVO_TABLE_LISTED(fm_hooks, KIVO_FM_HOOKS);

// Fills the hooks the file manager serves below it: fm_init and the release
// of the memory files in the foundation's start-up, fm_clr_scope in the
// scope clearing, the token caches and field translation behind the
// conversions, the structure files for the verifier; main calls it first
// thing (kivo_register_hooks).
void fm_register_hooks();
// The one hook filled at the memory files' start (mm_fms_install, at fm_init)
// rather than at registration: their release before mm_init drops the pools
// (foundation_hooks.mm_reset), so that whoever starts memory files (the
// engine, a build program, a test's file manager) has them released.
void fm_start_hooks();

}  // namespace kivo
