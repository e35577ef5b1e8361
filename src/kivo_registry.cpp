// The registry: every table's X-macro list expanded into entries, the
// header of each found by its own __FILE__, and the lists of hooks that may
// stay empty or wait for a start.
#include "kivo_registry.h"

#include <cstring>
#include <type_traits>

#include "compiler/compiler.h"
#include "compiler/em.h"
#include "editors/editors.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "foundation/descriptors.h"
#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/os_calls.h"
#include "foundation/scope.h"
#include "interp/ii_run.h"
#include "interp/interp.h"
#include "net/tmnet_cli.h"
#include "net/tmnet_keys.h"
#include "net/tmnet_srv.h"
#include "process/process.h"
#include "screen/screen.h"
#include "screen/tm.h"
#include "store/data_file.h"
#include "store/store.h"
#include "types/types.h"

namespace kivo {

namespace {

// The header's path from src/ on.
const char* from_src(const char* file) {
  const char* at = strstr(file, "/src/");
  return at ? at + 5 : file;
}

#define KIVO_REGISTRY_ENTRY(table, entry)                                                                          \
  out.push_back({#table, #table "." #entry, from_src(kivo_table_header_##table), kind, &table.entry, &empty.entry, \
                 sizeof(table.entry)});

// Adds every entry of one table; `empty` is the table value-initialised.
#define KIVO_REGISTRY_TABLE(table, list)                       \
  do {                                                         \
    static const std::remove_cvref_t<decltype(table)> empty{}; \
    list(KIVO_REGISTRY_ENTRY)                                  \
  } while (0)

// A table of figures rather than functions (em_layout) is one entry, filled
// when any figure differs from its default: a figure may keep its default.
#define KIVO_REGISTRY_WHOLE(table)                                                                             \
  do {                                                                                                         \
    static const std::remove_cvref_t<decltype(table)> empty{};                                                 \
    out.push_back({#table, #table, from_src(kivo_table_header_##table), kind, &table, &empty, sizeof(table)}); \
  } while (0)

std::vector<registry_entry> build() {
  std::vector<registry_entry> out;
  registry_kind kind = registry_kind::hook;
  KIVO_REGISTRY_TABLE(foundation_hooks, KIVO_FOUNDATION_HOOKS);
  KIVO_REGISTRY_TABLE(ut_clear_hooks, KIVO_SCOPE_HOOKS);
  KIVO_REGISTRY_TABLE(ss_remote_hooks, KIVO_REMOTE_HOOKS);
  KIVO_REGISTRY_WHOLE(em_layout);
  KIVO_REGISTRY_TABLE(types_hooks, KIVO_TYPES_HOOKS);
  KIVO_REGISTRY_TABLE(store_hooks, KIVO_STORE_HOOKS);
  KIVO_REGISTRY_TABLE(fm_hooks, KIVO_FM_HOOKS);
  KIVO_REGISTRY_TABLE(fm_sa_hooks, KIVO_FM_SA_HOOKS);
  KIVO_REGISTRY_TABLE(fms_backends, KIVO_FMS_BACKEND_HOOKS);
  KIVO_REGISTRY_TABLE(fm_proc_hooks, KIVO_FM_PROC_HOOKS);
  KIVO_REGISTRY_TABLE(screen_hooks, KIVO_SCREEN_HOOKS);
  KIVO_REGISTRY_TABLE(tm_hooks, KIVO_TM_HOOKS);
  KIVO_REGISTRY_TABLE(tmnet_srv_hooks, KIVO_TMNET_SRV_HOOKS);
  KIVO_REGISTRY_TABLE(tmnet_cli_term, KIVO_TMNET_CLI_HOOKS);
  KIVO_REGISTRY_TABLE(tmnet_keymap_file, KIVO_TMNET_KEYMAP_HOOKS);
  KIVO_REGISTRY_TABLE(compiler_hooks, KIVO_COMPILER_HOOKS);
  KIVO_REGISTRY_TABLE(ii_hooks, KIVO_II_HOOKS);
  KIVO_REGISTRY_TABLE(ii_dbg_hooks, KIVO_II_DBG_HOOKS);
  kind = registry_kind::seam;
  KIVO_REGISTRY_TABLE(os_sys, KIVO_OS_SEAMS);
  KIVO_REGISTRY_TABLE(foundation_seams, KIVO_FOUNDATION_SEAMS);
  KIVO_REGISTRY_TABLE(brf_key_file, KIVO_KEY_FILE_SEAMS);
  KIVO_REGISTRY_TABLE(fms_select, KIVO_FMS_SELECT_SEAMS);
  KIVO_REGISTRY_TABLE(screen_seams, KIVO_SCREEN_SEAMS);
  KIVO_REGISTRY_TABLE(compiler_seams, KIVO_COMPILER_SEAMS);
  KIVO_REGISTRY_TABLE(em_files, KIVO_EM_FILE_SEAMS);
  KIVO_REGISTRY_TABLE(interp_seams, KIVO_INTERP_SEAMS);
  KIVO_REGISTRY_TABLE(process_seams, KIVO_PROCESS_SEAMS);
  KIVO_REGISTRY_TABLE(editors_seams, KIVO_TOOLS_SEAMS);
  return out;
}

}  // namespace

const std::vector<registry_entry>& kivo_registry() {
  static const std::vector<registry_entry> entries = build();
  return entries;
}

const std::vector<registry_empty_ok>& kivo_hooks_may_stay_empty() {
  static const std::vector<registry_empty_ok> list = {
      {"fm_hooks.pm_user",
       "pending: the process executive does not read USER itself yet; the record read at "
       "start-up serves"},
      {"tm_hooks.get_ed", "the remote client's login fills it; a local terminal's fields are the window manager's"},
      {"tm_hooks.get_opt", "the remote client's login fills it; a local terminal reads options with ut_get_opt"},
      {"tm_hooks.read_byte", "the remote client's login fills it; a local terminal reads with read_meta"},
  };
  return list;
}

const std::vector<registry_start_fill>& kivo_hooks_filled_at_start() {
  static const std::vector<registry_start_fill> list = {
      {"foundation_hooks.mm_reset", "fm_init",
       "the memory files' release is tied to their own start, whoever starts them (the engine, a build program, "
       "a test's file manager)"},
      {"foundation_hooks.design_recs.dap", "pi_init",
       "before the process engine starts there are no design records, which is not a record that is missing"},
      {"foundation_hooks.design_recs.dsysparm", "pi_init",
       "before the process engine starts there are no design records, which is not a record that is missing"},
  };
  return list;
}

}  // namespace kivo
