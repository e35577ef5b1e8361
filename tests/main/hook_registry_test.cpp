// Every hook of src/README.md's table, what fills it, and whether main's
// registration leaves one empty that it should fill. The table below and the
// README's must name the same hooks, so neither drifts from the other.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "build_start.h"
#include "compiler/compiler.h"
#include "compiler/em.h"
#include "compiler/pc_cmpl.h"
#include "design/design.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "fm/fm_xlate.h"
#include "foundation/end_codes.h"
#include "foundation/foundation.h"
#include "foundation/opt_token.h"
#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/ii_run.h"
#include "interp/interp.h"
#include "interp/rt_fns.h"
#include "kivo_hooks.h"
#include "net/tmnet_cli.h"
#include "net/tmnet_keys.h"
#include "net/tmnet_srv.h"
#include "process/fp.h"
#include "process/pb.h"
#include "process/pi_exec.h"
#include "process/process.h"
#include "process/rm.h"
#include "screen/screen.h"
#include "screen/tm.h"
#include "screen/tm_keys.h"
#include "screen/wm_show.h"
#include "screen/wm_term.h"
#include "store/analyser.h"
#include "store/data_file.h"
#include "store/lock.h"
#include "store/store.h"
#include "tools/tools.h"
#include "types/cnv.h"
#include "types/types.h"

namespace kivo {
namespace {

// Who fills a hook. kMain: main's registration; kStatic: its definition;
// kStart: a subsystem's start (`by` names it), checked after running the
// starts; kDefault: a default that only tests replace; kPending: a
// subsystem not built yet (`by` names the issue that fills it). Only
// kPending may stay empty for good, and that list only shrinks.
enum filler { kMain, kStatic, kStart, kDefault, kPending };

struct hook_row {
  const char* name;  // the first name of its row in src/README.md
  filler who;
  const char* by;
  std::function<bool()> filled;  // kMain, kStatic and kStart rows
};

// The execution every process type has until its start fills its row.
void (*g_unbuilt_exec)(PCB*, uint8_t*);

bool has_routine(const char* name) {
  size_t n = 0;
  const rt_fn_row* rows = int_fns_tbl(&n);
  for (size_t i = 0; i < n; ++i)
    if (rows[i].name && strcmp(rows[i].name, name) == 0) return true;
  return false;
}

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
      {"store_hooks.lock_status", kStart, "wm_init", [] { return store_hooks.lock_status != nullptr; }},
      {"foundation_hooks.err_screen", kMain, "wm_register_hooks",
       [] { return foundation_hooks.err_screen != nullptr; }},
      {"screen_hooks.wm", kMain, "wm_register_hooks (show: wm_init)",
       [] { return screen_hooks.wm.write_reg != nullptr; }},
      {"foundation_hooks.yield_signals", kStart, "tm_init", [] { return foundation_hooks.yield_signals != nullptr; }},
      {"tm_hooks.get_ed", kStart, "wm_init; the remote client's login", [] { return tm_hooks.get_ed != nullptr; }},
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
      {"screen_hooks.status_show", kStart, "wm_init", [] { return screen_hooks.status_show && screen_hooks.wm.show; }},
      {"types_hooks.typed_date", kStart, "cv_init", [] { return types_hooks.typed_date != nullptr; }},
      {"fms_select", kStart, "fm_init (the native back-end's system-administration files)",
       [] { return fms_select.read_sysdir && fms_select.read_sysdflt && fms_select.get_dap && fms_select.get_ddb; }},
      {"fm_sa_hooks", kMain, "pi_register_hooks", [] { return fm_sa_hooks.get_dap && fm_sa_hooks.get_ddb; }},
      {"fms_backends", kMain, "fm_register_hooks, net_register_hooks",
       [] { return fms_backends.native && fms_backends.remote; }},
      {"em_layout", kMain, "compiler_register_hooks", [] { return em_layout.cnv_len && em_layout.citm_len; }},
      {"em_files", kStatic, "the file manager's create, write and close",
       [] { return em_files.create && em_files.append && em_files.close; }},
      {"foundation_hooks.maddr", kMain, "compiler_register_hooks", [] { return foundation_hooks.maddr != nullptr; }},
      {"types_hooks.tokens", kMain, "fm_register_hooks",
       [] {
         const token_hooks& t = types_hooks.tokens;
         return t.load && t.by_text && t.by_code && t.init;
       }},
      {"foundation_hooks.opt_lookup", kMain, "fm_register_hooks",
       [] { return foundation_hooks.opt_lookup.by_name && foundation_hooks.opt_lookup.by_code; }},
      {"types_hooks.stamp_name", kMain, "compiler_register_hooks", [] { return types_hooks.stamp_name != nullptr; }},
      {"ii_hooks.add_msg", kMain, "ii_register_hooks", [] { return ii_hooks.add_msg != nullptr; }},
      {"ii_hooks.invoke", kMain, "pi_register_hooks", [] { return ii_hooks.invoke != nullptr; }},
      {"foundation_hooks.design_recs", kStart, "pi_init",
       [] { return foundation_hooks.design_recs.dap && foundation_hooks.design_recs.dsysparm; }},
      {"ii_hooks.place_file", kMain, "pi_register_hooks",
       [] {
         return ii_hooks.place_file && ii_hooks.pcf_start && ii_hooks.pcf_read && ii_hooks.pcf_rdnxt &&
                ii_hooks.pcf_write && ii_hooks.pcf_rewrite && ii_hooks.pcf_del;
       }},
      {"ii_hooks.print", kStart, "op_init", [] { return ii_hooks.print && ii_hooks.display; }},
      {"ii_dbg_hooks", kMain, "tools_register_hooks",
       [] {
         return ii_dbg_hooks.inst_trap && ii_dbg_hooks.inst_step_break && ii_dbg_hooks.dbg_init &&
                ii_dbg_hooks.dbg_chk_watches;
       }},
      {"types_hooks.xlate_fld", kMain, "fm_register_hooks", [] { return types_hooks.xlate_fld != nullptr; }},
      {"fm_hooks.xlate_proc", kMain, "pi_register_hooks (pi_fproc_register)",
       [] { return fm_hooks.xlate_proc && fm_hooks.xlate_proc->load && fm_hooks.xlate_proc->run; }},
      {"rm_files", kStatic, "the file manager's create", [] { return rm_files.create != nullptr; }},
      {"pi_type_rows", kStart, "mp_init, ip_init, op_init, ap_init, qp_init",
       [] {
         for (int t : {PT_MENU, PT_INPUT, PT_OUTPUT, PT_INQUIRY, PT_ACTION, PT_QUERY, PT_UPDATE, PT_JOB, PT_STATUS})
           if (pi_type_rows[t].exec == g_unbuilt_exec) return false;
         return true;
       }},
      {"fp_types", kStart, "mp_init, ip_init",
       [] { return fp_types[PT_MENU].start && fp_types[PT_MENU].key && fp_types[PT_INPUT].key; }},
      {"op_reader", kDefault, "tests", nullptr},
      {"pi_hooks.ap_sum_roll", kDefault, "tests", nullptr},
      {"pi_hooks.op_sink", kDefault, "tests", nullptr},
      {"compiler_hooks.pl", kStart, "pl_init", [] { return compiler_hooks.pl.get && compiler_hooks.pl.dump; }},
      {"foundation_hooks.mm_reset", kStart, "fm_init (mm_fms_install)",
       [] { return foundation_hooks.mm_reset != nullptr; }},
      {"foundation_hooks.mm_dump", kStart, "pl_init", [] { return foundation_hooks.mm_dump != nullptr; }},
      {"compiler_hooks.ifns_arb", kStart, "rt_init", [] { return compiler_hooks.ifns_arb != nullptr; }},
      {"rt_add_fn", kStart, "the tools' registration, dd_init",
       [] { return has_routine("SE_EDIT") && has_routine("IE_EDIT") && has_routine("DD_CMPL"); }},
      {"fm_proc_hooks.pb_attach", kMain, "pi_register_hooks, tools_register_hooks (pb_attach: pb_init)",
       [] {
         const fm_proc_hook_table& h = fm_proc_hooks;
         return h.load && h.prepare && h.run && h.release && h.data_size && h.store_data && h.restore_data &&
                h.dbg_cleanup;
       }},
      {"pi_hooks.pb_build", kStart, "fm_init (pb_init)",
       [] { return pi_hooks.pb_build && pi_hooks.pb_unbuild && fm_proc_hooks.pb_attach; }},
      {"pi_hooks.pb_progress", kDefault, "tests", nullptr},
      {"bs_hooks.bootstrap", kMain, "bs_register_hooks", [] { return bs_hooks.bootstrap != nullptr; }},
      {"tools_hooks.se_show", kDefault, "the tool harness", nullptr},
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
    EXPECT_EQ(r.who == kMain || r.who == kStatic || r.who == kStart, bool(r.filled));
  }
}

// The lines a child process writes to `fd` before it ends, with the child on
// a pseudo-terminal when `on_pty`; "exit N" is added unless it ended with 0.
std::vector<std::string> child_lines(bool on_pty, const std::function<void(FILE* out)>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {"no pipe"};
  int master = -1;
  winsize ws{24, 80, 0, 0};
  const pid_t pid = on_pty ? forkpty(&master, nullptr, nullptr, &ws) : fork();
  if (pid == 0) {
    close(fds[0]);
    FILE* out = fdopen(fds[1], "w");
    body(out);
    fclose(out);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buf[4096];
  // The pseudo-terminal is drained too, so that the child never waits on
  // a full one; the pipe's end is the child's.
  for (bool open = pid > 0; open;) {
    pollfd p[2] = {{fds[0], POLLIN, 0}, {master, POLLIN, 0}};
    if (poll(p, master >= 0 ? 2 : 1, 60000) <= 0) break;  // only a hung child takes a minute
    if (master >= 0 && (p[1].revents & (POLLIN | POLLHUP)) && read(master, buf, sizeof buf) <= 0) master = -1;
    if (p[0].revents & (POLLIN | POLLHUP)) {
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) open = false;
      else text.append(buf, size_t(n));
    }
  }
  close(fds[0]);
  int st = -1;
  if (pid > 0) waitpid(pid, &st, 0);
  if (master >= 0) close(master);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  if (st != 0) lines.push_back("exit " + std::to_string(st));
  return lines;
}

// A fresh data directory for the file manager's start, removed afterwards.
struct data_dir {
  data_dir() {
    char tmpl[] = "/tmp/kivo_hooks_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~data_dir() { std::filesystem::remove_all(path); }
  std::string path;
};

void quiet(const char*, int, const char*) {}

// Runs the starts main runs after the registration, the terminal's on the
// pseudo-terminal the child has, and names each hook that a start should
// have filled and did not.
void run_starts(FILE* out) {
  data_dir dir;
  setenv("TERM", "xterm", 1);
  com_fill(0, nullptr);
  mm_init();
  foundation_hooks.err_presenter = quiet;  // no prompt waits for a reply
  com.data_dir = cstr{static_cast<uint16_t>(dir.path.size()), dir.path.data()};
  com.path_root = cstr{0, nullptr};
  g_unbuilt_exec = pi_type_rows[PT_MENU].exec;
  if (fm_init() != 1) fprintf(out, "fm_init failed\n");
  if (!cv_init()) fprintf(out, "cv_init failed\n");
  pc_init(), pl_init(), rt_init();
  pi_init();  // its own hooks loaded from an installation; there is none here
  rm_init(), op_init(), fp_init(), mp_init(), ip_init(), ap_init(), qp_init(), dd_init();
  com.no_term = 0;
  tm_init(0);
  tm_finish();
  // The window manager reads its keymaps and messages; headless, it needs
  // no terminal of its own.
  memcpy(com.keymap_id, "xterm     ABC", 13);
  kivo_test::write_keymap(true, "xterm", "", "MENU ENTRY", {{LK_ENTER, "\r"}});
  kivo_test::write_keymap(true, "xterm", "", "DATA ENTRY", {{LK_ENTER, "\r"}});
  kivo_test::write_messages();
  com.no_term = 1;
  uint32_t status = 0;
  if (!wm_init(&status)) fprintf(out, "wm_init failed: %u\n", status);
  for (const hook_row& r : hook_rows())
    if (r.who == kStart && !r.filled()) fprintf(out, "%s\n", r.name);
  // A row main's registration fills but for one entry, a start's.
  if (!ut_clear_hooks.modules) fprintf(out, "ut_clear_hooks.modules\n");
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

// Every hook listed under a start is filled once main's starts have run.
TEST_F(HookRegistry, StartsFillTheHooksListedUnderThem) {
  EXPECT_EQ(child_lines(true, run_starts), std::vector<std::string>{});
}

// kivo_design and kivo_dist start with main's registration: hooks emptied
// beforehand are all filled by their start, and a child a module compiles
// starts from the engine's invocation (interrupt-OK 1), not from the
// compiler's own copy of the defaults (interrupt-OK 0).
TEST_F(HookRegistry, BuildToolsRegisterAsMainDoes) {
  const INVOC engine = *compiler_hooks.invoc_template;
  INVOC own;
  pc_invoc_defaults(&own);
  ASSERT_EQ(engine.b[INVOC_INTERRUPT_OK], 1);
  ASSERT_EQ(own.b[INVOC_INTERRUPT_OK], 0);
  const auto lines = child_lines(false, [&](FILE* out) {
    foundation_hooks = {}, types_hooks = {}, store_hooks = {}, fm_hooks.pb_init = nullptr, screen_hooks = {};
    compiler_hooks = {}, ii_hooks = {}, ii_dbg_hooks = {}, bs_hooks = {}, tm_hooks = {}, fm_sa_hooks = {};
    fm_proc_hooks = {}, ut_clear_hooks = {}, ss_remote_hooks = {}, fms_backends.remote = nullptr;
    tmnet_srv_hooks = {}, tmnet_cli_term = {}, tmnet_keymap_file = {};
    fprintf(out, "emptied %zu\n", empty_hooks().size());
    data_dir dir;
    if (!build_start(dir.path)) fprintf(out, "no start\n");
    for (const std::string& name : empty_hooks()) fprintf(out, "%s\n", name.c_str());
    const INVOC* t = compiler_hooks.invoc_template;
    if (!t || memcmp(t->b, engine.b, kInvocSize) != 0) fprintf(out, "another invocation template\n");
  });
  ASSERT_FALSE(lines.empty());
  EXPECT_GT(std::stoul(lines[0].substr(8)), 20u) << lines[0];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), std::vector<std::string>{});
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
