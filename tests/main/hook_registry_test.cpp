// Every hook of src/README.md's table, what fills it, and whether main's
// registration leaves one empty that it should fill. The table below and the
// README's must name the same hooks, so neither drifts from the other.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/em.h"
#include "compiler/pc_cmpl.h"
#include "design/design.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "foundation/foundation.h"
#include "foundation/opt_token.h"
#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/ii_run.h"
#include "interp/interp.h"
#include "kivo_hooks.h"
#include "net/tmnet_cli.h"
#include "net/tmnet_keys.h"
#include "net/tmnet_srv.h"
#include "process/rm.h"
#include "screen/screen.h"
#include "screen/tm.h"
#include "screen/wm_term.h"
#include "store/analyser.h"
#include "store/data_file.h"
#include "store/lock.h"
#include "store/store.h"
#include "types/cnv.h"
#include "types/types.h"

namespace kivo {
namespace {

// Who fills a hook. kMain: main's registration, checked here; kStatic: its
// definition, checked here; kStart: a subsystem's start (`by` names it);
// kDefault: a default that only tests replace; kPending: a subsystem not
// built yet (`by` names the issue that fills it). Only kPending may stay
// empty for good, and that list only shrinks.
enum filler { kMain, kStatic, kStart, kDefault, kPending };

struct hook_row {
  const char* name;  // the first name of its row in src/README.md
  filler who;
  const char* by;
  std::function<bool()> filled;  // kMain and kStatic rows
};

template <class T>
bool any_set(const T& t) {
  static const T zero{};
  return memcmp(&t, &zero, sizeof t) != 0;
}

const std::vector<hook_row>& hook_rows() {
  static const std::vector<hook_row> rows = {
      {"ut_clear_hooks", kMain, "wm, pi, fm register; modules at pl_init",
       [] { return ut_clear_hooks.windows && ut_clear_hooks.sorted_queries && ut_clear_hooks.files; }},
      {"foundation_hooks.fm_init", kMain, "fm_register_hooks", [] { return foundation_hooks.fm_init != nullptr; }},
      {"ss_remote_hooks", kMain, "net_register_hooks", [] { return ss_remote_hooks.connect && ss_remote_hooks.ping; }},
      {"foundation_hooks.ddb_lookup", kMain, "pi_register_hooks",
       [] { return foundation_hooks.ddb_lookup != nullptr; }},
      {"brf_key_file", kStatic, "the key-file code", [] { return brf_key_file.open && brf_key_file.close; }},
      {"store_hooks.anal_headerless", kMain, "fm_register_hooks",
       [] { return store_hooks.anal_headerless != nullptr; }},
      {"store_hooks.lock_break_requested", kMain, "tools_register_hooks",
       [] { return store_hooks.lock_break_requested != nullptr; }},
      {"fm_hooks.pm_user", kPending, "not filed yet: the process executive reading USER", nullptr},
      {"fm_hooks.pb_init", kMain, "pi_register_hooks", [] { return fm_hooks.pb_init != nullptr; }},
      {"foundation_hooks.err_presenter", kDefault, "tests", nullptr},
      {"store_hooks.lock_status", kStart, "wm_init", nullptr},
      {"foundation_hooks.err_screen", kMain, "wm_register_hooks",
       [] { return foundation_hooks.err_screen != nullptr; }},
      {"screen_hooks.wm", kMain, "wm_register_hooks (show: wm_init)",
       [] { return screen_hooks.wm.write_reg != nullptr; }},
      {"ss_set_fatal_tty", kStart, "tm_init", nullptr},
      {"foundation_hooks.yield_signals", kStart, "tm_init", nullptr},
      {"tm_hooks.get_ed", kStart, "the window manager, the remote client's login", nullptr},
      {"tm_hooks.get_opt", kMain, "tools_register_hooks (remote_term_register)",
       [] { return tm_hooks.cli_setargs != nullptr; }},
      {"tm_hooks.process_name", kMain, "pi_register_hooks", [] { return tm_hooks.process_name != nullptr; }},
      {"tm_hooks.debug_break", kMain, "tools_register_hooks", [] { return tm_hooks.debug_break != nullptr; }},
      {"screen_hooks.remote_ops", kMain, "tools_register_hooks (remote_term_register)",
       [] { return screen_hooks.remote_ops != nullptr; }},
      {"tmnet_srv_hooks", kMain, "tools_register_hooks (remote_term_register)",
       [] { return any_set(tmnet_srv_hooks); }},
      {"tmnet_cli_term", kMain, "tools_register_hooks (remote_term_register)", [] { return any_set(tmnet_cli_term); }},
      {"tmnet_keymap_file", kMain, "tools_register_hooks (remote_term_register)",
       [] { return any_set(tmnet_keymap_file); }},
      {"screen_hooks.status_show", kStart, "wm_init", nullptr},
      {"types_hooks.typed_date", kStart, "cv_init", nullptr},
      {"fms_select", kStart, "the native back-end's start", nullptr},
      {"fm_sa_hooks", kMain, "pi_register_hooks", [] { return fm_sa_hooks.get_dap && fm_sa_hooks.get_ddb; }},
      {"fms_backends", kMain, "fm_register_hooks, net_register_hooks",
       [] { return fms_backends.native && fms_backends.remote; }},
      {"em_layout", kStart, "pc_init, em_create", nullptr},
      {"em_files", kStatic, "the file manager's create, write and close",
       [] { return em_files.create && em_files.append && em_files.close; }},
      {"foundation_hooks.maddr", kStart, "pc_init, em_create", nullptr},
      {"types_hooks.tokens", kMain, "fm_register_hooks",
       [] {
         const token_hooks& t = types_hooks.tokens;
         return t.load && t.by_text && t.by_code && t.init;
       }},
      {"foundation_hooks.opt_lookup", kMain, "fm_register_hooks",
       [] { return foundation_hooks.opt_lookup.by_name && foundation_hooks.opt_lookup.by_code; }},
      {"types_hooks.stamp_name", kStart, "pc_init", nullptr},
      {"ii_hooks.add_msg", kMain, "ii_register_hooks", [] { return ii_hooks.add_msg != nullptr; }},
      {"ii_hooks.invoke", kMain, "pi_register_hooks", [] { return ii_hooks.invoke != nullptr; }},
      {"foundation_hooks.design_recs", kStart, "pi_init", nullptr},
      {"ii_hooks.place_file", kMain, "pi_register_hooks",
       [] {
         return ii_hooks.place_file && ii_hooks.pcf_start && ii_hooks.pcf_read && ii_hooks.pcf_rdnxt &&
                ii_hooks.pcf_write && ii_hooks.pcf_rewrite && ii_hooks.pcf_del;
       }},
      {"ii_hooks.print", kStart, "op_init", nullptr},
      {"ih_put", kStart, "the process engine, per invocation", nullptr},
      {"ii_dbg_hooks", kMain, "tools_register_hooks",
       [] {
         return ii_dbg_hooks.inst_trap && ii_dbg_hooks.inst_step_break && ii_dbg_hooks.dbg_init &&
                ii_dbg_hooks.dbg_chk_watches;
       }},
      {"types_hooks.xlate_fld", kMain, "fm_register_hooks", [] { return types_hooks.xlate_fld != nullptr; }},
      {"fm_hooks.xlate_proc", kPending, "not filed yet: the process engine running \"TRANSLATE FIELD\"", nullptr},
      {"rm_files", kStatic, "the file manager's create", [] { return rm_files.create != nullptr; }},
      {"pi_type_rows", kStart, "mp_init, ip_init, op_init, ap_init, qp_init", nullptr},
      {"fp_types", kStart, "mp_init, ip_init", nullptr},
      {"op_reader", kDefault, "tests", nullptr},
      {"ap_sum_roll", kDefault, "tests", nullptr},
      {"op_output_sink", kDefault, "tests", nullptr},
      {"compiler_hooks.pl", kStart, "pl_init", nullptr},
      {"foundation_hooks.mm_reset", kStart, "mm_fms_install", nullptr},
      {"foundation_hooks.mm_dump", kStart, "pl_init", nullptr},
      {"compiler_hooks.ifns_arb", kStart, "rt_init", nullptr},
      {"rt_add_fn", kStart, "the subsystems' starts and registration", nullptr},
      {"fm_proc_hooks.pb_attach", kMain, "pi_register_hooks, tools_register_hooks (pb_attach: pb_init)",
       [] {
         return fm_proc_hooks.invoc && fm_proc_hooks.pl_get && fm_proc_hooks.proc_exec && fm_proc_hooks.dbg_cleanup;
       }},
      {"pb_build", kStart, "pb_init", nullptr},
      {"pb_progress_show", kDefault, "tests", nullptr},
      {"bs_hooks.bootstrap", kMain, "bs_register_hooks", [] { return bs_hooks.bootstrap != nullptr; }},
      {"se_show", kDefault, "the tool harness", nullptr},
      {"pi_hooks.exec", kDefault, "tests; the tool harness", nullptr},
      {"compiler_hooks.invoc_template", kMain, "pi_register_hooks",
       [] { return compiler_hooks.invoc_template != nullptr; }},
  };
  return rows;
}

// The hooks main's registration (or their definition) should fill that are
// empty.
std::vector<std::string> empty_hooks() {
  std::vector<std::string> out;
  for (const hook_row& r : hook_rows())
    if ((r.who == kMain || r.who == kStatic) && !r.filled()) out.push_back(r.name);
  return out;
}

struct readme_row {
  std::string name;    // the first name in backticks
  std::string header;  // the header of its "Offered by" cell
};

// The rows of the hook table in src/README.md.
std::vector<readme_row> readme_rows() {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/src/README.md");
  std::vector<readme_row> out;
  std::string line;
  bool in_table = false;
  while (std::getline(in, line)) {
    if (line.rfind("| Hook |", 0) == 0) in_table = true;
    else if (in_table && line.rfind("| `", 0) != 0 && line.rfind("|---", 0) != 0) break;
    else if (in_table && line.rfind("| `", 0) == 0) {
      readme_row r;
      const size_t a = line.find('`') + 1;
      r.name = line.substr(a, line.find('`', a) - a);
      // The cells are split at " | "; the second names the header(s).
      const size_t c1 = line.find(" | ", a);
      const size_t c2 = line.find(" | ", c1 + 3);
      std::string cell = line.substr(c1 + 3, c2 - c1 - 3);
      r.header = cell.substr(0, cell.find(','));
      out.push_back(r);
    }
  }
  return out;
}

class HookRegistry : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { kivo_register_hooks(); }
};

TEST_F(HookRegistry, MainFillsEveryHookNotPending) { EXPECT_EQ(empty_hooks(), std::vector<std::string>{}); }

TEST_F(HookRegistry, PendingHooksNameWhatFillsThem) {
  for (const hook_row& r : hook_rows()) {
    SCOPED_TRACE(r.name);
    EXPECT_TRUE(r.by && *r.by);
    if (r.who == kPending) {
      EXPECT_TRUE(strstr(r.by, "issue ") || strstr(r.by, "not filed yet"));
    }
    EXPECT_EQ(r.who == kMain || r.who == kStatic, bool(r.filled));
  }
}

// A hook the registration leaves empty is reported by its name.
TEST_F(HookRegistry, AnEmptyHookFails) {
  struct plant {
    const char* name;
    std::function<void()> clear, restore;
  };
  const auto add_msg = ii_hooks.add_msg;
  const auto template_ = compiler_hooks.invoc_template;
  const auto xlate = types_hooks.xlate_fld;
  const auto windows = ut_clear_hooks.windows;
  const plant plants[] = {
      {"ii_hooks.add_msg", [] { ii_hooks.add_msg = nullptr; }, [&] { ii_hooks.add_msg = add_msg; }},
      {"compiler_hooks.invoc_template", [] { compiler_hooks.invoc_template = nullptr; },
       [&] { compiler_hooks.invoc_template = template_; }},
      {"types_hooks.xlate_fld", [] { types_hooks.xlate_fld = nullptr; }, [&] { types_hooks.xlate_fld = xlate; }},
      {"ut_clear_hooks", [] { ut_clear_hooks.windows = nullptr; }, [&] { ut_clear_hooks.windows = windows; }},
  };
  for (const plant& p : plants) {
    SCOPED_TRACE(p.name);
    p.clear();
    EXPECT_EQ(empty_hooks(), std::vector<std::string>{p.name});
    p.restore();
    EXPECT_EQ(empty_hooks(), std::vector<std::string>{});
  }
}

// The README's table and this one name the same hooks, each once, and every
// header the README names exists.
TEST_F(HookRegistry, ReadmeTableMatches) {
  const std::vector<readme_row> readme = readme_rows();
  ASSERT_GT(readme.size(), 40u);
  std::set<std::string> ours, theirs;
  for (const hook_row& r : hook_rows()) EXPECT_TRUE(ours.insert(r.name).second) << r.name;
  for (const readme_row& r : readme) {
    EXPECT_TRUE(theirs.insert(r.name).second) << r.name;
    std::ifstream h(std::string(KIVO_SOURCE_DIR) + "/src/" + r.header);
    EXPECT_TRUE(h.good()) << r.name << ": no header " << r.header;
  }
  EXPECT_EQ(ours, theirs);
}

}  // namespace
}  // namespace kivo
