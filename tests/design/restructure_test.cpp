// The restructure of a data file: the comparison of its old layout (its
// STRUCT file) with the dictionary's new one, the INITIAL chunks of a long
// record, and whole runs of the generated process with the real engine on
// the test application compiled by kivo_design: conversions against a
// model, unchanged and compatible files, the failures that must keep the
// old file, its structure and SYSDIR intact (a real fatal signal in a child
// engine process among them), and the design routines called by name from
// a process the engine runs under tmux.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "../process/line_pipe.h"
#include "../screen/term_harness.h"
#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/pc_cmpl.h"
#include "db_run_util.h"
#include "design/design.h"
#include "design/rt_file.h"
#include "fm/fm_sysadm.h"
#include "foundation/os.h"
#include "foundation/os_calls.h"
#include "foundation/scope.h"
#include "interp/rt_fns.h"

namespace kivo::test {
namespace {

class Restructure : public DbRunFixture {
 protected:
  // Where two records differ ("offset:byte/byte"), for a failure's message.
  static std::string differences(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return "sizes " + std::to_string(a.size()) + " " + std::to_string(b.size());
    std::string out;
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i] != b[i]) out += std::to_string(i) + ":" + std::to_string(a[i]) + "/" + std::to_string(b[i]) + " ";
    return out;
  }
  uint32_t compare(const char* name, restruct_ctx* keep = nullptr) {
    restruct_ctx ctx{};
    uint32_t fm = 0;
    const uint32_t open = db_open_files(path(name), &ctx, &fm);
    if (open) return db_close_files(&ctx), open;
    const uint32_t r = comp_struct_fi(path(name), &ctx);
    if (keep) *keep = ctx;
    else db_close_files(&ctx);
    return r;
  }
  // The size and digest of every file under the data directory whose name holds
  // "DATA" (data, keys, structure), by path.
  std::map<std::string, std::string> data_files() {
    std::map<std::string, std::string> out;
    for (auto& d : std::filesystem::recursive_directory_iterator(data_))
      if (d.is_regular_file() && d.path().filename().string().find("DATA") != std::string::npos) {
        std::ifstream in(d.path(), std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        out[d.path().string().substr(data_.size())] =
            std::to_string(bytes.size()) + ":" + std::to_string(std::hash<std::string>{}(bytes));
      }
    return out;
  }
  static std::vector<uint8_t> sysdir_all() {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_DSYSDIR_FDB(&f, k, s);
    std::vector<uint8_t> all;
    if (!FM_OPEN(&f, com.sys_scope, 0x500, 15, 15)) return all;
    uint8_t r[kSysdirLen] = {};
    PROTO_FULL(f.fdb_arb, 0, r);
    f.fdb_arb->arb_len = kSysdirLen, f.fdb_arb->arb_mod = ARB_FIRST;
    if (fm_start(f.fdb_arb))
      while ((f.fdb_arb->arb_mod = 0, fm_rdnxt(f.fdb_arb))) all.insert(all.end(), r, r + kSysdirLen);
    FM_CLOSE(f.fdb_arb, 0);
    return all;
  }
};

// Each change of the compiled dictionary against the verdict it must
// give. Compiled again from the same source, the file keeps its structure
// date; compiled from nothing, it gets a new one.
TEST_F(Restructure, TheComparisonGivesEachChangeItsVerdict) {
  const std::string app = app_source();
  // changed line, and what it becomes; compiled from nothing, forced, verdict
  const std::tuple<const char*, const char*, bool, bool, uint32_t> rows[] = {
      {"", "", false, false, RS_SAME},
      {"label=\"Id\"", "label=\"Key\"", false, false, RS_SAME},
      {"label=\"Id\"", "label=\"Key\"", true, false, RS_COMPATIBLE},
      {"", "", false, true, RS_CONVERT},
      {"CODE   kind=4 sub_kind=1 size=8", "CODE   kind=4 sub_kind=1 size=12", true, false, RS_CONVERT},
      {"mask=\"-99999.99\"", "mask=\"-999999999999.99\"", true, false, RS_CONVERT},
      {"mask=\"-99999.99\"", "mask=\"-99,999.99\"", true, false, RS_CONVERT},
      {"occurs=3", "occurs=5", true, false, RS_CONVERT},
      {"mask=\"-99999\"", "mask=\"99999\"", true, false, RS_CONVERT},
      {"occurs=5", "occurs=5\nFIELD EXTRA file=DATA seq=7 domain=NOTE domain_kind=1", true, false, RS_CONVERT},
  };
  for (auto& [from, to, fresh, forced, verdict] : rows) {
    SCOPED_TRACE(std::string(from) + " -> " + to);
    app_file(0);
    compile_app(*from ? with(app, from, to) : app, fresh);
    if (forced) setenv("KIVO_VFY_RESTRUCT", "", 1);
    else unsetenv("KIVO_VFY_RESTRUCT");
    EXPECT_EQ(compare("DATA"), verdict);
    unsetenv("KIVO_VFY_RESTRUCT");
    scratch();
  }
}

// A compile that took its stamps faster than one a hundredth (they ran
// ahead of the clock) ends only once the clock has passed the last of them:
// a compile started after it used to take the clock and give the same
// dates again, and a changed layout whose structure date came out equal to
// the old one compared as unchanged. Many fields make the run far ahead.
TEST_F(Restructure, ACompileEndsWithTheClockPastEveryStampItGave) {
  std::string app = app_source();
  for (int i = 0; i < 40; ++i)
    app +=
        "FIELD EXTRA" + std::to_string(i) + " file=DATA seq=" + std::to_string(10 + i) + " domain=NOTE domain_kind=1\n";
  auto later = [](ss_clock a, ss_clock b) { return a.day != b.day ? a.day > b.day : a.hsec > b.hsec; };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    compile_app(round ? with(app, "mask=\"-99999\"", "mask=\"99999\"") : app, true);
    ss_clock now;
    os_kivo_time(&now);
    DesignBuilder b("APP", "01", com.sys_scope);
    uint8_t fi[kFileRecSize] = {};
    memcpy(fi + FI_NAME, "DATA    ", 8);
    ASSERT_EQ(dd_read(b.handle(DF_FILE), 0, fi, kFileRecSize, false), 1);
    std::vector<std::vector<uint8_t>> elems;
    uint8_t from[kElementSize] = {};
    dd_scan(
        b.handle(DF_ELEMENT), 0, from, kElementSize, [](const uint8_t*, const uint8_t*) { return true; }, &elems);
    b.close_all();
    std::vector<ss_clock> stamps = {{ld_le32(fi, FI_STAMP), ld_le32(fi, FI_STAMP + 4)},
                                    {ld_le32(fi, FI_STRUCT), ld_le32(fi, FI_STRUCT + 4)}};
    for (auto& e : elems) stamps.push_back({ld_le32(e.data(), ELEM_STAMP), ld_le32(e.data(), ELEM_STAMP + 4)});
    ASSERT_GT(elems.size(), 40u);
    const auto ahead = std::count_if(stamps.begin(), stamps.end(), [&](const ss_clock& st) { return !later(now, st); });
    EXPECT_EQ(ahead, 0) << "of " << stamps.size() << " stamps, the clock at " << now.hsec;
    if (!round) create();
  }
  // The changed layout, compiled right after, converts.
  EXPECT_EQ(compare("DATA"), RS_CONVERT);
}

// A dictionary whose FILE was never compiled, or whose elements carry
// another stamp, is not compared; a file without a structure file is named.
TEST_F(Restructure, AFileNotCompiledOrWithoutStructureIsRefused) {
  dictionary(kOld, 1);
  create();
  {
    DesignBuilder b("APP", "01", com.sys_scope);
    ARB* a = b.handle(DF_FILE);
    uint8_t fi[kFileRecSize] = {};
    memcpy(fi + FI_NAME, "DATA    ", 8);
    ASSERT_EQ(dd_read(a, 0, fi, kFileRecSize, true), 1);
    st_le32(fi, FI_STAMP + 4, ld_le32(fi, FI_STAMP + 4) + 1);  // no element has it
    ASSERT_EQ(dd_rewrite(a, fi, kFileRecSize), 1);
    b.close_all();
  }
  EXPECT_EQ(compare("DATA"), RS_NOT_COMPILED);
  EXPECT_EQ(compare("NONE"), RS_NO_STRUCT);
  // Through the routine each is filed under its file.
  for (const char* name : {"DATA", "NONE"}) {
    db_restruct(nullptr, path(name), m1_, m2_);
    uint8_t r[kMsg1Size] = {};
    memcpy(r, "APP01", 5), snprintf(reinterpret_cast<char*>(r + 5), 9, "%-8s", name);
    ASSERT_EQ(dd_read(m1_, 0, r, kMsg1Size, false), 1) << name;
    EXPECT_EQ(ld_le32(r, M1_COUNT), 1u) << name;
  }
  captured_errors().clear();
}

// A record of 2500 bytes keeps three chunks per image in its STRUCT file,
// of 1013, 1013 and 513 bytes; loaded into 0DO they keep those lengths.
TEST_F(Restructure, LongRecordsCarryTheirInitialChunksWithTheirLengths) {
  // record length, chunk count, lengths
  const std::tuple<size_t, uint32_t, std::vector<size_t>> rows[] = {
      {2500, 6, {1013, 1013, 513, 1013, 1013, 513}},
      {2000, 4, {1013, 1013, 1013, 1013}},
      {1000, 2, {1013, 1013}},
      {40, 2, {53, 53}},
      {1001, 4, {1013, 14, 1013, 14}},
  };
  for (auto& [len, count, lengths] : rows)
    for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(struct_chunk_len(i, count, len), lengths[i]) << len << " " << i;

  dictionary("APPLICATION APP 01\nFILE LONG\n  ID A8 key=primary\n  BODY A2492\nEND\n", 1);
  create("LONG");
  restruct_ctx ctx{};
  EXPECT_EQ(compare("LONG", &ctx), RS_SAME);
  ARB* a = ctx.arb[RC_OLD_INIT];
  ASSERT_NE(a, nullptr);
  std::vector<uint8_t> rec(kInitRecMax);
  PROTO_FULL(a, 0, rec.data());
  a->arb_len = kInitRecMax, a->arb_mod = ARB_FIRST;
  ASSERT_EQ(fm_start(a), 1);
  std::string got;
  for (;;) {
    a->arb_rec = rec.data(), a->arb_len = kInitRecMax, a->arb_var_len = 0, a->arb_mod = 0;
    if (!fm_rdnxt(a)) break;
    got += std::to_string(rec[INIT_KIND]) + "." + std::to_string(ld_le32(rec.data(), INIT_CHUNK)) + ":" +
           std::to_string(a->arb_var_len) + " ";
  }
  EXPECT_EQ(got, "1.1:1013 1.2:1013 1.3:513 2.1:1013 2.2:1013 2.3:513 ");
  db_close_files(&ctx);
}

// A changed layout converts every record: widened alpha and packed fields,
// a new field at its initial value, 3 occurrences into 5, the rest moved;
// each record equals the model's conversion, read through the primary key
// and through the alternate one. SYSDIR is as before the run.
TEST_F(Restructure, AChangedLayoutConvertsEveryRecord) {
  const int n = 1000;
  app_file(n);
  const auto from = layout();
  uint16_t len = 0;
  const auto old = all_records(&len);
  ASSERT_EQ(old.size(), size_t(n));
  std::string app = with(app_source(), "CODE   kind=4 sub_kind=1 size=8", "CODE   kind=4 sub_kind=1 size=12");
  app = with(app, "mask=\"-99999.99\"", "mask=\"-999999999999.99\"");
  app = with(app, "occurs=3", "occurs=5 init=NEW");
  app += "FIELD EXTRA file=DATA seq=7 domain=NOTE domain_kind=1 init=EXTRA\n";
  compile_app(app, true);
  const std::vector<uint8_t> sysdir = sysdir_all();
  ASSERT_EQ(sysdir.size(), kSysdirLen);
  EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), RS_CONVERTED) << findings();
  for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
  EXPECT_EQ(sysdir_all(), sysdir);
  const auto to = layout();
  ASSERT_EQ(to.at("ID").size, 12);
  ASSERT_EQ(to.at("LIST").occurs, 5);
  ASSERT_EQ(all_records(&len).size(), size_t(n));  // and the new record length
  const std::vector<uint8_t> initial = initial_image(len);
  std::vector<std::vector<uint8_t>> want;
  for (auto& r : old) want.push_back(model_record(r, from, to, initial));
  // By the alternate key (CNT is -i) the records come last to first.
  for (uint8_t key : {0, 1}) {
    SCOPED_TRACE(key);
    auto got = all_records(&len, "DATA", key);
    ASSERT_EQ(got.size(), size_t(n));
    if (key == 1) std::reverse(got.begin(), got.end());
    int wrong = 0;
    for (int i = 0; i < n; ++i)
      if (got[i] != want[i] && ++wrong < 4) ADD_FAILURE() << "record " << i << " " << differences(got[i], want[i]);
    EXPECT_EQ(wrong, 0);
  }
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(want[7].data() + to.at("LIST").offset), 20),
            "L007L107L207NEW NEW ");
  // Nothing of the run's new files is left beside the old.
  for (auto& [name, bytes] : data_files()) EXPECT_NE(name.find("/DB1/APP/"), std::string::npos) << name;
}

// A field renamed in the dictionary is found by its two binaries and
// moved from its old name; a value too big for its narrowed field leaves
// the field at its initial value and the record is still written.
TEST_F(Restructure, RenamedFieldsMoveAndOverflowsTakeTheInitialValue) {
  const int n = 500;
  app_file(n);
  const auto from = layout();
  uint16_t len = 0;
  const auto old = all_records(&len);
  // The count keeps its binaries under its new name. Two bytes of packed
  // decimal hold -9.99 to 9.99: records 109 to 162 fit.
  std::string app = with(app_source(), "FIELD CNT  file=DATA", "FIELD COUNT file=DATA");
  app = with(app, "domain=MONEY  domain_kind=1", "domain=MONEY  domain_kind=1 init=\"1.25\"");
  app = with(app, "mask=\"-99999.99\"", "mask=\"-9.99\"");
  // The ID takes the two bytes, so that the record keeps its length.
  compile_app(with(app, "CODE   kind=4 sub_kind=1 size=8", "CODE   kind=4 sub_kind=1 size=10"), true);
  EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), RS_CONVERTED) << findings();
  for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
  const auto to = layout();
  ASSERT_EQ(to.count("COUNT"), 1u);
  const auto recs = all_records(&len);
  const std::vector<uint8_t> initial = initial_image(len);
  ASSERT_EQ(recs.size(), size_t(n));
  int wrong = 0;
  for (int i = 0; i < n; ++i)
    if (recs[i] != model_record(old[i], from, to, initial, {{"COUNT", "CNT"}}) && ++wrong < 4)
      ADD_FAILURE() << "record " << i;
  EXPECT_EQ(wrong, 0);
  auto amt = [&](int i) { return pd_cvb(recs[i].data() + to.at("AMT").offset, to.at("AMT").size); };
  EXPECT_EQ(amt(n - 1), 125);
  EXPECT_EQ(amt(150), 150 * 37 - 5000);
  EXPECT_EQ(bin_get(recs[n - 1].data() + to.at("COUNT").offset, to.at("COUNT").size), 1 - n);
}

// An unchanged file (compiled again, same structure date) and a
// compatible change (a new label, compiled from nothing) keep every byte of
// the data; the structure file is written anew and the file opens by it.
// Forced, an unchanged file converts to identical records.
TEST_F(Restructure, UnchangedAndCompatibleFilesKeepTheirData) {
  // compiled from nothing with a new label, forced, result
  const std::tuple<bool, bool, uint32_t> rows[] = {
      {false, false, RS_SAME}, {true, false, RS_COMPATIBLE}, {false, true, RS_CONVERTED}};
  for (auto [fresh, forced, result] : rows) {
    SCOPED_TRACE(result);
    app_file(50);
    uint16_t len = 0;
    const auto before = all_records(&len);
    const auto files = data_files();
    compile_app(fresh ? with(app_source(), "label=\"Id\"", "label=\"Key\"") : app_source(), fresh);
    if (forced) setenv("KIVO_VFY_RESTRUCT", "1", 1);
    EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), result) << findings();
    unsetenv("KIVO_VFY_RESTRUCT");
    for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
    EXPECT_EQ(all_records(&len), before);
    if (!forced) {
      for (auto& [name, bytes] : data_files()) {
        if (name.find("Struct") != std::string::npos) continue;
        EXPECT_EQ(bytes, files.at(name)) << name;
      }
    }
    scratch();
  }
}

// A run that fails keeps the old data file and its structure as they were,
// scratches the new ones and puts SYSDIR back: a write refused by the new
// file (two records whose new key would be the same), a cancel, and a
// swap the file system refuses (the old key file cannot be removed), which
// is no conversion. (Before, a refused swap said 104260.)
TEST_F(Restructure, AFailedRunKeepsTheOldFile) {
  // changed line and what it becomes, what the trap does, the swap refused, status
  const std::tuple<const char*, const char*, uint32_t, bool, uint32_t> rows[] = {
      {"CODE   kind=4 sub_kind=1 size=8", "CODE   kind=4 sub_kind=1 size=4", 0, false, RS_WRITE},
      {"mask=\"-99999.99\"", "mask=\"-999999999999.99\"", PI_END_CANCEL, false, RS_CANCELLED},
      {"mask=\"-99999.99\"", "mask=\"-999999999999.99\"", 0, true, RS_FAILED},
  };
  for (auto& [from, to, end, refused, status] : rows) {
    SCOPED_TRACE(status);
    app_file(20);
    const auto files = data_files();
    const std::vector<uint8_t> sysdir = sysdir_all();
    ASSERT_EQ(sysdir.size(), kSysdirLen);
    compile_app(with(app_source(), from, to), true);
    static uint32_t leave;
    leave = end;
    if (end) setenv("KIVO_TRAP_RESTRUCT", "1", 1);
    com.no_db_traps = 0;
    kivo_test::scoped_hook trap(ii_dbg_hooks.inst_trap, [](II_RUN*, uint8_t*) {
      if (leave) mark_leave(leave);
    });
    static bool refuse;
    refuse = refused;
    kivo_test::scoped_hook unlink(os_sys.unlink, [](const char* p) {
      if (refuse && strstr(p, "/DB1/APP/Data/DATA.key")) return errno = EACCES, -1;
      return ::unlink(p);
    });
    EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), status) << findings();
    unsetenv("KIVO_TRAP_RESTRUCT");
    com.no_db_traps = 1;
    captured_errors().clear();
    EXPECT_EQ(data_files(), files);
    EXPECT_EQ(sysdir_all(), sysdir);
    compile_app(app_source(), true);
    scratch();
  }
}

// A generated process killed by a real fatal signal: the run is a child
// engine process of the test (its descriptors shared, as no lock is held at
// the fork), stopped at the trap of its eleventh record read (ten new
// records written) while the test looks; the signal ends it through the
// recovery point with 200860, and the old file and structure, SYSDIR and
// the design of 0DN are as before the run.
TEST_F(Restructure, AGeneratedProcessKilledByAFatalSignalKeepsTheOldFile) {
  app_file(40);
  const auto files = data_files();
  const std::vector<uint8_t> sysdir = sysdir_all();
  ASSERT_EQ(sysdir.size(), kSysdirLen);
  compile_app(with(app_source(), "mask=\"-99999.99\"", "mask=\"-999999999999.99\""), true);
  static line_pipe *up, *down;
  line_pipe up_pipe, down_pipe;
  up = &up_pipe, down = &down_pipe;
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    ss_unix_init();
    setenv("KIVO_TRAP_RESTRUCT", "1", 1);
    com.no_db_traps = 0;
    kivo_test::scoped_hook trap(ii_dbg_hooks.inst_trap, [](II_RUN* run, uint8_t* inst) {
      static int traps;
      run->ip = inst + 4;  // past the trap, as the debugger goes on
      // The start's trap, then one per record read.
      if (++traps != 12) return;
      up->send("stopped");
      down->receive();  // the signal comes first; this line only after a fault
    });
    const uint32_t r = db_restruct(nullptr, path(), m1_, m2_);
    uint8_t pr[kProcRecSize];
    up->send(std::to_string(r) +
             (pc_read_process("0DN", "00", PT_ACTION, s30("RESTRUCTURE").c_str(), pr) ? " design" : ""));
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  // A child the test leaves early is killed and reaped with it.
  struct reaper {
    pid_t pid;
    ~reaper() {
      if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
  } child{pid};
  ASSERT_EQ(up_pipe.receive(), "stopped");
  // Stopped in mid-run: the new file lies beside the old, SYSDIR has 0DN's record.
  EXPECT_EQ(sysdir_all().size(), 2 * kSysdirLen);
  bool beside = false;
  for (auto& [name, bytes] : data_files()) beside = beside || name.find("/DB1/APP/") == std::string::npos;
  EXPECT_TRUE(beside);
  ASSERT_EQ(kill(pid, SIGSEGV), 0);
  ASSERT_EQ(up_pipe.receive(), std::to_string(RS_FAILED));
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  child.pid = 0;
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  EXPECT_EQ(data_files(), files);
  EXPECT_EQ(sysdir_all(), sysdir);
  uint16_t len = 0;
  EXPECT_EQ(all_records(&len).size(), 40u);
}

// The module of the generated process cannot be had after its run (the
// loader gives it once, to the run; file processes are asked as ever): 200860, filed under the file; the
// new files are scratched, the old ones and SYSDIR are as before, the
// generated design is gone, and the next run converts the file.
TEST_F(Restructure, AModuleMissingAfterTheRunFailsAndCleansUp) {
  app_file(30);
  const auto files = data_files();
  const std::vector<uint8_t> sysdir = sysdir_all();
  compile_app(with(app_source(), "mask=\"-99999.99\"", "mask=\"-999999999999.99\""), true);
  static int (*real_get)(PCB*, int);
  static int loads;
  real_get = compiler_seams.pl_get, loads = 0;
  {
    kivo_test::scoped_hook second_load_fails(compiler_seams.pl_get, [](PCB* p, int flag) {
      if (memcmp(p->invoc.b + INVOC_PROC_NAM, "RESTRUCTURE ", 12) != 0) return real_get(p, flag);
      return ++loads == 1 ? real_get(p, flag) : 0;
    });
    EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), RS_FAILED);
  }
  EXPECT_EQ(loads, 2);
  EXPECT_NE(findings().find("200860"), std::string::npos) << findings();
  captured_errors().clear();
  EXPECT_EQ(data_files(), files);
  EXPECT_EQ(sysdir_all(), sysdir);
  uint8_t pr[kProcRecSize];
  EXPECT_EQ(pc_read_process("0DN", "00", PT_ACTION, s30("RESTRUCTURE").c_str(), pr), 0);
  EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), RS_CONVERTED) << findings();
  for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
  uint16_t len = 0;
  EXPECT_EQ(all_records(&len).size(), 30u);
}

// The design routines called by name from a compiled process: in a copy of
// the installation, the ledger's changed design (share/design/ACCOUNT-2.dsgn)
// and the SUBROUTINE "DESIGN CALLS" (tests/design/design_calls.dsgn) are
// loaded; the engine runs the subroutine, whose CALLs compile ACCOUNT
// (a misalignment allowed as a warning, as the build allows it), convert
// its 50 records, check them and write its portable file, each reporting
// through the MESSAGE1 and MESSAGE2 files the process created; the process
// shows each call's highest class and last message. The converted file
// verifies good and the portable file holds every account.
TEST_F(Restructure, DesignRoutinesCalledFromAProcessReportThroughItsMessageFiles) {
  const std::string kivo = KIVO_BINARY, dir = data_ + "/inst";
  std::filesystem::copy(kivo_test::shipped_installation(), dir, std::filesystem::copy_options::recursive);
  const std::string account = dir + "/DEM/DEM/Data/ACCOUNT";
  const auto size_before = std::filesystem::file_size(account + ".dat");
  for (const char* src : {"share/design/ACCOUNT-2.dsgn", "tests/design/design_calls.dsgn"}) {
    const std::string cmd = std::string(KIVO_DESIGN) + " -d " + kivo_test::shell_quote(dir) + " " +
                            kivo_test::shell_quote(std::string(KIVO_SOURCE_DIR) + "/" + src) + " </dev/null >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << src;
  }
  kivo_test::env_list env = kivo_test::engine_env(dir);
  env.emplace_back("KIVO_ALLOW_MISALIGNS", "1");
  kivo_test::tmux_pane p(kivo_test::shell_quote(kivo) + " -d=DEM -a=DEM -t=Subroutine -p=DESIGN_CALLS", dir, env);
  ASSERT_TRUE(p.wait_for("END leaves.", 120)) << p.capture();
  std::vector<std::string> rows;
  std::istringstream screen(p.capture());
  for (std::string l; std::getline(screen, l);)
    if (l.size() > 1 && l.find_first_not_of(' ') != std::string::npos)
      rows.push_back(l.substr(0, l.find_last_not_of(' ') + 1));
  const std::vector<std::string> want = {
      " DESIGN CALLS",
      " DD_CMPL      1  WARNING - Record or field 1 byte off its alignment",
      " DB_RESTRUCT  0  Data converted: the new file replaced the old one",
      " DB_VFY       0",
      " MU_INIT      0",
      " MU_XLATE     0",
      " END leaves.",
  };
  ASSERT_GE(rows.size(), want.size()) << p.capture();
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + want.size()), want) << p.capture();
  p.send_keys("S-F1");
  EXPECT_EQ(p.exit_status(30), 0) << p.capture();
  EXPECT_EQ(kivo_test::slurp(dir + "/syserr"), "");
  // 50 records, each 32 bytes longer, in a file the verifier finds good.
  EXPECT_EQ(std::filesystem::file_size(account + ".dat"), size_before + 50 * 32);
  const int st = std::system(
      (kivo_test::shell_quote(kivo) + " -v=" + kivo_test::shell_quote(account) + " >/dev/null 2>&1").c_str());
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
  const std::string port = kivo_test::slurp(dir + "/DEM/DEM/Portdata/ACCOUNT.dat");
  for (int n = 1; n <= 50; ++n) {
    char no[8];
    snprintf(no, sizeof no, "A%05d", n);
    EXPECT_NE(port.find(no), std::string::npos) << no;
  }
}

// The 0SA loop twice in one run: the second starts from empty message
// files instead of failing on the first one's.
TEST_F(Restructure, TheSystemLoopRunsTwiceInOneSession) {
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(db_restruct_0sa(), 1);
    for (auto& e : std::exchange(captured_errors(), {}))
      EXPECT_EQ(e.find("Bad message create"), std::string::npos) << e;
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_MSG1_FDB(&f, k, s, "0AD", "00");
    ASSERT_EQ(FM_OPEN(&f, com.sys_scope, 0, 15, 15), 1);
    uint8_t r[kMsg1Size] = {};
    PROTO_FULL(f.fdb_arb, 0, r);
    f.fdb_arb->arb_len = kMsg1Size, f.fdb_arb->arb_mod = ARB_FIRST;
    int files = 0;
    if (fm_start(f.fdb_arb))
      while ((f.fdb_arb->arb_mod = 0, fm_rdnxt(f.fdb_arb))) {
        ++files;
        EXPECT_EQ(ld_le32(r, M1_COUNT), 1u) << std::string(reinterpret_cast<char*>(r), 13);
      }
    FM_CLOSE(f.fdb_arb, 0);
    EXPECT_EQ(files, 18);
  }
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {

// The design routines called by name as a CALL statement reaches them:
// "DB_RESTRUCT" converts a changed file and files its verdict, "DB_VFY" checks it, "MU_INIT" and
// "MU_XLATE" carry it out to its portable form; each files under the file
// in the caller's MESSAGE1 and MESSAGE2, and a call with another argument
// count is refused.
TEST_F(Restructure, DesignRoutinesByNameReportThroughTheMessageFiles) {
  old_file(30);
  dictionary(with(kOld, "AMT     P7.2S", "AMT     P9.2S"), 2);
  dd_init();
  size_t count = 0;
  const rt_fn_row* rows = int_fns_tbl(&count);
  auto row_of = [&](const char* name) {
    uint32_t r = 0;
    while (r < count && strcmp(rows[r].name, name) != 0) ++r;
    return r;
  };
  uint8_t req[64] = {};
  fdb_path_store(path(), req);
  auto call_it = [&](const char* name, size_t len, int argc = 3) {
    RT_CALL call{};
    call.argc = argc;
    call.args[0] = {1, 1, static_cast<uint16_t>(len), req};
    call.args[1] = {2, 0, 0, reinterpret_cast<uint8_t*>(m1_)};
    call.args[2] = {2, 0, 0, reinterpret_cast<uint8_t*>(m2_)};
    std::string err;
    const uint32_t r = row_of(name);
    EXPECT_LT(r, count) << name;
    return rt_call_row(r, call, &err);
  };
  auto summary = [&] {
    uint8_t r[kMsg1Size] = {};
    memcpy(r, "APP01DATA    ", 13);
    return dd_read(m1_, 0, r, kMsg1Size, false)
               ? std::to_string(ld_le32(r, M1_COUNT)) + "/" + std::to_string(ld_le32(r, M1_CLASS))
               : std::string("none");
  };
  EXPECT_EQ(call_it("DB_RESTRUCT", 28, 2), -1);
  // The verdict, no failure, is filed for the caller to read (104260, whose
  // text and class 0 the fixture's language holds).
  EXPECT_EQ(call_it("DB_RESTRUCT", 28), 1);
  EXPECT_EQ(summary(), "1/0") << findings();
  EXPECT_EQ(findings(), "data converted|");
  uint16_t len = 0;
  EXPECT_EQ(all_records(&len).size(), 30u);
  EXPECT_EQ(len, fields()["LIST"].first + 12);

  req[28] = '0', req[29] = '1';
  EXPECT_EQ(call_it("DB_VFY", 30), 1);
  EXPECT_EQ(summary(), "0/0") << findings();
  EXPECT_EQ(call_it("DB_VFY", 28), 0);  // the flags are missing

  EXPECT_EQ(call_it("MU_INIT", 1), 1);
  uint8_t xl[kMuReqSize] = {};
  memcpy(xl, req, kMuPathSize);
  xl[MU_DIR] = 0, xl[MU_MODE] = MU_ADD_STOP, xl[MU_STRUCT] = '1';
  memcpy(req, xl, kMuReqSize);
  EXPECT_EQ(call_it("MU_XLATE", kMuReqSize), 1);
  EXPECT_EQ(summary(), "0/0") << findings();
  for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {

// The file routines: create from the dictionary (with its structure, or
// the structure alone with flag '0'), the path, the scratch; a file the
// dictionary does not describe is filed as a message under the file.
TEST_F(Restructure, FileRoutinesCreateScratchAndPlaceFromTheDictionary) {
  dictionary(kOld, 1);
  ASSERT_EQ(rt_create(nullptr, path(), m1_, m2_, '1'), 1) << findings();
  auto exists = [&](const char* rel) { return std::filesystem::exists(data_ + rel); };
  EXPECT_TRUE(exists("/DB1/APP/Data/DATA.dat"));
  EXPECT_TRUE(exists("/DB1/APP/Struct/DATA.dat"));
  const std::string where = rt_get_path(nullptr, path(), m1_, m2_);
  EXPECT_EQ(where, data_ + "/DB1/APP/Data/DATA");  // the back-end adds its extensions

  // The structure alone, recorded again after it was lost; the data stays.
  std::filesystem::remove(data_ + "/DB1/APP/Struct/DATA.dat");
  ASSERT_EQ(rt_create(nullptr, path(), m1_, m2_, '0'), 1) << findings();
  EXPECT_TRUE(exists("/DB1/APP/Struct/DATA.dat"));
  uint16_t len = 0;
  ARB* a = open_data(&len);
  ASSERT_NE(a, nullptr);
  FM_CLOSE(a, 0);

  ASSERT_EQ(rt_scratch(nullptr, path(), m1_, m2_), 1) << findings();
  EXPECT_FALSE(exists("/DB1/APP/Data/DATA.dat"));
  EXPECT_FALSE(exists("/DB1/APP/Struct/DATA.dat"));

  EXPECT_EQ(rt_create(nullptr, path("NONE"), m1_, m2_, '1'), 0);
  uint8_t r[kMsg1Size] = {};
  memcpy(r, "APP01NONE    ", 13);
  ASSERT_EQ(dd_read(m1_, 0, r, kMsg1Size, false), 1);
  EXPECT_EQ(ld_le32(r, M1_COUNT), 1u);
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test
