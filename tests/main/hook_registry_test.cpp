// The registry of hooks and seams against the engine and src/README.md: main's
// registration fills every hook but those listed as allowed to stay empty,
// each library's registration is the one its README row names, the starts
// fill only the hooks listed under them, and the README's tables name the
// registry's entries and headers. The registry lists every entry from the
// tables' own lists, so a new entry nobody fills fails here.
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
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "build_start.h"
#include "compiler/compiler.h"
#include "compiler/pc_cmpl.h"
#include "fm/fm.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "interp/ii_run.h"
#include "interp/interp.h"
#include "interp/rt_fns.h"
#include "kivo_hooks.h"
#include "kivo_registry.h"
#include "process/process.h"
#include "screen/screen.h"
#include "screen/tm.h"
#include "screen/tm_keys.h"
#include "screen/wm_show.h"
#include "store/store.h"
#include "types/cnv.h"
#include "types/types.h"

namespace kivo {
namespace {

using lines = std::vector<std::string>;

bool listed(const char* name, const std::vector<registry_empty_ok>& list) {
  for (const registry_empty_ok& e : list)
    if (name == std::string(e.name)) return true;
  return false;
}

bool filled_at_start(const std::string& name) {
  for (const registry_start_fill& e : kivo_hooks_filled_at_start())
    if (name == e.name) return true;
  return false;
}

// The hooks that are empty now and may not stay so, counting the ones a
// start fills only when `after_starts`.
lines empty_hooks(bool after_starts) {
  lines out;
  for (const registry_entry& e : kivo_registry()) {
    if (e.kind != registry_kind::hook || e.filled() || listed(e.name, kivo_hooks_may_stay_empty())) continue;
    if (!after_starts && filled_at_start(e.name)) continue;
    out.push_back(e.name);
  }
  return out;
}

// Every hook put back to its empty state.
void empty_every_hook() {
  for (const registry_entry& e : kivo_registry())
    if (e.kind == registry_kind::hook) memcpy(e.slot, e.empty, e.size);
}

// The bytes of every entry, to tell which ones something changed.
std::vector<std::string> bytes_of_all() {
  std::vector<std::string> out;
  for (const registry_entry& e : kivo_registry()) out.emplace_back(static_cast<const char*>(e.slot), e.size);
  return out;
}

lines changed_since(const std::vector<std::string>& before) {
  lines out;
  const auto& entries = kivo_registry();
  for (size_t i = 0; i < entries.size(); ++i)
    if (before[i] != std::string(static_cast<const char*>(entries[i].slot), entries[i].size))
      out.push_back(entries[i].name);
  return out;
}

// The lines a child process writes to `out` before it ends, with the child on
// a pseudo-terminal when `on_pty`; "exit N" is added unless it ended with 0.
lines child_lines(bool on_pty, const std::function<void(FILE* out)>& body) {
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
  lines out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  if (st != 0) out.push_back("exit " + std::to_string(st));
  return out;
}

// Which registration fills each hook: each one run alone on empty hooks, in
// a child of its own.
std::map<std::string, std::set<std::string>> fillers() {
  std::map<std::string, std::set<std::string>> out;
  for (const kivo_registration& r : kivo_registrations()) {
    const lines filled = child_lines(false, [&](FILE* f) {
      empty_every_hook();
      r.fill();
      for (const registry_entry& e : kivo_registry())
        if (e.kind == registry_kind::hook && e.filled()) fprintf(f, "%s\n", e.name);
    });
    for (const std::string& name : filled) out[name].insert(r.name);
  }
  return out;
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

// After main's registration, the starts main runs (the file manager's, the
// conversions', the process engine's, the terminal's on the pseudo-terminal
// the child has, the window manager's and kivo_start_subsystems) on a fresh
// data directory; writes "changed NAME" for each entry they changed and
// "empty NAME" for each hook they leave empty that may not stay so.
void run_starts(FILE* out) {
  data_dir dir;
  setenv("TERM", "xterm", 1);
  com_fill(0, nullptr);
  mm_init();
  kivo_register_hooks();
  kivo_test::scoped_hook no_prompt(foundation_seams.err_presenter, quiet);  // no prompt waits for a reply
  const std::vector<std::string> registered = bytes_of_all();
  com.data_dir = cstr{static_cast<uint16_t>(dir.path.size()), dir.path.data()};
  com.path_root = cstr{0, nullptr};
  if (fm_init() != 1) fprintf(out, "fm_init failed\n");
  if (!cv_init()) fprintf(out, "cv_init failed\n");
  pi_init();  // its own records loaded from an installation; there is none here
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
  kivo_start_subsystems();
  for (const std::string& name : changed_since(registered))
    for (const registry_entry& e : kivo_registry())
      if (name == e.name && e.kind == registry_kind::hook) fprintf(out, "changed %s\n", name.c_str());
  for (const std::string& name : empty_hooks(true)) fprintf(out, "empty %s\n", name.c_str());
}

struct readme_row {
  std::set<std::string> names;  // every name in backticks before the first " ("
  std::string header;           // the "Offered by" cell
  std::string filled_by;        // the third cell
};

// The rows of the table under the line that starts with `title` in
// src/README.md.
std::vector<readme_row> readme_rows(const std::string& title) {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/src/README.md");
  std::vector<readme_row> out;
  bool in_table = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(title, 0) == 0) {
      in_table = true;
      continue;
    }
    if (!in_table || line.rfind("|---", 0) == 0) continue;
    if (line.rfind("| `", 0) != 0) {
      if (!out.empty()) break;
      continue;
    }
    // The cells between "| " and " |", split at " | ".
    std::vector<std::string> cells;
    const std::string inner =
        line.substr(2, line.size() - (line.size() >= 4 && line.compare(line.size() - 2, 2, " |") == 0 ? 4 : 2));
    for (size_t at = 0;;) {
      const size_t bar = inner.find(" | ", at);
      cells.push_back(inner.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
      if (bar == std::string::npos) break;
      at = bar + 3;
    }
    if (cells.size() < 2) continue;
    readme_row r;
    const std::string names = cells[0].substr(0, cells[0].find(" ("));
    for (size_t a = names.find('`'); a != std::string::npos; a = names.find('`', names.find('`', a + 1) + 1))
      r.names.insert(names.substr(a + 1, names.find('`', a + 1) - a - 1));
    r.header = cells[1];
    if (cells.size() > 2) r.filled_by = cells[2];
    out.push_back(r);
  }
  return out;
}

// The README row naming the entry: the entry itself, or a name of its row
// that it lies under (its table, or a sub-table such as opt_lookup).
const readme_row* row_of(const std::vector<readme_row>& rows, const std::string& entry) {
  for (const readme_row& r : rows)
    for (const std::string& n : r.names)
      if (entry == n || entry.rfind(n + ".", 0) == 0) return &r;
  return nullptr;
}

bool header_declares(const std::string& header, const std::string& table) {
  const std::string text = kivo_test::slurp(std::string(KIVO_SOURCE_DIR) + "/src/" + header);
  return text.find(" " + table + ";") != std::string::npos && text.find("extern ") != std::string::npos;
}

// The comment lines right above line `at` of `text`.
std::string comment_above(const lines& text, size_t at) {
  std::string out;
  while (at > 0 && text[at - 1].find_first_not_of(' ') != std::string::npos &&
         text[at - 1].compare(text[at - 1].find_first_not_of(' '), 2, "//") == 0)
    out = text[at - 1].substr(text[at - 1].find("//") + 2) + out, --at;
  return out;
}

// The comment above the declaration of `entry` in `header`, and the one
// above its struct.
std::string comment_of(const std::string& header, const std::string& entry) {
  std::istringstream in(kivo_test::slurp(std::string(KIVO_SOURCE_DIR) + "/src/" + header));
  lines text;
  for (std::string l; std::getline(in, l);) text.push_back(l);
  const std::string member = entry.substr(entry.rfind('.') + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i].find("(*" + member + ")") == std::string::npos && text[i].find(" " + member + ";") == std::string::npos)
      continue;
    size_t s = i;
    while (s > 0 && text[s].rfind("struct ", 0) != 0) --s;
    return comment_above(text, i) + comment_above(text, s);
  }
  return "";
}

class HookRegistry : public ::testing::Test {
 protected:
  kivo_test::hook_snapshot all_;
};

// Every entry is listed once, under the header that declares its table.
TEST_F(HookRegistry, EveryEntryIsListedOnceUnderItsHeader) {
  std::set<std::string> names;
  size_t hooks = 0, seams = 0;
  for (const registry_entry& e : kivo_registry()) {
    EXPECT_TRUE(names.insert(e.name).second) << e.name;
    EXPECT_TRUE(header_declares(e.header, e.table)) << e.name << " in " << e.header;
    (e.kind == registry_kind::hook ? hooks : seams)++;
  }
  EXPECT_GT(hooks, 80u);
  EXPECT_GT(seams, 40u);
}

// main's registration fills every hook but those that wait for a start and
// those allowed to stay empty.
TEST_F(HookRegistry, MainsRegistrationFillsEveryHook) {
  const lines empty = child_lines(false, [](FILE* out) {
    kivo_register_hooks();
    for (const std::string& name : empty_hooks(false)) fprintf(out, "%s\n", name.c_str());
  });
  EXPECT_EQ(empty, lines{});
}

// Registration fills hooks only: every seam stays as it started.
TEST_F(HookRegistry, RegistrationLeavesTheSeamsAsTheyStart) {
  const lines changed = child_lines(false, [](FILE* out) {
    const std::vector<std::string> before = bytes_of_all();
    kivo_register_hooks();
    for (const std::string& name : changed_since(before))
      for (const registry_entry& e : kivo_registry())
        if (name == e.name && e.kind == registry_kind::seam) fprintf(out, "%s\n", name.c_str());
  });
  EXPECT_EQ(changed, lines{});
}

// The starts main runs change no hook but those listed under a start, and
// after them every hook a run needs is filled.
TEST_F(HookRegistry, StartsFillOnlyTheHooksListedUnderThem) {
  lines want;
  for (const registry_start_fill& s : kivo_hooks_filled_at_start()) want.push_back(std::string("changed ") + s.name);
  lines got = child_lines(true, run_starts);
  std::sort(want.begin(), want.end()), std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want);
}

// The two lists name hooks of the registry, each with its reason; an entry
// allowed to stay empty is empty after registration (once filled, it leaves
// the list) and says so beside its declaration.
TEST_F(HookRegistry, ListsOfExceptionsNameEmptyHooksWithTheirReasons) {
  std::map<std::string, const registry_entry*> by_name;
  for (const registry_entry& e : kivo_registry()) by_name[e.name] = &e;
  const lines filled = child_lines(false, [](FILE* out) {
    kivo_register_hooks();
    for (const registry_empty_ok& e : kivo_hooks_may_stay_empty())
      for (const registry_entry& r : kivo_registry())
        if (e.name == std::string(r.name) && r.filled()) fprintf(out, "%s\n", e.name);
  });
  EXPECT_EQ(filled, lines{}) << "a hook that registration fills is no longer allowed to stay empty";
  for (const registry_empty_ok& e : kivo_hooks_may_stay_empty()) {
    SCOPED_TRACE(e.name);
    ASSERT_TRUE(by_name.count(e.name));
    EXPECT_EQ(by_name[e.name]->kind, registry_kind::hook);
    EXPECT_GT(strlen(e.why), 20u);
    const std::string comment = comment_of(by_name[e.name]->header, e.name);
    EXPECT_TRUE(comment.find("may stay empty") != std::string::npos ||
                comment.find("May stay empty") != std::string::npos)
        << e.name << ": its comment: " << comment;
  }
  for (const registry_start_fill& s : kivo_hooks_filled_at_start()) {
    SCOPED_TRACE(s.name);
    EXPECT_TRUE(by_name.count(s.name));
    EXPECT_GT(strlen(s.why), 20u);
  }
}

// A hook the registration leaves empty is reported by its name.
TEST_F(HookRegistry, AHookLeftEmptyIsNamed) {
  const lines got = child_lines(false, [](FILE* out) {
    kivo_register_hooks();
    auto plant = [&](const char* name, auto& slot) {
      kivo_test::scoped_hook cleared(slot, nullptr);
      const lines empty = empty_hooks(false);
      fprintf(out, "%s: %s\n", name, empty.size() == 1 && empty[0] == name ? "named" : "missed");
    };
    plant("ii_hooks.invoke", ii_hooks.invoke);
    plant("compiler_hooks.invoc_template", compiler_hooks.invoc_template);
    plant("types_hooks.xlate_fld", types_hooks.xlate_fld);
    plant("ut_clear_hooks.windows", ut_clear_hooks.windows);
    plant("foundation_hooks.opt_lookup.by_code", foundation_hooks.opt_lookup.by_code);
    if (!empty_hooks(false).empty()) fprintf(out, "not put back\n");
  });
  EXPECT_EQ(got,
            (lines{"ii_hooks.invoke: named", "compiler_hooks.invoc_template: named", "types_hooks.xlate_fld: named",
                   "ut_clear_hooks.windows: named", "foundation_hooks.opt_lookup.by_code: named"}));
}

// The README's hook table has a row for every hook, under the header that
// offers it, naming the registration that fills it (run alone to find out),
// or the start, or that it may stay empty; and nothing else.
TEST_F(HookRegistry, ReadmeHookTableAgreesWithTheRegistry) {
  const std::vector<readme_row> rows = readme_rows("| Hook |");
  ASSERT_GT(rows.size(), 20u);
  const auto who = fillers();
  std::set<const readme_row*> used;
  for (const registry_entry& e : kivo_registry()) {
    if (e.kind != registry_kind::hook) continue;
    SCOPED_TRACE(e.name);
    const readme_row* r = row_of(rows, e.name);
    ASSERT_NE(r, nullptr) << "no row in src/README.md's hook table (" << e.header << ")";
    used.insert(r);
    EXPECT_NE(r->header.find(e.header), std::string::npos) << r->header;
    std::set<std::string> want;
    if (who.count(e.name)) want = who.at(e.name);
    for (const registry_start_fill& s : kivo_hooks_filled_at_start())
      if (e.name == std::string(s.name)) want.insert(s.start);
    if (listed(e.name, kivo_hooks_may_stay_empty())) want.insert("may stay empty");
    if (want.empty() && e.filled()) want.insert("its definition");
    ASSERT_FALSE(want.empty()) << "nothing fills it";
    for (const std::string& w : want)
      EXPECT_NE(r->filled_by.find(w), std::string::npos) << "\"" << w << "\" not in its row: " << r->filled_by;
  }
  for (const readme_row& r : rows) {
    EXPECT_TRUE(used.count(&r)) << *r.names.begin() << ": a row of no hook";
    for (const std::string& n : r.names) {
      bool names_one = false;
      for (const registry_entry& e : kivo_registry())
        names_one =
            names_one || (e.kind == registry_kind::hook && (n == e.name || std::string(e.name).rfind(n + ".", 0) == 0));
      EXPECT_TRUE(names_one) << n << ": names no hook";
    }
  }
}

// The README's seam table names every seam table under its header.
TEST_F(HookRegistry, ReadmeSeamTableAgreesWithTheRegistry) {
  const std::vector<readme_row> rows = readme_rows("| Seam |");
  std::set<std::string> tables, named;
  for (const registry_entry& e : kivo_registry()) {
    if (e.kind != registry_kind::seam) continue;
    tables.insert(e.table);
    const readme_row* r = row_of(rows, e.name);
    ASSERT_NE(r, nullptr) << e.name << ": no row in src/README.md's seam table";
    EXPECT_NE(r->header.find(e.header), std::string::npos) << e.name << ": " << r->header;
  }
  for (const readme_row& r : rows) named.insert(r.names.begin(), r.names.end());
  EXPECT_EQ(named, tables);
}

// kivo_design and kivo_dist start with main's registration: hooks emptied
// beforehand are all filled by their start, and a child a module compiles
// starts from the engine's invocation (interrupt-OK 1), not from the
// compiler's own copy of the defaults (interrupt-OK 0).
TEST_F(HookRegistry, BuildToolsRegisterAsMainDoes) {
  const lines got = child_lines(false, [](FILE* out) {
    empty_every_hook();
    data_dir dir;
    if (!build_start(dir.path)) fprintf(out, "no start\n");
    for (const std::string& name : empty_hooks(false)) fprintf(out, "%s\n", name.c_str());
    INVOC own;
    pc_invoc_defaults(&own);
    const INVOC* t = compiler_hooks.invoc_template;
    if (own.b[INVOC_INTERRUPT_OK] != 0 || !t || t->b[INVOC_INTERRUPT_OK] != 1)
      fprintf(out, "another invocation template\n");
  });
  EXPECT_EQ(got, lines{});
}

// The routines of the libraries above the interpreter are in its table once
// they have registered and started.
TEST_F(HookRegistry, RoutinesOfTheLibrariesAboveAreAdded) {
  const lines missing = child_lines(true, [](FILE* out) {
    run_starts(fopen("/dev/null", "w"));
    size_t n = 0;
    const rt_fn_row* rows = int_fns_tbl(&n);
    for (const char* want : {"SE_EDIT", "IE_EDIT", "DD_CMPL", "QP_SCAN_NAMES", "DBG_WATCH"}) {
      bool found = false;
      for (size_t i = 0; i < n; ++i) found = found || (rows[i].name && strcmp(rows[i].name, want) == 0);
      if (!found) fprintf(out, "%s\n", want);
    }
  });
  EXPECT_EQ(missing, lines{});
}

}  // namespace
}  // namespace kivo
