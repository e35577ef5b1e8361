// The statements a restructure and a verify write for a file, run as SUBROUTINE processes with a BEG READ loop in
// place of the PCF loop: 1,000 records of the old layout ("0DO", the file the "OLD FI" fields name) converted field
// by field into the new one ("0DN"), the result in the ENTRY record, then the verify pass over the new file.
#include "stmt_files_test.h"

namespace kivo::test {
namespace {

const char* kOld = R"(APPLICATION 0DO 01
FILE CUST fs=1 len=40
  ID      A6  @0 key=primary
  NAME    A20 @6
  AMT     B9S @26
  CNT     B4  @30
  QTY     B4  @32 occurs=3
END
)";
const char* kNewHead = R"(APPLICATION 0DN 01
FILE CUST fs=1 len=48
  ID      A6    @0 key=primary
  NAME    A8    @6 init="NONAME"
  AMT     P9.2S @14
  CNT     B4    @20
  QTY     B4    @22 occurs=5
  NEW     A4    @32 init="NEW"
END
)";

std::string n22(const std::string& s) { return (s + std::string(22, ' ')).substr(0, 22); }
std::string label(const std::string& verb, const std::string& e, const char* what) {
  return L("", verb, {{16, n22(e) + what}});
}
std::string set_la(const std::string& pfx, const std::string& f, const std::string& v) {
  return two(pfx, "SET", "0LA", f, "=", v);
}
// RESTORE or STORE of kind `kind` (its word) of a field or file of `ap`, occurrence `occ`.
std::string keep(const std::string& verb, const std::string& ap, const std::string& f, const std::string& kind,
                 const std::string& occ = "") {
  return L("", verb, {{16, ap}, {20, f}, {43, occ}, {47, kind}});
}
// The move of one element: OVERFLOW, SET, GOTO, LABEL, RESTORE kind 7, LABEL; `occ` "1" or "AI".
std::string move(const std::string& e, const std::string& occ) {
  return label("OVERFLOW", e, "OVERFLOW") +
         L("", "SET", {{16, "0DN"}, {20, e}, {43, occ}, {47, "="}, {50, "0DO"}, {54, e}, {77, occ}}) +
         label("GOTO", e, "CONTINUE") + label("LABEL", e, "OVERFLOW") +
         keep("RESTORE", "0DN", e, "DEFAULT FIELD", occ) + label("LABEL", e, "CONTINUE");
}
std::string file(const std::string& pfx, const std::string& verb, const std::string& ap, const std::string& f) {
  return L(pfx, verb, {{16, ap}, {20, f}, {35, "0"}, {37, "N"}, {45, "0"}});
}
// The ENTRY record read with HOLD 1 and rewritten, FAIL 2 both, as the generators write them.
std::string entry(const std::string& verb) {
  return verb == "READ" ? L("", verb, {{16, "0LA"}, {20, "ENTRY"}, {35, "1"}, {45, "2"}})
                        : L("", verb, {{16, "0LA"}, {20, "ENTRY"}, {45, "2"}});
}

// RESTRUCTURE: Start of Process, the Post PCF Read block inside BEG READ, End of Process.
std::string restructure() {
  std::string s = "PROCESS 6 RESTRUCTURE\nSTMTS 6 RESTRUCTURE ep=1\n";
  for (auto [f, v] : {std::pair{"OLD FI AP", "NAT"},
                      {"OLD FI VER", "01"},
                      {"OLD FI NAM", "OLDCUST"},
                      {"OLD DB", ""},
                      {"OLD SRC AP", "NAT"},
                      {"OLD SRC VER", "01"}})
    s += set_la("", f, v);
  for (auto [verb, ap, code] : {std::tuple{"OPEN", "0DO", "104210"}, {"CREATE", "0DN", "104220"}})
    s += file("", verb, ap, "CUST") + set_la("F", "ENTRY RESTRUCT STAT1", code) +
         two("F", "SET", "0LA", "ENTRY RESTRUCT STAT2", "=", "0LA STATUS CODE") + L("F", "END", {});
  s += set_la("", "ENTRY RESTRUCT STAT1", "104260") + keep("RESTORE", "0DO", "CUST", "DEFAULT RECORD");
  s += L("", "BEG READ", {{16, "0DO"}, {20, "CUST"}, {35, "0"}});
  s += move("AMT", "1") + move("CNT", "1") + move("ID", "1") + move("NAME", "1");
  s += L("", "BEG LOOP", {{16, "AI"}, {21, "1"}, {28, "3"}, {38, "1"}}) + move("QTY", "AI") +
       L("", "END LOOP", {{16, "AI"}});
  s += file("", "WRITE", "0DN", "CUST") + keep("STORE", "0DO", "ID", "FIELD") +
       keep("RESTORE", "0DO", "CUST", "DEFAULT RECORD") + keep("RESTORE", "0DO", "ID", "FIELD") +
       set_la("F", "ENTRY RESTRUCT STAT1", "300490") +
       two("F", "SET", "0LA", "ENTRY RESTRUCT STAT2", "=", "0LA STATUS CODE") + L("F", "END", {});
  s += L("", "END READ", {{16, "0DO"}, {20, "CUST"}});
  s += "END\nSTMTS 6 RESTRUCTURE ep=6\n";
  s += L("", "CLOSE", {{16, "0DN"}, {20, "CUST"}, {45, "N"}}) + L("", "CLOSE", {{16, "0DO"}, {20, "CUST"}, {45, "N"}}) +
       keep("STORE", "0LA", "ENTRY", "RECORD") + entry("READ") + keep("RESTORE", "0LA", "ENTRY", "RECORD") +
       entry("REWRITE");
  return s + "END\n";
}

// VERIFY of the new file, each record through BEG READ.
std::string verify() {
  std::string s = "PROCESS 6 VERIFY\nSTMTS 6 VERIFY ep=1\n";
  s += entry("READ") + set_la("", "ENTRY RESTRUCT STAT1", "") + file("", "OPEN", "0DN", "CUST") +
       set_la("F", "ENTRY RESTRUCT STAT1", "104210") +
       two("F", "SET", "0LA", "ENTRY RESTRUCT STAT2", "=", "0LA STATUS CODE") + L("F", "END PROC", {});
  s += L("", "BEG READ", {{16, "0DN"}, {20, "CUST"}, {35, "0"}}) +
       L("", "VERIFY", {{16, "0DN"}, {20, "CUST"}, {52, "RECORD"}, {72, "0"}}) +
       L("", "END READ", {{16, "0DN"}, {20, "CUST"}});
  s += "END\nSTMTS 6 VERIFY ep=6\n";
  s += two("", "IF", "0LA", "WARNINGS", "NE", "0") + set_la("T", "ENTRY RESTRUCT STAT1", "1220") + entry("REWRITE");
  return s + "END\n";
}

enum : size_t { O_ID = 0, O_NAME = 6, O_AMT = 26, O_CNT = 30, O_QTY = 32, kOldLen = 40 };
enum : size_t { N_ID = 0, N_NAME = 6, N_AMT = 14, N_CNT = 20, N_QTY = 22, N_NEW = 32, kNewLen = 48 };

class GeneratedProcesses : public FileStmtFixture {
 protected:
  void SetUp() override {
    FileStmtFixture::SetUp();
    start(std::string(kNewHead) + restructure() + verify());
    const design_source_result r = design_source_build(kOld, "old", com.sys_scope, "0DO");
    ASSERT_TRUE(r.ok) << r.error;
  }
  // The new file lives at NAT/CUST; the old one is found through the "OLD FI" fields only.
  void adjust(uint8_t* c) override {
    if (str(c + FDB_NAME, 8) != f8("CUST")) return;
    if (!memcmp(c + FDB_AP, "0DN", 3)) go_native(c);
    st_le32(c, FDB_OPT, ld_le32(c, FDB_OPT) | kAnyFile);
  }
  static int amt(int i) { return i * 3 - 1500; }
  static bool bad(int i) { return i % 100 == 0; }
  static bool long_name(int i) { return i % 7 == 0; }
  // 1,000 records of the old layout in NAT/OLDCUST.
  void old_file() {
    FDB fdb;
    uint8_t c[CFI_LEN];
    ASSERT_TRUE(desc("RESTRUCTURE", "CUST", &fdb, c, "0DO")) << (captured_errors().empty() ? "" : captured_errors()[0]);
    memcpy(c + FDB_AP, "NAT", 3), memcpy(c + FDB_NAME, "OLDCUST ", 8), memcpy(c + FDB_SRC_AP, "NAT", 3);
    ASSERT_EQ(em_cfi_desc(module_of("RESTRUCTURE"), c, &fdb), 1);
    ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 10, kAnyFile | LFB_OPEN_NEW, 15, 15), 1) << fdb.fdb_stat;
    ARB* a = fdb.fdb_arb;
    for (int i = 1; i <= 1000; ++i) {
      uint8_t r[kOldLen];
      memset(r, ' ', sizeof r);
      char t[32];
      snprintf(t, sizeof t, "%06d", i), memcpy(r + O_ID, t, 6);
      snprintf(t, sizeof t, long_name(i) ? "longname%04d" : "nm%d", i), memcpy(r + O_NAME, t, strlen(t));
      st_le32(r, O_AMT, uint32_t(amt(i)));
      st_le16(r, O_CNT, uint16_t(bad(i) ? 20000 : i));
      for (int k = 0; k < 3; ++k) st_le16(r, O_QTY + 2 * k, uint16_t(i + k));
      PROTO_FULL(a, 0, r);
      a->arb_var_len = kOldLen, a->arb_mod = 0;
      ASSERT_EQ(fm_write(a), 1) << a->arb_stat;
    }
    FM_CLOSE(a, 0);
  }
  static int32_t stat1() {
    uint8_t r[940];
    ENTRY->arb_rec = r, ENTRY->arb_len = sizeof r, ENTRY->arb_keyno = 0, ENTRY->arb_key = nullptr;
    ENTRY->arb_relno = 1, ENTRY->arb_mod = 0;
    return fm_read(ENTRY) ? int32_t(ld_le32(r, 884)) : -1;
  }
};

TEST_F(GeneratedProcesses, RestructureConvertsEveryRecordAndVerifyCountsTheBadOnes) {
  old_file();
  EXPECT_EQ(go("RESTRUCTURE"), PI_END_PROCESS);
  for (const std::string& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
  EXPECT_EQ(stat1(), 104260);
  const std::vector<std::string> recs = records("RESTRUCTURE", "CUST");
  ASSERT_EQ(recs.size(), 1000u);
  int wrong = 0;
  for (int i = 1; i <= 1000; ++i) {
    const auto* r = reinterpret_cast<const uint8_t*>(recs[i - 1].data());
    char id[12], name[16];  // room for any int and name, though the ids take 6 digits, the names 8
    snprintf(id, sizeof id, "%06d", i),
        snprintf(name, sizeof name, "%-8s", long_name(i) ? "NONAME" : ("nm" + std::to_string(i)).c_str());
    const bool ok = str(r + N_ID, 6) == id && str(r + N_NAME, 8) == name && pd_cvb(r + N_AMT, 6) == amt(i) * 100 &&
                    ld_le16(r, N_CNT) == (bad(i) ? 20000 : i) && ld_le16(r, N_QTY) == i &&
                    ld_le16(r, N_QTY + 4) == i + 2 && ld_le16(r, N_QTY + 6) == 0 && ld_le16(r, N_QTY + 8) == 0 &&
                    str(r + N_NEW, 4) == "NEW ";
    if (!ok && ++wrong < 4) ADD_FAILURE() << "record " << i << ": " << str(r, kNewLen);
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(go("VERIFY"), PI_END_PROCESS);
  EXPECT_EQ(said.size(), 10u) << heard();  // one warning per record whose CNT has more than its 4 digits
  EXPECT_EQ(stat1(), 1220);
}

}  // namespace
}  // namespace kivo::test
