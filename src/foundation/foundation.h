// The hooks the foundation offers the layers above, each filled by the
// <library>_register_hooks named beside it; an empty entry behaves as the
// comment on it says. Then the foundation's seams, which tests replace.
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/app_date_mask.h"
#include "foundation/hook_list.h"
#include "foundation/maddr.h"
#include "foundation/opt_token.h"
#include "foundation/sys_err.h"

namespace kivo {

struct foundation_hook_table {
  // The file manager's start-up that os_init runs last (fm_register_hooks);
  // 1 on success. Empty: no file manager in this build, os_init fails.
  int (*fm_init)();
  // The database record (DDB) of a database id, for $(...) path variables
  // (process_register_hooks); null or a null result: no record, the version
  // stays empty.
  const uint8_t* (*ddb_lookup)(const char* db_id);
  // The system-error window of the window manager (screen_register_hooks),
  // used only while `os_ready` is 1; its result says how the user answered.
  // Empty: the text form.
  sys_err_screen err_screen;
  // Acts on the signals that the terminal's handler recorded: end the level,
  // suspend, debugger break (screen_register_hooks). Empty: no terminal,
  // nothing recorded.
  void (*yield_signals)();
  // MADDR's reading of a memory-file record by number (the compiler's,
  // compiler_register_hooks). Empty: MADDR reports and gives null.
  maddr_reader maddr;
  // The OPT group behind ut_get_opt, the runtime's TOKEN file
  // (fm_register_hooks). Empty: a TOKEN file that cannot be opened.
  ut_opt_lookup opt_lookup;
  // The APPL and SYSPARM records, filled at the process engine's start
  // (pi_init, process/register_hooks.cpp): once it runs, a record it cannot
  // find is missing, while before it there are no records at all. Empty:
  // no records.
  ut_design_recs design_recs;
  // Run by mm_init before it destroys the pools: the memory files release
  // the heap memory they keep inside pool blocks (filled at the memory files'
  // start, fm_start_hooks). Null: none.
  void (*mm_reset)();
  // The end of the allocation dump: the module loader's cache (pl_dump,
  // compiler_register_hooks). Null: nothing more is dumped.
  void (*mm_dump)(FILE* out);
};
extern foundation_hook_table foundation_hooks;

// clang-format off
#define KIVO_FOUNDATION_HOOKS(X)            \
  X(foundation_hooks, fm_init)              \
  X(foundation_hooks, ddb_lookup)           \
  X(foundation_hooks, err_screen)           \
  X(foundation_hooks, yield_signals)        \
  X(foundation_hooks, maddr)                \
  X(foundation_hooks, opt_lookup.by_name)   \
  X(foundation_hooks, opt_lookup.by_code)   \
  X(foundation_hooks, design_recs.dap)      \
  X(foundation_hooks, design_recs.dsysparm) \
  X(foundation_hooks, mm_reset)             \
  X(foundation_hooks, mm_dump)
// clang-format on
KIVO_TABLE_LISTED(foundation_hooks, KIVO_FOUNDATION_HOOKS);

// What tests replace in the foundation; each entry starts as the real one.
struct foundation_seam_table {
  // The text form of a system error: the text on stderr, then a line read
  // from standard input; returning means "continue" (tests capture it).
  sys_err_presenter err_presenter;
};
extern foundation_seam_table foundation_seams;

// clang-format off
#define KIVO_FOUNDATION_SEAMS(X)     \
  X(foundation_seams, err_presenter)
// clang-format on
KIVO_TABLE_LISTED(foundation_seams, KIVO_FOUNDATION_SEAMS);

}  // namespace kivo
