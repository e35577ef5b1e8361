// The file verbs in real processes of the executive: reads by key, alternate key and record number, scans,
// holds, updates and their statuses, the FAIL digits, OPEN and CREATE of a restructure's old and new files, and the
// PCF through the executive's operations.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "compiler/rt_names.h"
#include "fm/fm_objects.h"
#include "interp/rt_fns.h"
#include "line_pipe.h"
#include "stmt_files_test.h"
#include "store/fd_cache.h"
#include "store/lock.h"
#include "store/store.h"

namespace kivo::test {
namespace {

// ITEMS: ID, CITY (key 1), QTY, NOTE. BIG: 1,000 records for the scans. SCR: a native file to scratch.
const std::string kHead = R"(APPLICATION 0DN 01
FILE ITEMS fs=2 len=40
  ID      A6  @0 key=primary
  CITY    A10 @6 key=1
  QTY     B9S @16
  NOTE    A20 @20
END
FILE BIG fs=2 len=12
  BKEY    A6  @0 key=primary
  BALT    A6  @6 key=1
END
FILE SCR fs=1 len=8
  SKEY    A8  @0 key=primary
END
FILE LOCKF fs=1 len=8
  LKEY    A8  @0 key=primary
END
FILE NEWF fs=2 len=8
  NKEY    A8  @0 key=primary
END
WORK COUNT B9S
)";

std::string process(const std::string& name, const std::string& stmts, const std::string& pcf = "",
                    const std::string& ep3 = "") {
  std::string s = "PROCESS 6 " + name + (pcf.empty() ? "" : " pcf_ap=0DN pcf_file=" + pcf + " pcf_update=1") + "\n";
  s += "STMTS 6 " + name + " ep=1\n" + stmts + "END\n";
  if (!ep3.empty()) s += "STMTS 6 " + name + " ep=3\n" + ep3 + "END\n";
  return s;
}
std::string set(const std::string& f, const std::string& v) { return two("", "SET", "0DN", f, "=", v); }
std::string file(const std::string& pfx, const std::string& verb, const std::string& f, const std::string& fail = "0",
                 const std::string& hold = "0", const std::string& key = "") {
  if (verb == "READ" || verb == "READNEXT")
    return L(pfx, verb, {{16, "0DN"}, {20, f}, {35, hold}, {45, fail}, {58, key}});
  if (verb == "BEG READ") return L(pfx, verb, {{16, "0DN"}, {20, f}, {35, hold}, {58, key}});
  if (verb == "SELECT") return L(pfx, verb, {{16, "0DN"}, {20, f}, {58, key}});
  if (verb == "OPEN" || verb == "CREATE") return L(pfx, verb, {{16, "0DN"}, {20, f}, {37, "N"}, {45, fail}});
  if (verb == "CLOSE") return L(pfx, verb, {{16, "0DN"}, {20, f}, {45, fail == "Y" ? "Y" : "N"}});
  if (verb == "DELETE" || verb == "END READ") return L(pfx, verb, {{16, "0DN"}, {20, f}});
  return L(pfx, verb, {{16, "0DN"}, {20, f}, {45, fail}});
}
std::string status_is(const std::string& pfx, const std::string& code) {
  return two(pfx, "IF", "0LA", "STATUS CODE", "EQ", code);
}

const std::string kItems[] = {"A1    LONDON", "B2    ROME      ", "C3    PARIS"};

class StmtFiles : public FileStmtFixture {
 protected:
  void SetUp() override {
    FileStmtFixture::SetUp();
    std::string src = kHead;
    // By the primary key, by an alternate key, by record number (ENTRY record 1) and a key not there.
    src += process("READS", set("ID", "B2") + file("", "READ", "ITEMS") + msg("T", "key") +
                                L("T", "IF", {{16, "0DN"}, {20, "CITY"}, {47, "EQ"}, {54, "ROME"}}) +
                                msg("TT", "rome") + set("CITY", "PARIS") + file("", "READ", "ITEMS", "0", "0", "CITY") +
                                two("T", "IF", "0DN", "ID", "EQ", "C3") + msg("TT", "alt") +
                                L("", "READ", {{16, "0LA"}, {20, "ENTRY"}, {35, "0"}, {45, "0"}}) +
                                two("T", "IF", "0LA", "ENTRY RESTRUCT STAT1", "EQ", "0") + msg("TT", "entry") +
                                set("ID", "ZZ") + file("", "READ", "ITEMS") + status_is("F", "200450") +
                                msg("FT", "notfound"));
    // READNEXT from A1 to the end; SELECT by the alternate key, then READNEXT in its order.
    src +=
        process("NEXTS", set("COUNT", "0") + set("ID", "A1") + file("", "READ", "ITEMS") +
                             L("", "LABEL", {{16, "TOP"}}) + file("", "READNEXT", "ITEMS") +
                             L("F", "GOTO", {{16, "DONE"}}) + two("", "COMPUTE", "0DN", "COUNT", "+", "1") +
                             L("", "GOTO", {{16, "TOP"}}) + L("", "LABEL", {{16, "DONE"}}) + status_is("", "200360") +
                             msg("T", "eof") + two("", "IF", "0DN", "COUNT", "EQ", "2") + msg("T", "two") +
                             set("CITY", "MADRID") + file("", "SELECT", "ITEMS", "", "", "CITY") + msg("T", "start") +
                             file("", "READNEXT", "ITEMS", "0", "0", "CITY") + two("T", "IF", "0DN", "ID", "EQ", "C3") +
                             msg("TT", "paris") + file("", "READNEXT", "ITEMS", "0", "0", "CITY") +
                             two("T", "IF", "0DN", "ID", "EQ", "B2") + msg("TT", "rome"));
    // BEG READ over BIG from the first record, then from BALT 999499 on by key 1.
    src += process("SCANS", set("COUNT", "0") + file("", "BEG READ", "BIG") +
                                two("", "COMPUTE", "0DN", "COUNT", "+", "1") + file("", "END READ", "BIG") +
                                two("", "IF", "0DN", "COUNT", "EQ", "1000") + msg("T", "all") + set("COUNT", "0") +
                                set("BALT", "999499") + file("", "BEG READ", "BIG", "", "0", "BALT") +
                                two("", "COMPUTE", "0DN", "COUNT", "+", "1") + file("", "END READ", "BIG") +
                                two("", "IF", "0DN", "COUNT", "EQ", "500") + msg("T", "half"));
    // HOLD 1 and REWRITE, a duplicate WRITE, a new one, DELETE, IF EXIST.
    src += process("UPDATES", set("ID", "A1") + file("", "READ", "ITEMS", "0", "1") + set("QTY", "42") +
                                  file("", "REWRITE", "ITEMS") + msg("T", "rewritten") + file("", "WRITE", "ITEMS") +
                                  status_is("F", "200170") + msg("FT", "dup") + set("ID", "D4") + set("CITY", "OSLO") +
                                  file("", "WRITE", "ITEMS") + msg("T", "added") + set("ID", "B2") +
                                  file("", "READ", "ITEMS", "0", "1") + file("", "DELETE", "ITEMS") +
                                  msg("T", "deleted") + file("", "IF EXIST", "ITEMS") + msg("F", "gone") +
                                  set("ID", "C3") + file("", "IF EXIST", "ITEMS") + msg("T", "exists"));
    // FAIL 3 leaves the level an IF set; FAIL 1 makes the failure a run-time error.
    src += process("FAILS", two("", "IF", "0DN", "ID", "EQ", "ZZ") + file("", "READ", "ITEMS", "3") + msg("F", "kept") +
                                set("ID", "ZZ") + file("", "READ", "ITEMS", "3") + msg("F", "kept") +
                                file("", "READ", "ITEMS", "1") + msg("", "after"));
    // CLOSE PHYSICAL, then a read fails; SCRATCH removes a native file; CREATE and OPEN of a new file.
    src += process("CLOSES", file("", "CLOSE", "ITEMS", "Y") + msg("T", "closed") + file("", "READ", "ITEMS") +
                                 status_is("F", "200480") + msg("FT", "notopen") + file("", "SCRATCH", "SCR") +
                                 msg("T", "scratched") + file("", "CREATE", "NEWF") + msg("T", "created") +
                                 set("NKEY", "N1") + file("", "WRITE", "NEWF") + file("", "CLOSE", "NEWF") +
                                 file("", "OPEN", "NEWF") + msg("T", "opened") + file("", "READ", "NEWF") +
                                 msg("T", "kept"));
    // OPEN and CLOSE again and again: each CLOSE lets its logical file go.
    std::string reopens;
    for (int i = 0; i < 3; ++i) reopens += file("", "OPEN", "SCR") + file("", "CLOSE", "SCR");
    src += process("REOPENS", reopens + L("", "CALL", {{20, "KV_SCR_LFBS"}, {57, "N"}, {65, "N"}, {73, "0"}}) +
                                  msg("T", "none") + file("", "OPEN", "SCR") + msg("T", "opened"));
    // The PCF through the executive: event 03 runs after its read; an OPEN of the PCF starts its stream.
    src += process("VIAPCF", set("ID", "B2") + file("", "READ", "ITEMS") + msg("T", "read"), "ITEMS", msg("", "ep3"));
    src += process("OPENPCF",
                   file("", "OPEN", "ITEMS") + msg("T", "opened") + set("ID", "C3") + file("", "READ", "ITEMS") +
                       msg("T", "read") + file("", "CLOSE", "ITEMS") + file("", "READ", "ITEMS") + msg("F", "closed"),
                   "ITEMS", msg("", "ep3"));
    // A record held by one engine process and waited for by another.
    src += process("HOLDER", two("", "SET", "0DN", "LKEY", "=", "K1") + file("", "READ", "LOCKF", "0", "1") +
                                 msg("T", "held") + msg("", "done"));
    src += process("WAITER",
                   two("", "SET", "0DN", "LKEY", "=", "K1") + file("", "READ", "LOCKF", "0", "2") + msg("T", "got"));
    // PASS of a file's handle and of the PCF's, each taken by a routine.
    const std::string call = L("", "CALL", {{20, "KV_FILE_READ"}, {57, "N"}, {65, "N"}, {73, "0"}});
    src += process("PASSF",
                   L("", "PASS", {{16, "0DN"}, {20, "BIG"}, {47, "FILE"}, {71, "Y"}}) + call + msg("T", "file") +
                       L("", "PASS", {{16, "0DN"}, {20, "ITEMS"}, {47, "FILE"}, {71, "Y"}}) + call + msg("T", "pcf"),
                   "ITEMS");
    // A restructure's old file, found through the "OLD FI" fields, and a new file at its compiled path.
    std::string old_fi;
    for (auto [f, v] : {std::pair{"OLD FI AP", "NAT"},
                        {"OLD FI VER", "01"},
                        {"OLD FI NAM", "OLDDATA"},
                        {"OLD SRC AP", "NAT"},
                        {"OLD SRC VER", "01"}})
      old_fi += two("", "SET", "0LA", f, "=", v);
    src += process("OLDNEW", L("", "OPEN", {{16, "0DO"}, {20, "OLDF"}, {37, "N"}, {45, "0"}}) +
                                 status_is("F", "200340") + msg("FT", "nofile") + old_fi +
                                 L("", "OPEN", {{16, "0DO"}, {20, "OLDF"}, {37, "N"}, {45, "0"}}) + msg("T", "old") +
                                 two("", "SET", "0DO", "OK", "=", "K1") +
                                 L("", "READ", {{16, "0DO"}, {20, "OLDF"}, {35, "0"}, {45, "0"}}) + msg("T", "read") +
                                 file("", "CREATE", "NEWF") + msg("T", "new"));
    src +=
        "PROCESS 6 PCFWRITE pcf_ap=0DN pcf_file=ITEMS\nSTMTS 6 PCFWRITE ep=1\n" + file("", "WRITE", "ITEMS") + "END\n";
    natives.insert("SCR     "), natives.insert("LOCKF   ");
    start(src);
    const design_source_result r = design_source_build(
        "APPLICATION 0DO 01\nFILE OLDF fs=1 len=8\n  OK A4 @0 key=primary\nEND\n", "old", com.sys_scope, "0DO");
    ASSERT_TRUE(r.ok) << r.error;
  }
  void adjust(uint8_t* c) override {
    FileStmtFixture::adjust(c);
    if (!memcmp(c + FDB_AP, "0DO", 3)) st_le32(c, FDB_OPT, ld_le32(c, FDB_OPT) | kAnyFile);
  }
  void items() { make_file("READS", "ITEMS", {kItems[0], kItems[1], kItems[2]}); }
  void expect(const std::string& proc, const std::string& heard_want, uint32_t end = PI_END_PROCESS) {
    EXPECT_EQ(go(proc), end) << proc;
    EXPECT_EQ(heard(), heard_want) << proc;
    if (end == PI_END_PROCESS)
      for (const std::string& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << proc << ": " << e;
  }
};

TEST_F(StmtFiles, ReadsByKeyAlternateKeyRecordNumberAndScans) {
  items();
  std::vector<std::string> big;
  for (int i = 1; i <= 1000; ++i) {
    char r[13];
    snprintf(r, sizeof r, "%06d%06d", i, 999999 - i);
    big.push_back(r);
  }
  make_file("SCANS", "BIG", big);
  expect("READS", "key rome alt entry notfound");
  expect("NEXTS", "eof two start paris rome");
  expect("SCANS", "all half");
}

TEST_F(StmtFiles, UpdatesTheirStatusesAndTheFailDigits) {
  items();
  expect("UPDATES", "rewritten dup added deleted gone exists");
  const std::vector<std::string> r = records("UPDATES", "ITEMS");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].substr(0, 6) + r[1].substr(0, 6) + r[2].substr(0, 6), "A1    C3    D4    ");
  EXPECT_EQ(ld_le32(reinterpret_cast<const uint8_t*>(r[0].data()), 16), 42u);
  EXPECT_EQ(go("FAILS"), PI_END_CANCEL);
  EXPECT_EQ(heard(), "kept kept");  // FAIL 3 left the F of the IF and of the READ before; FAIL 1 ended the run
  const std::vector<std::string> e = std::exchange(captured_errors(), {});
  EXPECT_EQ(e.size(), 1u);
}

// The executive opens what READ (access 1) and the updating verbs (15) name; a file an OPEN or CREATE names is
// left to the statement (0).
TEST_F(StmtFiles, AccessOfEachFileFollowsTheVerbsThatNameIt) {
  const std::tuple<const char*, const char*, int> rows[] = {
      {"READS", "ITEMS", 1},  {"UPDATES", "ITEMS", 15}, {"CLOSES", "SCR", 15},   {"CLOSES", "NEWF", 0},
      {"CLOSES", "ITEMS", 1}, {"OPENPCF", "ITEMS", 0},  {"VIAPCF", "ITEMS", 15}, {"PCFWRITE", "ITEMS", 15}};
  for (auto [proc, name, access] : rows) {
    FDB fdb;
    uint8_t c[CFI_LEN];
    ASSERT_TRUE(desc(proc, name, &fdb, c)) << proc;
    EXPECT_EQ(c[FDB_ACC], access) << proc << " " << name;
  }
}

TEST_F(StmtFiles, CloseScratchCreateAndOpen) {
  items();
  make_file("CLOSES", "SCR", {"S1"});
  expect("CLOSES", "closed notopen scratched created opened kept");
  FDB fdb;
  uint8_t c[CFI_LEN];
  ASSERT_TRUE(desc("CLOSES", "SCR", &fdb, c));
  EXPECT_EQ(FM_OPEN(&fdb, com.mark_scope, kAnyFile, 1, 15), 0);
  EXPECT_EQ(fdb.fdb_stat, uint32_t{FM_NO_FILE});
}

// Closed logical files are freed at their CLOSE, not kept to the end of the level: a loop of OPEN and CLOSE
// does not pile them up.
TEST_F(StmtFiles, CloseFreesTheLogicalFileItsOpenMade) {
  static const rt_fn_row row{
      "KV_SCR_LFBS",
      [](RT_CALL&) {
        int n = 0;
        for (auto* p = static_cast<PFB*>(fm_pfb_list.head); p; p = static_cast<PFB*>(p->pfb_all.next))
          for (auto* l = static_cast<LFB*>(p->pfb_lfb.head); l; l = static_cast<LFB*>(l->lfb_in_pfb.next))
            n += !memcmp(l->lfb_lfn->lfn_path.fdb_name, "SCR     ", 8);
        return n == 0 ? 1 : 0;
      },
      0, 0};
  if (rt_fn_ref ref{}; !rt_fn_find(row.name, strlen(row.name), &ref)) {
    ASSERT_EQ(rt_add_fn(row), 1);
  }
  make_file("REOPENS", "SCR", {"S1"});
  expect("REOPENS", "none opened");
}

// Before the "OLD FI" fields name it the old file is not there; then it opens and reads at their path.
TEST_F(StmtFiles, OldFileFromTheOldFiFieldsAndNewFileAtItsCompiledPath) {
  FDB fdb;
  uint8_t c[CFI_LEN];
  ASSERT_TRUE(desc("OLDNEW", "OLDF", &fdb, c, "0DO"));
  memcpy(c + FDB_AP, "NAT", 3), memcpy(c + FDB_NAME, "OLDDATA ", 8), memcpy(c + FDB_SRC_AP, "NAT", 3);
  ASSERT_EQ(em_cfi_desc(module_of("OLDNEW"), c, &fdb), 1);
  ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 10, kAnyFile | LFB_OPEN_NEW, 15, 15), 1) << fdb.fdb_stat;
  ARB* a = fdb.fdb_arb;
  uint8_t r[8] = {'K', '1', ' ', ' ', ' ', ' ', ' ', ' '};
  PROTO_FULL(a, 0, r);
  a->arb_var_len = 8, a->arb_mod = 0;
  ASSERT_EQ(fm_write(a), 1);
  FM_CLOSE(a, 0);
  expect("OLDNEW", "nofile old read new");
}

TEST_F(StmtFiles, ThePcfGoesThroughTheExecutive) {
  items();
  expect("VIAPCF", "ep3 read");
  expect("OPENPCF", "opened ep3 read closed");
}

using BuiltinRoutines = StmtFiles;

// The routine gets the open handle: it reads record C3 of ITEMS, or the first of BIG, through it.
TEST_F(BuiltinRoutines, PassOfAFileHandsItsHandle) {
  static const rt_fn_row row{"KV_FILE_READ",
                             [](RT_CALL& c) {
                               if (c.argc != 1 || c.args[0].kind != 2) return 0;
                               ARB* a = reinterpret_cast<ARB*>(c.args[0].addr);
                               uint8_t* keep = a->arb_rec;
                               uint8_t r[40];
                               memset(r, ' ', sizeof r), memcpy(r, "C3", 2);
                               PROTO_FULL(a, 0, r);
                               a->arb_len = sizeof r, a->arb_mod = ARB_FIRST;
                               const int ok = fm_start(a) && (a->arb_mod = 0, fm_rdnxt(a));
                               a->arb_rec = keep;
                               return ok && (!memcmp(r, "000001", 6) || !memcmp(r, "A1", 2)) ? 1 : 0;
                             },
                             1, 0};
  if (rt_fn_ref ref{}; !rt_fn_find(row.name, strlen(row.name), &ref)) {
    ASSERT_EQ(rt_add_fn(row), 1);
  }
  items();
  make_file("PASSF", "BIG", {"000001999998"});
  expect("PASSF", "file pcf");
}

// HOLD 2 waits for the record another engine process holds, and reads it once that one ends.
TEST_F(StmtFiles, HoldTwoWaitsForTheRecordAnotherProcessHolds) {
  make_file("HOLDER", "LOCKF", {"K1"});
  line_pipe from_holder, release, notice, from_waiter;
  std::vector<pid_t> kids;
  auto spawn = [&](const std::string& proc, const std::function<void()>& before) {
    const pid_t pid = fork();
    if (pid == 0) {
      fd_cache_after_fork();
      before();
      go(proc);
      _exit(0);
    }
    kids.push_back(pid);
  };
  spawn("HOLDER", [&] {
    on_msg = [&](const std::string& m) {
      if (m != "held") return;
      from_holder.send(m);
      release.receive();
    };
  });
  ASSERT_EQ(from_holder.receive(), "held");
  spawn("WAITER", [&] {
    g_notice_fd = notice.fd[1], lock_wait_notice_ms = 1;
    hooks_.set(store_hooks.lock_status, notice_to_pipe);
    on_msg = [&](const std::string& m) { from_waiter.send(m); };
  });
  EXPECT_EQ(notice.receive(), "waiting");
  release.send("go");
  EXPECT_EQ(from_waiter.receive(), "got");
  for (pid_t pid : kids) {
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
}

}  // namespace
}  // namespace kivo::test
