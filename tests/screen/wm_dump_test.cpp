// The six dumps of a small scene against golden text; the merged
// rectangles are those of the scene composed on the screen.
#include <fstream>
#include <sstream>

#include "screen/wm_files.h"
#include "screen/wm_region.h"
#include "screen/wm_repaint.h"
#include "wm_test_util.h"

namespace kivo::test {
namespace {

class WmDumps : public WmFresh {};

TEST_F(WmDumps, SixDumpsOfTwoSurfacesMatchGoldenText) {
  TSRF* main_srf = srf(0, 0, 1);
  TSRF* pop = srf(8, 30, 2);
  TWND* a = wnd(main_srf, 8, 30, 5, 20, 1);  // under the centred one
  wnd(main_srf, 0, 0, 4, 10, 2);
  wnd(pop, -1, -1, 3, 12, 2);
  TWND* limbo = wnd(nullptr, 1, 1, 2, 6, 2);
  ASSERT_TRUE(a && limbo);
  TITM item{};  // one cell at (1, 2), and a bold run over it and two more
  item.tl_row = 1, item.tl_col = 2;
  CHR_BLK run{0, 1, 2, 1, 3, 0x40, 0, 1, 2};
  ASSERT_TRUE(wm_write_reg(a, reinterpret_cast<const uint8_t*>(std::string(100, ' ').data()), {&item, 1}, {&run, 1}));
  // Every file the window manager keeps is accepted with its keys.
  for (wm_file f : {wm_file::TRECT, wm_file::TKEYMAP, wm_file::TITM, wm_file::TCHR, wm_file::SI, wm_file::SC})
    EXPECT_NE(wm_create_file(f, 1, "create"), nullptr) << int(f);
  testing::internal::CaptureStdout();
  dbg_wm();
  dbg_twnd(a);
  dbg_limbo();
  dbg_tsrf();
  reset_srf(main_srf, pop);  // the screen composed: the merged rectangles to dump
  dbg_trect();
  dbg_scope();
  std::string got = testing::internal::GetCapturedStdout();
  std::string path = std::string(KIVO_SOURCE_DIR) + "/tests/screen/golden/wm_dumps.txt";
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(path) << got;
  std::stringstream want;
  want << std::ifstream(path).rdbuf();
  EXPECT_EQ(got, want.str());
}

}  // namespace
}  // namespace kivo::test
