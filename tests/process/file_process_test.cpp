// A file's own process through the real loader, executive and interpreter:
// memory files of "0DN" whose processes (type 12) refuse, change and follow
// records, reached from the file verbs of a SUBROUTINE and from handles the
// test opens itself. What the processes say (MESSAGE) is heard in order.
#include <map>
#include <string>
#include <vector>

#include "compiler/pc_cmpl.h"
#include "fm/fm_xlate.h"
#include "process/pi_hooks.h"
#include "stmt_files_test.h"

namespace kivo::test {
namespace {

// GOODS has a process: its read event counts reads, refuses a held read of
// B2, marks C3 as seen and, for D4, writes TRAIL, whose own process says
// whether another file's event caused it; its update events say what they
// found kept of the process's counters and mark the record changed.
// ORPHAN's process needs a file that was never made. PLAIN has none.
const std::string kSource = R"(APPLICATION 0DN 01
FILE GOODS fs=2 len=40
  GID     A4  @0 key=primary
  GNAME   A20 @4
  GNOTE   A8  @24
END
FILE TRAIL fs=2 len=8
  TKEY    A4  @0 key=primary
  TNOTE   A4  @4
END
FILE ORPHAN fs=2 len=8
  OKEY    A4  @0 key=primary
END
FILE MISSING fs=1 len=8
  MKEY    A4  @0 key=primary
END
FILE PLAIN fs=2 len=8
  PKEY    A8  @0 key=primary
END
WORK RCOUNT B4
WORK UCOUNT B4
)";

std::string set(const std::string& f, const std::string& v) { return two("", "SET", "0DN", f, "=", v); }
std::string if_(const std::string& pfx, const std::string& f, const std::string& v) {
  return two(pfx, "IF", "0DN", f, "EQ", v);
}
std::string verb(const std::string& pfx, const std::string& v, const std::string& f, const std::string& hold = "0") {
  if (v == "READ") return L(pfx, v, {{16, "0DN"}, {20, f}, {35, hold}, {45, "0"}});
  if (v == "DELETE") return L(pfx, v, {{16, "0DN"}, {20, f}});
  return L(pfx, v, {{16, "0DN"}, {20, f}, {45, "0"}});
}
std::string stmts(const std::string& type, const std::string& name, int ep, const std::string& body) {
  return "STMTS " + type + " " + name + " ep=" + std::to_string(ep) + "\n" + body + "END\n";
}

std::string design() {
  std::string s = kSource + "PROCESS 12 GOODS\n";
  s += stmts("12", "GOODS", 3,
             two("", "COMPUTE", "0DN", "RCOUNT", "+", "1") + if_("", "GID", "B2") +
                 two("T", "IF", "0LA", "OPERATION", "EQ", "4") + L("TT", "ERROR", {{16, "NO HELD B2"}}) +
                 if_("", "GID", "C3") + two("T", "SET", "0DN", "GNAME", "=", "SEEN") + if_("", "GID", "D4") +
                 two("T", "SET", "0DN", "TKEY", "=", "0DN GID") + verb("T", "WRITE", "TRAIL"));
  s += stmts("12", "GOODS", 4,
             if_("", "RCOUNT", "1") + msg("T", "pre read 1") + if_("", "UCOUNT", "1") + msg("T", "pre update 1") +
                 set("GNOTE", "CHANGED"));
  s += stmts("12", "GOODS", 5, two("", "COMPUTE", "0DN", "UCOUNT", "+", "1"));
  s += "PROCESS 12 TRAIL\n" +
       stmts("12", "TRAIL", 4,
             two("", "IF", "0LA", "CALLER", "EQ", "FILE") + msg("T", "trail from file") + msg("F", "trail direct"));
  s += "PROCESS 12 ORPHAN pcf_ap=0DN pcf_file=MISSING pcf_required=1\n" +
       stmts("12", "ORPHAN", 1, verb("", "WRITE", "MISSING") + msg("", "orphan open"));
  // The driver: a read, a change of C3 and of the record a read of D4 leads
  // to, a direct write of TRAIL.
  s += "PROCESS 6 GDRIVE\n" +
       stmts("6", "GDRIVE", 1,
             set("GID", "A1") + verb("", "READ", "GOODS") + msg("T", "a1") + set("GID", "B2") +
                 verb("", "READ", "GOODS", "1") + two("F", "IF", "0LA", "STATUS CODE", "EQ", "200450") +
                 msg("FT", "b2 refused") + verb("", "REWRITE", "GOODS") + msg("F", "b2 not held") + set("GID", "D4") +
                 verb("", "READ", "GOODS") + msg("T", "d4") + set("TKEY", "Z9") + verb("", "WRITE", "TRAIL") +
                 msg("T", "z9") + verb("", "WRITE", "ORPHAN") + verb("", "WRITE", "PLAIN"));
  return s;
}

class FileProcess : public FileStmtFixture {
 protected:
  void SetUp() override {
    FileStmtFixture::SetUp();
    start(design());
    ASSERT_NO_FATAL_FAILURE(make_file("GDRIVE", "GOODS", {"A1  APPLE", "B2  PLUM", "C3  CHERRY", "D4  DATE"}));
    ASSERT_NO_FATAL_FAILURE(make_file("GDRIVE", "TRAIL", {}));
    ASSERT_NO_FATAL_FAILURE(make_file("GDRIVE", "ORPHAN", {}));
    ASSERT_NO_FATAL_FAILURE(make_file("GDRIVE", "PLAIN", {}));
    pi_fproc_forget();
  }
  // A descriptor of its own (the module that gave it is compiled again).
  struct owned_desc {
    FDB fdb;
    std::vector<KDB> kdb;
    std::vector<std::vector<SDB>> sdb;
  };
  // The descriptor of `file` as the driver compiles it; null when it has none.
  const FDB* desc_of(const std::string& file) {
    auto it = descs_.find(file);
    if (it != descs_.end()) return &it->second.fdb;
    uint8_t c[CFI_LEN];
    owned_desc d;
    if (!desc("GDRIVE", file, &d.fdb, c)) return nullptr;
    d.kdb.assign(d.fdb.fdb_kdb, d.fdb.fdb_kdb + d.fdb.fdb_nkeys);
    for (KDB& k : d.kdb) d.sdb.emplace_back(k.kdb_sdb, k.kdb_sdb + k.kdb_nsegs);
    owned_desc& o = descs_.emplace(file, std::move(d)).first->second;
    for (size_t k = 0; k < o.kdb.size(); ++k) o.kdb[k].kdb_sdb = o.sdb[k].data();
    o.fdb.fdb_kdb = o.kdb.data();
    return &o.fdb;
  }
  // A handle on `file` as a process opens it, with the file-process option.
  ARB* open(const std::string& file, uint8_t* rec) {
    const FDB* d = desc_of(file);
    if (!d) return nullptr;
    FDB fdb = *d;
    if (!FM_OPEN(&fdb, com.mark_scope, kAnyFile | LFB_FILE_PROC, 15, 15)) return nullptr;
    fdb.fdb_arb->arb_rec = rec;
    fdb.fdb_arb->arb_len = fdb.fdb_rec_len;
    return fdb.fdb_arb;
  }
  // A read by the key "<key>  " (GID).
  static int read(ARB* a, const char* key, uint16_t mod) {
    memcpy(a->arb_rec, key, 2);
    memset(a->arb_rec + 2, ' ', 2);
    a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = mod;
    return fm_read(a);
  }
  static std::string name_in(const uint8_t* rec) { return std::string(reinterpret_cast<const char*>(rec) + 4, 6); }

  std::map<std::string, owned_desc> descs_;  // the descriptors the driver's module gave
};

TEST_F(FileProcess, EventsOfAProcessRunRefuseChangeAndCauseOthers) {
  EXPECT_EQ(go("GDRIVE"), PI_END_PROCESS);
  // The held read of B2 is refused and leaves no hold to rewrite; D4's read
  // writes TRAIL, whose process knows another file's event caused it; the
  // driver's own write of TRAIL is direct. ORPHAN's process never starts:
  // the file it writes was never made. PLAIN has no process at all.
  EXPECT_EQ(heard(), "a1 NO HELD B2 b2 refused b2 not held trail from file d4 trail direct z9");
  const std::vector<std::string> e = std::exchange(captured_errors(), {});
  ASSERT_EQ(e.size(), 1u) << "the orphan's missing file";
  EXPECT_NE(e[0].find("cannot open"), std::string::npos) << e[0];
  const std::vector<std::string> trail = records("GDRIVE", "TRAIL");
  ASSERT_EQ(trail.size(), 2u);
  EXPECT_EQ(trail[0].substr(0, 4) + trail[1].substr(0, 4), "D4  Z9  ");
}

// What a read event does to its copy reaches the reader, never the stored
// record; a locate-mode reader sees the file's own copy untouched.
TEST_F(FileProcess, AReadEventChangesTheReadersCopyOnly) {
  uint8_t rec[40];
  ARB* a = open("GOODS", rec);
  ASSERT_TRUE(a);
  ASSERT_EQ(read(a, "C3", ARB_EQUAL), 1);
  EXPECT_EQ(name_in(rec), "SEEN  ");
  memcpy(rec, "C3  ", 4);
  a->arb_keyno = 0, a->arb_key = nullptr;
  const uint8_t* own = fm_read_fast(a, ARB_EQUAL);
  ASSERT_TRUE(own);
  EXPECT_EQ(name_in(own), "CHERRY");
  for (const std::string& r : records("GDRIVE", "GOODS"))
    if (r.substr(0, 2) == "C3") {
      EXPECT_EQ(name_in(reinterpret_cast<const uint8_t*>(r.data())), "CHERRY");
    }
  FM_CLOSE(a, 0);
}

// The process's data kept with a held record come back for its update,
// whatever other reads did meanwhile; after the update they are forgotten,
// so the next update starts from the data as they are.
TEST_F(FileProcess, DataKeptWithAHeldRecordServeItsUpdateOnly) {
  uint8_t rec[40], other[40];
  ARB* a = open("GOODS", rec);
  ARB* b = open("GOODS", other);
  ASSERT_TRUE(a && b);
  said.clear();
  ASSERT_EQ(read(a, "A1", ARB_EQUAL | ARB_HOLD), 1);  // reads: 1, kept with the hold
  ASSERT_EQ(read(b, "C3", ARB_EQUAL), 1);             // reads: 2
  a->arb_mod = 0;
  ASSERT_EQ(fm_rewrite(a), 1);             // sees 1 read, no update; then 1 update
  ASSERT_EQ(read(b, "C3", ARB_EQUAL), 1);  // reads: 2 again
  memcpy(rec, "E5  EGG", 7);
  a->arb_mod = 0;
  ASSERT_EQ(fm_write(a), 1);  // sees the update, not the kept data
  EXPECT_EQ(heard(), "pre read 1 pre update 1");
  std::vector<std::string> notes;
  for (const std::string& s : records("GDRIVE", "GOODS")) notes.push_back(s.substr(0, 2) + s.substr(24, 8));
  EXPECT_EQ(notes, (std::vector<std::string>{"A1CHANGED ", "B2        ", "C3        ", "D4        ", "E5CHANGED "}));
  FM_CLOSE(b, 0);
  FM_CLOSE(a, 0);
}

// A file found without a process is looked for once in a session, however
// often it is opened; a new session looks again.
TEST_F(FileProcess, AFileWithoutAProcessReadsItsDesignOnce) {
  uint8_t rec[8];
  ASSERT_TRUE(desc_of("PLAIN"));
  auto opens = [&](int n) {
    const uint32_t before = pc_process_reads();
    for (int i = 0; i < n; ++i) {
      ARB* a = open("PLAIN", rec);
      if (!a) return ~0u;
      FM_CLOSE(a, 0);
    }
    return pc_process_reads() - before;
  };
  EXPECT_EQ(opens(100), 1u);
  EXPECT_EQ(opens(100), 0u);
  pi_reset_caches();
  EXPECT_EQ(opens(1), 1u);
  EXPECT_TRUE(captured_errors().empty());
}

// Without "TRANSLATE FIELD" a session asks for it once: every further value
// keeps its text and costs no design read.
TEST_F(FileProcess, AMissingTranslationSubroutineIsLookedForOnce) {
  const uint32_t before = pc_process_reads();
  for (int i = 0; i < 10; ++i) {
    uint8_t text[5] = {'A', 'P', 'P', 'L', 'E'};
    EXPECT_EQ(fm_xlate_fld("ENG", "FRA", text, sizeof text, nullptr, nullptr, nullptr, "BTOD", XLATE_KIND_WORK), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text), 5), "APPLE");
  }
  EXPECT_EQ(pc_process_reads() - before, 1u);
}

}  // namespace
}  // namespace kivo::test
