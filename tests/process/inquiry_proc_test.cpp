// INQUIRY processes run through the executive with their pages taken by a
// recording show: a page at a time, the keys that go on or end the run,
// and pages equal to those of the same report printed.
#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "compiler/pl.h"
#include "op_test_util.h"
#include "process/op_inquiry.h"

namespace kivo::test {
namespace {

using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;

// The same frames as an INQUIRY and as an OUTPUT of page length 21, the
// INQUIRY's page on this screen.
constexpr const char* kDesign = R"(APPLICATION 0LA 00
FILE "FX CUST" fs=1 org=3
  "FX ID"       B4    key=primary
  "FX NAME"     A12
  "FX BALANCE"  P7.2S
END
PROCESS 9 "FX LIST" pcf_ap=0LA pcf_file="FX CUST" pcf_required=1
FRAME 9 "FX LIST" 0 1 enabled=1 kind=3
IMAGE 9 "FX LIST" 0 1 1 kind=3 rows=1 cols=40
ROW 9 "FX LIST" 0 1 1 1 "ID    NAME          BALANCE"
FRAME 9 "FX LIST" 0 2 enabled=1 kind=0
IMAGE 9 "FX LIST" 0 2 1 kind=3 rows=1 cols=40
ITEM 9 "FX LIST" 0 2 1 1 1 ap=0LA field="FX ID"
ITEM 9 "FX LIST" 0 2 1 1 7 ap=0LA field="FX NAME"
ITEM 9 "FX LIST" 0 2 1 1 20 ap=0LA field="FX BALANCE"
STMTS 9 "FX LIST" ep=1
      SET      0LA OUT1 MODE                  =      3
END
PROCESS 3 "FX LIST" pcf_ap=0LA pcf_file="FX CUST" pcf_required=1
FRAME 3 "FX LIST" 0 1 enabled=1 kind=3
IMAGE 3 "FX LIST" 0 1 1 kind=3 rows=1 cols=40
ROW 3 "FX LIST" 0 1 1 1 "ID    NAME          BALANCE"
FRAME 3 "FX LIST" 0 2 enabled=1 kind=0
IMAGE 3 "FX LIST" 0 2 1 kind=3 rows=1 cols=40
ITEM 3 "FX LIST" 0 2 1 1 1 ap=0LA field="FX ID"
ITEM 3 "FX LIST" 0 2 1 1 7 ap=0LA field="FX NAME"
ITEM 3 "FX LIST" 0 2 1 1 20 ap=0LA field="FX BALANCE"
STMTS 3 "FX LIST" ep=1
      SET      0LA OUT1 MODE                  =      3
      SET      0LA PAGE LENGTH                =      21
END
PROCESS 6 "FX RUN"
STMTS 6 "FX RUN" ep=1
      INQUIRY  0LA FX LIST                          DETACHED          N       0
T     LOGOUT           N
      END PROC
END
FRAME 6 "FX OTHER" 0 1
SELECT 6 "FX OTHER" 0 1 1
CHILD 6 "FX OTHER" 0 1 0 1 1
CHR 6 "FX OTHER" 0 1 1 1 1
)";

constexpr int kPageRows = 21;  // the screen's 24 rows less the status and message lines
constexpr double kWait = 30;   // seconds: only a fault waits so long (a loaded machine starts slowly)

using kivo_test::engine_dir;

class InquiryProc : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    levels = 0;
    self_ = this;
    hooks_.set(process_seams.inq_show_page, [](PCB*, const char* page, uint16_t rows, uint16_t cols) {
      std::vector<std::string> lines;
      for (uint16_t r = 0; r < rows; ++r) {
        std::string l(page + size_t(r) * cols, cols);
        lines.push_back(l.erase(l.find_last_not_of(' ') + 1));
      }
      while (!lines.empty() && lines.back().empty()) lines.pop_back();
      self_->shown.push_back(lines);
      if (self_->answers.empty()) return 1u;
      const uint32_t a = self_->answers.front();
      self_->answers.pop_front();
      return a;
    });
  }
  // A fixture installation for the engine: the default one, the processes
  // of kDesign and their customer file.
  void install() {
    ASSERT_EQ(system(("cp -r " + kivo_test::shipped_installation() + "/. " + shell_quote(data_)).c_str()), 0);
    const design_source_result r = design_source_build(kDesign, "inquiry", com.sys_scope);
    ASSERT_TRUE(r.ok) << r.error;
    write_customers();
    std::filesystem::create_directories(data_ + "/tst");
    std::filesystem::create_directories(data_ + "/prt");
  }
  // The native PCF of "FX LIST" with customers 1-50, where the engine finds it.
  void write_customers() {
    PCB k{};
    k.invoc = inv("FX LIST", PT_INQUIRY, nullptr, 2, "0LA");
    memcpy(k.invoc.b + INVOC_VER, "00", 2);
    memcpy(k.pcb_lang, "ENG", 3);
    ASSERT_EQ(pl_get(&k, 1), 1) << (captured_errors().empty() ? "" : captured_errors().back());
    EM* em = k.pcb_em;
    FDB fdb{};
    bool found = false;
    pi_each_rec(em->em_cfi_arb, [&](uint8_t* c) {
      if (found || ld_le32(c, CFI_FILE_NO) != em->em_pcf_id) return;
      found = true;
      memset(c + FDB_DB, ' ', 3);
      ASSERT_EQ(em_cfi_desc(em, c, &fdb), 1);
      ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 10, LFB_ANY_DIR | LFB_OPEN_NEW, 15, 15), 1) << fdb.fdb_stat;
    });
    pl_free(em);
    ASSERT_TRUE(found && fdb.fdb_arb);
    ARB* a = fdb.fdb_arb;
    for (int id = 1; id <= 50; ++id) {
      std::vector<uint8_t> r(19, ' ');
      st_le16(r.data(), 0, uint16_t(id));
      const std::string name = "CUSTOMER " + std::to_string(id);
      memcpy(r.data() + 2, name.data(), name.size());
      // 10.00 x id, packed with 9 digits and its sign.
      uint64_t v = uint64_t(id) * 1000;
      r[18] = uint8_t((v % 10) << 4 | 0x0C);
      v /= 10;
      for (int i = 17; i >= 14; --i, v /= 100) r[size_t(i)] = uint8_t((v / 10 % 10) << 4 | v % 10);
      PROTO_FULL(a, 0, r.data());
      a->arb_var_len = uint16_t(r.size()), a->arb_mod = 0;
      ASSERT_EQ(fm_write(a), 1) << a->arb_stat;
    }
    FM_CLOSE(a, 0);
  }
  env_list env() const {
    return {{"TERM", "tmux-256color"},
            {"HOME", data_},
            {"KIVOPATH", data_},
            {"KIVO_0SA_PATH", data_},
            {"KIVO_TST_DIR", data_ + "/tst"},
            {"KIVO_SYS_ERR_LOG", data_ + "/syserr"},
            {"KIVO_PRT_FI_DIR", data_ + "/prt/"}};
  }
  // The engine starting process `name` of `type`.
  std::unique_ptr<tmux_pane> engine(const char* type, const char* name) {
    return std::make_unique<tmux_pane>(
        shell_quote(KIVO_BINARY) + " -d=DB1 -a=0LA -t=" + type + " " + shell_quote(std::string("-p=") + name), data_,
        env());
  }
  // The page on the screen: its rows up to the last that is not blank.
  static std::vector<std::string> page(tmux_pane& p) {
    std::vector<std::string> rows = p.lines();
    rows.resize(std::min<size_t>(rows.size(), kPageRows));
    for (auto& r : rows) r.erase(r.find_last_not_of(' ') + 1);
    while (!rows.empty() && rows.back().empty()) rows.pop_back();
    return rows;
  }
  // Waits for the page whose second row begins with customer `id`.
  static bool page_of(tmux_pane& p, int id) {
    const std::string want = std::to_string(id) + std::string(6 - std::to_string(id).size(), ' ') + "CUSTOMER ";
    return kivo_test::wait_until(
        [&] {
          const auto rows = p.lines();
          return rows.size() > 1 && rows[1].rfind(want, 0) == 0;
        },
        kWait);
  }
  static inline InquiryProc* self_;
  std::deque<uint32_t> answers;  // 1 go on, 2 END, 4 CANCEL; empty: go on
  std::vector<std::vector<std::string>> shown;
};

// The page of an INQUIRY is 21 rows here (no terminal): the heading and 20
// customers.
TEST_F(InquiryProc, PagesWaitForAKeyAndEndOrCancelTheRun) {
  struct row {
    const char* what;
    std::deque<uint32_t> answers;
    size_t pages;
    uint32_t end;
  } rows[] = {
      {"going on to the last page", {1, 1, 1}, 3, PI_END_PROCESS},
      {"END on the first page", {2}, 1, PI_END_PROCESS},
      {"CANCEL on the second page", {1, 4}, 2, PI_END_CANCEL},
      {"END on the last page", {1, 1, 2}, 3, PI_END_PROCESS},
      {"CANCEL on the last page", {1, 1, 4}, 3, PI_END_CANCEL},
  };
  for (const row& r : rows) {
    answers = r.answers, shown.clear();
    EXPECT_EQ(run_proc("LIST", PT_INQUIRY), r.end) << r.what;
    ASSERT_EQ(shown.size(), r.pages) << r.what;
    EXPECT_EQ(shown[0].size(), 21u) << r.what;
    EXPECT_EQ(shown[0][0], "ID    NAME          BALANCE") << r.what;
    EXPECT_EQ(shown[0][1].substr(0, 14), "1     CUSTOMER") << r.what;
    EXPECT_TRUE(prints().empty()) << r.what << ": an inquiry prints nothing";
    for (auto& e : captured_errors()) ADD_FAILURE() << r.what << ": " << e;
  }
}

// The first page of detail lines, NEXT RECORD the next, ENTER the last,
// which waits for a key. The start process "FX RUN" invokes the INQUIRY and
// logs out (127) when it ended with 2, else ends with 0: END gives 2,
// CANCEL 4. The pages shown are those of the same report printed.
TEST_F(InquiryProc, PagesOnTheTerminalGoOnEndAndCancelAsThePrintedReport) {
  install();
  auto p = engine("subroutine", "FX RUN");
  ASSERT_TRUE(page_of(*p, 1)) << p->capture();
  std::vector<std::vector<std::string>> shown = {page(*p)};
  EXPECT_EQ(shown[0].size(), size_t(kPageRows));
  EXPECT_EQ(shown[0][0], "ID    NAME          BALANCE");
  p->send_keys("F9");
  ASSERT_TRUE(page_of(*p, 21)) << p->capture();
  shown.push_back(page(*p));
  p->send_keys("Enter");
  ASSERT_TRUE(page_of(*p, 41)) << p->capture();
  shown.push_back(page(*p));
  EXPECT_EQ(shown[2].size(), 11u);
  EXPECT_EQ(p->exit_status(0), -1) << "the last page waits for a key";
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(kWait), 127) << p->capture();

  auto c = engine("subroutine", "FX RUN");
  ASSERT_TRUE(page_of(*c, 1)) << c->capture();
  c->send_keys("F2 S-F1");
  EXPECT_EQ(c->exit_status(kWait), 0) << c->capture();

  auto o = engine("output", "FX LIST");
  EXPECT_EQ(o->exit_status(kWait), 0) << o->capture();
  std::vector<std::vector<std::string>> printed;
  for (auto& e : std::filesystem::directory_iterator(data_ + "/prt"))
    if (e.path().extension() != ".cfg") printed = pages_of(slurp(e.path().string()));
  EXPECT_EQ(shown, printed);
  EXPECT_EQ(slurp(data_ + "/syserr"), "") << "system errors";
}

}  // namespace
}  // namespace kivo::test
