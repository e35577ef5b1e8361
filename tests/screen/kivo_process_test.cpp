// The real engine under tmux running a SUBROUTINE of a fixture installation: it converts a data file with SET,
// COMPUTE and the file verbs and runs a command; the converted records are read back through the file manager, and a
// second start runs from the module file the first one wrote, leaving it as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "../fixtures/kivo_fixture.h"
#include "../fm/fm_native_util.h"
#include "term_harness.h"
#include "tm_test_util.h"
#include "types/pd.h"

namespace kivo::test {
namespace {

namespace fs = std::filesystem;
using kivo_test::data_dir;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;

// One statement line: the verb at column 7, each text at its (1-based) column.
std::string L(const std::string& verb, std::initializer_list<std::pair<int, std::string>> at) {
  std::string l = "      " + (verb + std::string(8, ' ')).substr(0, 8);
  for (auto& [col, t] : at) {
    if (l.size() < size_t(col) - 1 + t.size()) l.resize(col - 1 + t.size(), ' ');
    l.replace(col - 1, t.size(), t);
  }
  return l + "\n";
}
std::string set(const std::string& f, const std::string& v, bool field = false) {
  return field ? L("SET", {{16, "0LA"}, {20, f}, {47, "="}, {50, "0LA"}, {54, v}})
               : L("SET", {{16, "0LA"}, {20, f}, {47, "="}, {54, v}});
}
std::string fv(const std::string& verb, const std::string& f) {
  return L(verb, {{16, "0LA"}, {20, f}, {35, "0"}, {37, "N"}, {45, verb == "CLOSE" ? "N" : "0"}});
}

std::string source() {
  std::string s = R"(APPLICATION 0LA 00
FILE KVSRC fs=1 len=20
  SID     A6   @0 key=primary
  SQTY    B9S  @6
  SNAME   A10  @10
END
FILE KVDST fs=1 len=24
  DID     A6    @0 key=primary
  DQTY    P9.2S @6
  DNAME   A10   @12
  DFLAG   A2    @22
END
PROCESS 6 KVFILL
STMTS 6 KVFILL ep=1
)";
  s += fv("CREATE", "KVSRC");
  for (auto [id, qty, name] : {std::tuple{"A1", "5", "alpha"}, {"B2", "-12", "beta"}, {"C3", "40", "gamma"}})
    s += set("SID", id) + set("SQTY", qty) + set("SNAME", name) + fv("WRITE", "KVSRC");
  s += fv("CLOSE", "KVSRC") + L("END PROC", {}) + "END\nPROCESS 6 KVCONV save=1\nSTMTS 6 KVCONV ep=1\n";
  s += fv("OPEN", "KVSRC") + fv("CREATE", "KVDST") + L("BEG READ", {{16, "0LA"}, {20, "KVSRC"}, {35, "0"}});
  s += set("DID", "SID", true) + set("DNAME", "SNAME", true) + set("DQTY", "SQTY", true) +
       L("COMPUTE", {{16, "0LA"}, {20, "DQTY"}, {47, "*"}, {54, "2.5"}}) + set("DFLAG", "OK") + fv("WRITE", "KVDST");
  s += L("END READ", {{16, "0LA"}, {20, "KVSRC"}}) + fv("CLOSE", "KVDST") + fv("CLOSE", "KVSRC");
  s += L("RUN", {{20, "echo done >cmd.out"}, {65, "N"}, {73, "0"}}) + L("END PROC", {}) + "END\n";
  return s;
}

class KivoRunsProcess : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    const std::string kivo = KIVO_BINARY, dir = kivo.substr(0, kivo.rfind('/'));
    ASSERT_EQ(system(("cp -r " + dir + "/shipped_data/. " + d_.path).c_str()), 0);
    std::ofstream(d_.file("kv.dsgn")) << source();
    ASSERT_EQ(system((dir + "/tools/kivo_design -d " + shell_quote(d_.path) + " " + d_.file("kv.dsgn")).c_str()), 0);
  }
  // kivo in tmux (80x24) running subroutine `proc` of 0LA; its exit status.
  int start(const std::string& proc) {
    const kivo_test::env_list env = {
        {"TERM", "xterm"}, {"HOME", "hm"}, {"KIVOPATH", d_.path}, {"KIVO_0SA_PATH", d_.path}};
    tmux_pane p(std::string(KIVO_BINARY) + " -d=DB1 -a=0LA -t=subroutine -p=" + proc, d_.path, env);
    const int st = p.exit_status(60);
    screen_ = p.capture();
    return st;
  }
  // Every file under the installation with its bytes, the data files of the test left out (by their own
  // names: a module file's name comes from the clock and may hold any letters).
  std::map<std::string, std::string> files() {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(d_.path)) {
      const std::string name = e.path().filename().string();
      if (e.is_regular_file() && name.rfind("KVSRC", 0) != 0 && name.rfind("KVDST", 0) != 0)
        out[e.path().string()] = kivo_test::slurp(e.path().string());
    }
    return out;
  }
  void remove_output() {
    for (const auto& e : fs::recursive_directory_iterator(d_.path))
      if (e.path().filename().string().rfind("KVDST", 0) == 0 || e.path().filename() == "cmd.out") fs::remove(e.path());
  }
  // KVDST's records in key order, through the file manager.
  std::vector<std::string> converted() {
    com.data_dir = cstr{uint16_t(d_.path.size()), d_.path.data()};
    FDB f;
    KDB k[1];
    SDB s[1];
    INIT_FDB(&f, FS_DISK, 24, 0, k, 1);
    INIT_KDB(k, 0, '+', 0, s, 1);
    init_sdb_func(s, 1, 0, 6, SDB_CHARS, ' ');
    INIT_DB_PATH(&f.path, "DB1", "0LA", "00", "KVDST", PATH_DATA);
    memcpy(f.path.fdb_src_ap, "0LA", 3), memcpy(f.path.fdb_src_ver, "00", 2);
    std::vector<std::string> out;
    if (!FM_OPEN(&f, com.sys_scope, kAnyFile, 1, 15)) return {"not opened " + std::to_string(f.fdb_stat)};
    ARB* a = f.fdb_arb;
    uint8_t r[24];
    PROTO_FULL(a, 0, r);
    a->arb_len = sizeof r, a->arb_mod = ARB_FIRST;
    for (bool more = fm_start(a); more && (a->arb_mod = 0, fm_rdnxt(a));)
      out.push_back(std::string(reinterpret_cast<char*>(r), 6) + std::to_string(pd_cvb(r + 6, 6)) + " " +
                    std::string(reinterpret_cast<char*>(r) + 12, 12));
    FM_CLOSE(a, 0);
    return out;
  }
  data_dir d_;
  std::string screen_;
};

TEST_F(KivoRunsProcess, SubroutineConvertsAFileRunsACommandAndRunsAgainFromItsModuleFile) {
  ASSERT_EQ(start("KVFILL"), 0) << screen_;
  const std::map<std::string, std::string> before = files();
  ASSERT_EQ(start("KVCONV"), 0) << screen_;
  const std::vector<std::string> want = {"A1    1250 alpha     OK", "B2    -3000 beta      OK",
                                         "C3    10000 gamma     OK"};
  EXPECT_EQ(converted(), want);
  EXPECT_EQ(kivo_test::slurp(d_.file("cmd.out")), "done\n");
  std::map<std::string, std::string> written = files();
  for (const auto& [path, bytes] : before) written.erase(path);
  written.erase(d_.file("cmd.out"));
  EXPECT_EQ(written.size(), 2u);  // the module file and its debug file
  std::map<std::string, fs::file_time_type> when;
  for (const auto& [path, bytes] : written) when[path] = fs::last_write_time(path);
  remove_output();
  ASSERT_EQ(start("KVCONV"), 0) << screen_;
  EXPECT_EQ(converted(), want);
  EXPECT_EQ(kivo_test::slurp(d_.file("cmd.out")), "done\n");
  for (const auto& [path, bytes] : written)
    EXPECT_TRUE(kivo_test::slurp(path) == bytes && fs::last_write_time(path) == when[path]) << path;
}

}  // namespace
}  // namespace kivo::test
