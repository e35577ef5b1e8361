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

TEST(ImageEditorCall, TypedTextSavedByASubroutineThatCallsTheEditor) {
  kivo_test::data_dir d;
  write_installation(d, {kImages, ie_caller("IES", 12, 80)});
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
