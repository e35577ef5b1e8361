// The statement editor run as a design application runs it: the tool
// harness on a copy of the default installation, whose SUBROUTINE "SE RUN"
// of "0LA" sets MODE and USER ID, fills the 64-byte context record SECTX
// field by field and CALLs "SE_EDIT" with it. The edited statements are
// those of the shipped application DEM, written by kivo_design with "no
// stamp" stamps, as lines from before stamps existed. Records are read back
// from the bytes of DEM's STMT file.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "../screen/tm_test_util.h"
#include "compiler/design_records.h"
#include "compiler/stmt_layout.h"
#include "foundation/bytes.h"

namespace kivo::test {

using kivo_test::shell_quote;
using kivo_test::tmux_pane;

// The context the subroutine passes, and how it calls.
struct se_call {
  std::string ap = "DEM";
  std::string proc = "SET TEST";
  int type = 6, ep = 1, frame_part = 0;
  uint32_t frame = 0;
  uint32_t line = 0;
  uint32_t msg = 0;  // the start message
  int memory = 0;
  int mode = 0;            // 3: inquire, the run is view-only
  int calls = 1;           // "SE_EDIT" called this many times in a row
  bool short_ctx = false;  // a 40-byte field passed instead of the record
};

// The edited event point (three lines), its neighbours (another event
// point, another process) and fields the lines use.
constexpr const char* kSeStatements = R"(APPLICATION DEM 01
WORK "SE NAME" A20
WORK "SE FLAGS" A1 occurs=4
PROCESS 6 "SET TEST"
PROCESS 6 "SET OTHER"
STMTS 6 "SET TEST" ep=1
      *        first line
      SET      DEM SE NAME                    =      HELLO
      *        third line
END
STMTS 6 "SET TEST" ep=2
      *        event point two keeps this
END
STMTS 6 "SET OTHER" ep=1
      *        another process keeps this
END
)";

inline std::string se_harness_dir() {
  std::string t = KIVO_TOOLTEST;
  return t.substr(0, t.rfind('/'));
}

// The subroutine for `c`.
inline std::string se_run_source(const se_call& c) {
  auto set = [](const std::string& field, const std::string& value) {
    std::string l = "      SET      0LA " + field;
    l.resize(46, ' ');
    return l + "=      " + value + "\n";
  };
  std::ostringstream s;
  s << "APPLICATION 0LA 00\nFILE SECTX area=4 fs=0 org=1 len=64\n"
    << "  \"SE AP\" A3 @0\n  \"SE VER\" A2 @3\n  \"SE PROC\" A30 @5\n  \"SE TYPE\" B2 @35\n"
    << "  \"SE FPART\" B2 @36\n  \"SE FRAME\" B9 @40\n  \"SE IMAGE\" B2 @44\n  \"SE CPOS\" B2 @45\n"
    << "  \"SE CHILD\" B9 @48\n  \"SE EP\" B2 @52\n  \"SE CHANGED\" B2 @53\n  \"SE MEMORY\" B2 @54\n"
    << "  \"SE STATUS\" B2 @55\n  \"SE LINE\" B9 @56\n  \"SE MSG\" B9 @60\nEND\nWORK \"SE SHORT\" A40\nPROCESS 6 \"SE "
       "RUN\"\nSTMTS 6 \"SE RUN\" ep=1\n";
  if (c.mode) s << set("MODE", std::to_string(c.mode));
  s << set("USER ID", "TST") << set("SE AP", c.ap) << set("SE VER", "01") << set("SE PROC", c.proc)
    << set("SE TYPE", std::to_string(c.type)) << set("SE EP", std::to_string(c.ep));
  if (c.frame_part) s << set("SE FPART", std::to_string(c.frame_part));
  if (c.frame) s << set("SE FRAME", std::to_string(c.frame));
  if (c.line) s << set("SE LINE", std::to_string(c.line));
  if (c.memory) s << set("SE MEMORY", std::to_string(c.memory));
  if (c.msg) s << set("SE MSG", std::to_string(c.msg));
  for (int i = 0; i < c.calls; ++i) {
    if (c.short_ctx) s << "      PASS     0LA SE SHORT                   FIELD            SHARE? Y\n";
    else s << "      PASS     0LA SECTX                      RECORD           SHARE? Y\n";
    s << "      CALL         SE_EDIT                              N       N       0\n";
  }
  s << "END\n";
  return s.str();
}

// One 152-byte STMT record.
struct stmt_rec {
  std::string b;
  std::string proc() const {
    std::string p = b.substr(STMT_PROC_NAME, 30);
    return p.erase(p.find_last_not_of(' ') + 1);
  }
  int ep() const { return uint8_t(b[STMT_EP]); }
  uint32_t seq() const { return ld_le32(reinterpret_cast<const uint8_t*>(b.data()), STMT_SEQ); }
  std::string opnd() const {
    std::string o = b.substr(STMT_OPND, kStmtOpndLen);
    return o.erase(o.find_last_not_of(' ') + 1);
  }
  bool stamp_none(size_t at) const { return b.substr(at, 8) == std::string(8, '\xff'); }
  std::string user(size_t at) const { return b.substr(at, 3); }
};

class SeRun : public ::testing::Test {
 protected:
  // A copy of the default installation with the statements of `extra`
  // beside the usual ones, completed by se_fixture with `fixture` args.
  // `exported`: the records are read before the run.
  void install(const std::string& extra = "", const std::string& fixture = "", bool exported = true) {
    std::string kivo = KIVO_BINARY;
    ASSERT_EQ(system(("rm -rf " + shell_quote(d_.path) + "/* && cp -r " + kivo.substr(0, kivo.rfind('/')) +
                      "/shipped_data/. " + d_.path)
                         .c_str()),
              0);
    std::ofstream(d_.file("stmts.dsgn")) << kSeStatements << extra;
    design(d_.file("stmts.dsgn"), "-n");  // lines the editor must show, compiled or not
    ASSERT_EQ(system((shell_quote(SE_FIXTURE) + " " + shell_quote(d_.path) + " DEM 01 " + fixture + " >" +
                      d_.file("fixture.out") + " 2>&1")
                         .c_str()),
              0)
        << kivo_test::slurp(d_.file("fixture.out"));
    if (exported) before_ = stmts();
  }
  void design(const std::string& file, const std::string& opts = "") {
    ASSERT_EQ(system((se_harness_dir() + "/kivo_design " + opts + " -d " + shell_quote(d_.path) + " " + file + " >" +
                      d_.file("design.out") + " 2>&1")
                         .c_str()),
              0)
        << kivo_test::slurp(d_.file("design.out"));
  }
  kivo_test::env_list env(const std::string& tst) {
    return {{"TERM", "tmux-256color"},
            {"HOME", d_.path},
            {"KIVOPATH", d_.path},
            {"KIVO_0SA_PATH", d_.path},
            {"KIVO_TST_DIR", d_.file(tst)},
            {"KIVO_FAKE_TIME", "2026120709300000"},
            {"KIVO_TOOL_LOG", d_.file("tool.log")},
            {"KIVO_SYS_ERR_LOG", d_.file("syserr")}};
  }
  // The harness on the subroutine for `c` in a pane of cols x rows.
  std::unique_ptr<tmux_pane> start(const se_call& c, kivo_test::env_list e, int cols = 80, int rows = 24) {
    std::ofstream(d_.file("run.dsgn")) << se_run_source(c);
    design(d_.file("run.dsgn"));
    return std::make_unique<tmux_pane>(shell_quote(KIVO_TOOLTEST) + " -d=DB1 -a=0LA -t=subroutine -p=SE_RUN", d_.path,
                                       e, cols, rows);
  }
  // A run for `c` driven by `script`, its snapshots under `name`.
  void play(const std::string& name, const se_call& c, const std::string& script, kivo_test::env_list extra = {},
            int cols = 80, int rows = 24) {
    std::ofstream(d_.file(name + ".script")) << script;
    ASSERT_EQ(system(("mkdir -p " + d_.file(name)).c_str()), 0);
    kivo_test::env_list e = env(name);
    e.push_back({"KIVO_SCRIPT_IN", d_.file(name + ".script")});
    for (auto& x : extra) e.push_back(x);
    auto p = start(c, e, cols, rows);
    EXPECT_EQ(p->exit_status(60), 0) << p->capture();
  }
  // A run driven by `script` whose snapshots must equal golden file `name`
  // (KIVO_UPDATE_GOLDEN writes it).
  void scripted(const std::string& name, const se_call& c, const std::string& script, kivo_test::env_list extra = {},
                int cols = 80, int rows = 24) {
    play(name, c, script, extra, cols, rows);
    const std::string got = kivo_test::slurp(d_.file(name + "/actual/snapshot"));
    const std::string golden = std::string(KIVO_SOURCE_DIR) + "/tests/editors/golden/" + name + ".snapshot";
    if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(golden) << got;
    EXPECT_EQ(got, kivo_test::slurp(golden)) << name;
  }
  // The screens of a run's snapshot file, each as its rows.
  std::vector<std::vector<std::string>> screens(const std::string& name) {
    std::vector<std::vector<std::string>> out;
    std::istringstream in(kivo_test::slurp(d_.file(name + "/actual/snapshot")));
    int rule = 0;
    for (std::string l; std::getline(in, l);) {
      if (l.compare(0, 8, "########") == 0) {
        if (++rule % 2 == 0) out.emplace_back();
        continue;
      }
      if (rule % 2 == 0 && !out.empty()) out.back().push_back(l);
    }
    return out;
  }
  // The statement records of `ap` in key order.
  std::vector<stmt_rec> stmts(const std::string& ap = "DEM") {
    std::vector<stmt_rec> out;
    for (std::string& r : kivo_test::native_records(d_.file("01/" + ap + "/Data/STMT.dat")).records)
      out.push_back({r.substr(0, kStmtSize)});
    // The data file's order is not the key's, which orders by event point,
    // then by sequence.
    std::stable_sort(out.begin(), out.end(), [](const stmt_rec& a, const stmt_rec& b) {
      const int c = a.b.compare(0, kStmtKeyPrefix, b.b, 0, kStmtKeyPrefix);
      return c != 0 ? c < 0 : a.seq() < b.seq();
    });
    return out;
  }
  std::vector<stmt_rec> stmts(const std::string& proc, int ep) {
    std::vector<stmt_rec> out;
    for (auto& r : stmts())
      if (r.proc() == proc && r.ep() == ep) out.push_back(r);
    return out;
  }
  static std::vector<uint32_t> seqs(const std::vector<stmt_rec>& rs) {
    std::vector<uint32_t> s;
    for (auto& r : rs) s.push_back(r.seq());
    return s;
  }
  // The 100 comment lines of "SET LONG" ("line 001" ...).
  static std::string long_event_point() {
    std::string many = "STMTS 6 \"SET LONG\" ep=1\n";
    for (int i = 1; i <= 100; ++i) {
      char l[64];
      snprintf(l, sizeof l, "      *        line %03d\n", i);
      many += l;
    }
    return many + "END\n";
  }
  static std::string row_text(const std::vector<std::string>& screen, size_t row) {
    std::string r = row <= screen.size() ? screen[row - 1] : "";
    return r.erase(r.find_last_not_of(' ') + 1);
  }
  std::string log() { return kivo_test::slurp(d_.file("tool.log")); }
  // The design stamp of each of DEM's processes, by name.
  std::map<std::string, std::string> process_stamps() {
    std::map<std::string, std::string> out;
    for (std::string& r : kivo_test::native_records(d_.file("01/DEM/Data/PROCESS.dat")).records) {
      std::string name = r.substr(PR_NAME, 30);
      out[name.erase(name.find_last_not_of(' ') + 1)] = r.substr(PR_STAMP, 8);
    }
    return out;
  }

  // No system error is reported unless a test expects one.
  void TearDown() override {
    if (!syserr_expected_) {
      EXPECT_EQ(kivo_test::slurp(d_.file("syserr")), "") << "system errors";
    }
  }

  kivo_test::data_dir d_;
  std::vector<stmt_rec> before_;
  bool syserr_expected_ = false;
};

}  // namespace kivo::test
