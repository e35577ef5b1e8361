// The image editor called as a design application calls it, through tmux:
// a fixture SUBROUTINE makes its work files and control block, CALLs
// "IE_INIT" and then "IE_EDIT" until the request is negative. Text typed,
// OPTION 16 and END store the rows, read back from the flat export.
#include <gtest/gtest.h>

#include <map>

#include "../fixtures/hook_override.h"
#include "compiler/design_records.h"
#include "foundation/bytes.h"
#include "ie_install.h"

namespace kivo::test {
namespace {

using kivo_test::shell_quote;
using kivo_test::tmux_pane;

constexpr const char* kImages = R"(APPLICATION DEM 01
WORK "IET NAME" A20
PROCESS 2 IES
FRAME 2 IES 0 1
IMAGE 2 IES 0 1 1 kind=1 rows=12 cols=80
ROW 2 IES 0 1 1 1 "Customer maintenance"
ROW 2 IES 0 1 1 2 "Name:"
ITEM 2 IES 0 1 1 2 8 ap=DEM field="IET NAME"
)";

// One statement line: the verb at column 7, each text at its column.
std::string line(const std::string& pfx, const std::string& verb,
                 std::initializer_list<std::pair<int, std::string>> at) {
  std::string l = (pfx + std::string(6, ' ')).substr(0, 6) + (verb + std::string(8, ' ')).substr(0, 8);
  for (auto& [col, t] : at) {
    if (l.size() < size_t(col) - 1 + t.size()) l.resize(col - 1 + t.size(), ' ');
    l.replace(col - 1, t.size(), t);
  }
  return l + "\n";
}
std::string set(const std::string& f, const std::string& v) {
  return line("", "SET", {{16, "0LA"}, {20, f}, {47, "="}, {54, v}});
}
std::string pass(const std::string& f, const char* area) {
  return line("", "PASS", {{16, "0LA"}, {20, f}, {47, area}, {64, "SHARE?"}, {71, "Y"}});
}
std::string call(const std::string& routine) {
  return line("", "CALL", {{20, routine}, {57, "N"}, {65, "N"}, {73, "0"}});
}

// The application's side: the IMAGE record and the control block laid out
// field by field in record areas, memory work files keyed on their first
// bytes, and the loop.
std::string caller() {
  std::string s = R"(APPLICATION 0LA 00
FILE IECIMG fs=0 len=228
  IMREC   G228 @0
  IMTYP   B2   @0
  IMNAM   A30  @1 key=primary
  IMFC    B2   @31
  IMFR    B9   @32
  IMNO    B2   @36
  IMROWS  B9   @80
  IMCOLS  B9   @84
END
FILE IECCTL fs=0 len=26
  CTLREC  G26  @0
  CTLAP   A3   @0 key=primary
  CTLVER  A2   @3
  CTLLANG A3   @5
  CTLROW  B9   @8
  CTLCOL  B9   @12
  CTLREQ  B2   @16
  CTLED   A1   @17
  CTLMSG  B9   @18
  CTLST   B9   @22
END
FILE IECITM fs=2 len=212
  ITKEY   A48  @0 key=primary
  ITREST  A164 @48
END
FILE IECROW fs=2 len=296
  RWKEY   A44  @0 key=primary
  RWTEXT  A252 @44
END
FILE IECXC fs=2 len=2196
  XCKEY   A118 @0 key=primary
  XCREST  A2078 @118
END
WORK IECBITM A212
WORK IECBCUR A40
WORK IECBCHR A64
PROCESS 6 "IEC RUN"
STMTS 6 "IEC RUN" ep=1
)";
  s += set("IMTYP", "2") + set("IMNAM", "IES") + set("IMFC", "0") + set("IMFR", "1") + set("IMNO", "1") +
       set("IMROWS", "12") + set("IMCOLS", "80") + set("CTLAP", "DEM") + set("CTLVER", "01") + set("CTLED", "1");
  for (const char* f : {"IECITM", "IECROW", "IECXC"})
    s += line("", "CREATE", {{16, "0LA"}, {20, f}, {37, "N"}, {45, "0"}});
  s += pass("IMREC", "FIELD") + pass("IECITM", "FILE") + pass("IMREC", "FIELD") + pass("IMREC", "FIELD") +
       pass("IMREC", "FIELD") + pass("CTLREC", "FIELD") + pass("IECROW", "FILE") + pass("IECXC", "FILE") +
       call("IE_INIT");
  s += line("", "LABEL", {{16, "TOP"}});
  s += pass("IMREC", "FIELD") + pass("IECBITM", "FIELD") + pass("IECBCUR", "FIELD") + pass("IECITM", "FILE") +
       pass("IMREC", "FIELD") + pass("IMREC", "FIELD") + pass("IMREC", "FIELD") + pass("IECBCHR", "FIELD") +
       pass("CTLREC", "FIELD") + pass("IECROW", "FILE") + pass("IECXC", "FILE") + call("IE_EDIT");
  s += line("", "IF", {{16, "0LA"}, {20, "CTLREQ"}, {47, "GT"}, {54, "252"}});
  s += line("T", "GOTO", {{16, "DONE"}}) + line("", "GOTO", {{16, "TOP"}}) + line("", "LABEL", {{16, "DONE"}});
  return s + "END\n";
}

TEST(ImageEditorCall, TypedTextSavedByASubroutineThatCallsTheEditor) {
  kivo_test::data_dir d;
  write_installation(d, {kImages, caller()});
  ASSERT_EQ(system(("mkdir -p " + d.file("tst")).c_str()), 0);
  tmux_pane p(shell_quote(KIVO_BINARY) + " -d=DB1 -a=0LA -t=subroutine -p=IEC_RUN", d.path,
              kivo_test::env_list{{"TERM", "tmux-256color"},
                                  {"HOME", d.path},
                                  {"KIVOPATH", d.path},
                                  {"KIVO_0SA_PATH", d.path},
                                  {"KIVO_TST_DIR", d.file("tst")},
                                  {"KIVO_SYS_ERR_LOG", d.file("syserr")}});
  ASSERT_TRUE(p.wait_for("Customer maintenance")) << p.capture() << kivo_test::slurp(d.file("syserr"));
  // Row 8 from column 1: the cursor starts at (1, 1).
  p.send_keys("Down Down Down Down Down Down Down");
  ASSERT_TRUE(kivo_test::wait_until([&] { return p.cursor() == "8 1"; }, kivo_test::kScreenWait)) << p.cursor();
  p.send_text("Typed here");
  ASSERT_TRUE(kivo_test::wait_until([&] { return p.lines().size() >= 8 && p.lines()[7] == "Typed here"; },
                                    kivo_test::kScreenWait))
      << p.capture();
  p.send_keys("F1 F1 1 6");  // OPTION 16: the option number in two digits
  p.send_keys("S-F1");
  ASSERT_EQ(p.exit_status(), 0) << p.capture();
  EXPECT_EQ(kivo_test::slurp(d.file("syserr")), "");

  std::map<uint32_t, std::string> rows;
  for (const std::string& r : exported(d, "DEM", "ROW", "\2IES")) {
    std::string text = r.substr(RO_TEXT);
    text.erase(text.find_last_not_of(' ') + 1);
    rows[ld_le32(reinterpret_cast<const uint8_t*>(r.data()), RI_ROW)] = text;
  }
  const std::map<uint32_t, std::string> want{{1, "Customer maintenance"}, {2, "Name:"}, {8, "Typed here"}};
  EXPECT_EQ(rows, want);
}

}  // namespace
}  // namespace kivo::test
