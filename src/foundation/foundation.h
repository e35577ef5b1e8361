// The hooks the foundation offers the layers above: each is filled by the
// subsystem named beside it (its register_hooks or its start), or by a test.
// An empty entry behaves as the comment on it says.
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/app_date_mask.h"
#include "foundation/maddr.h"
#include "foundation/opt_token.h"
#include "foundation/sys_err.h"

namespace kivo {

struct foundation_hook_table {
  // The file manager's start-up that os_init runs last; 1 on success. Empty:
  // no file manager in this build, os_init fails.
  int (*fm_init)();
  // The database record (DDB) of a database id, for $(...) path variables
  // (the process engine); null or a null result: no record, the version
  // stays empty.
  const uint8_t* (*ddb_lookup)(const char* db_id);
  // The text form of a system error (tests take it over); returning means
  // "continue". Empty: the text on stderr and in KIVOERR.
  sys_err_presenter err_presenter;
  // The system-error window of the window manager, used only while
  // `os_ready` is 1; its result says how the user answered. Empty: the text
  // form.
  sys_err_screen err_screen;
  // Acts on the signals that the terminal's handler recorded (end the level,
  // suspend, debugger break); the terminal manager fills it at tm_init.
  // Empty: no terminal, nothing recorded.
  void (*yield_signals)();
  // MADDR's reading of a memory-file record by number (the compiler's, at
  // pc_init and em_create). Empty: MADDR reports and gives null.
  maddr_reader maddr;
  // The OPT group behind ut_get_opt (the runtime's TOKEN file). Empty: a
  // TOKEN file that cannot be opened.
  ut_opt_lookup opt_lookup;
  // The APPL and SYSPARM records (the process engine, at pi_init). Empty:
  // missing records.
  ut_design_recs design_recs;
  // Run by mm_init before it destroys the pools: the memory files release
  // the heap memory they keep inside pool blocks. Null: none.
  void (*mm_reset)();
  // The end of the allocation dump: the module loader's cache (pl_dump, at
  // pl_init). Null: nothing more is dumped.
  void (*mm_dump)(FILE* out);
};
extern foundation_hook_table foundation_hooks;

}  // namespace kivo
