// The progress window of an ACTION-type run on the recording terminal:
// centred, its title or the text of message 1300, none for a title that
// starts with two double quotes or a blank title inside a family.
#include "ap_test_util.h"
#include "frame_test_util.h"
#include "screen/screen.h"

namespace kivo::test {
namespace {

class ProgressWindow : public ApFixture {
 protected:
  void SetUp() override {
    ApFixture::SetUp();
    start_recording_screen(hooks_, &kRecTerm);
    // The window as the run shows it, read at the end of the process.
    eps["UNTITLED/6"] = [this](PCB* p) {
      wnd = p->pcb_act_wnd != nullptr;
      screen.clear();
      for (int r = 1; r <= 24; ++r) screen.push_back(WmSession::shown(r, 1, 80));
    };
  }
  void TearDown() override {
    stop_recording_screen();
    ApFixture::TearDown();
  }
  void title(const std::string& t) {
    eps["UNTITLED/1"] = [t](PCB* p) {
      memset(p->pcb_em->em_ap_title, ' ', 60);
      memcpy(p->pcb_em->em_ap_title, t.data(), t.size());
    };
  }
  // {row, column} (1-based, on the screen) of `text`; {0, 0} when not shown.
  std::pair<int, int> find(const std::string& text) const {
    for (size_t r = 0; r < screen.size(); ++r)
      if (size_t c = screen[r].find(text); c != std::string::npos) return {int(r) + 1, int(c) + 1};
    return {0, 0};
  }
  bool wnd = false;
  std::vector<std::string> screen;
};

TEST_F(ProgressWindow, TitleCentredOrMessageOrNone) {
  // Row (rows - 3) / 2 - 2 and column (columns - width) / 2 of the screen.
  const int row = (24 - 3) / 2 - 2;
  const struct {
    const char* title;
    const char* shown;  // null: no window
    int width;
  } rows[] = {
      {"MONTH END CLOSING", "MONTH END CLOSING", 17},
      {"", "PROCESSING...", 60},
      {"\"\"MONTH END CLOSING", nullptr, 0},
      {"\"\"", nullptr, 0},
  };
  for (const auto& r : rows) {
    title(r.title);
    EXPECT_EQ(run_ap("UNTITLED"), PI_END_PROCESS) << r.title;
    EXPECT_EQ(wnd, r.shown != nullptr) << r.title;
    if (!r.shown) {
      EXPECT_EQ(find("MONTH END").first, 0) << r.title;
      continue;
    }
    EXPECT_EQ(find(r.shown), std::make_pair(row, (80 - r.width) / 2)) << r.title;
  }
}

// A blank title inside an ACTION family shows nothing; a titled child shows its own.
TEST_F(ProgressWindow, BlankTitleOfAChildInAFamilyShowsNone) {
  for (const char* t : {"", "CHILD RUN"}) {
    title(t);
    frames["NOPCF:1/21"] = [](PCB* p) {
      INVOC v = inv("UNTITLED", PT_ACTION, nullptr, 0, "0DN");
      memcpy(v.b + INVOC_VER, "01", 2);
      EXPECT_EQ(pi_exec_child(p, &v), PI_END_PROCESS);
      return 0u;
    };
    eps["NOPCF/1"] = [](PCB* p) { memset(p->pcb_em->em_ap_title, ' ', 60), memcpy(p->pcb_em->em_ap_title, "\"\"", 2); };
    EXPECT_EQ(run_ap("NOPCF"), PI_END_PROCESS);
    EXPECT_EQ(wnd, *t != 0) << t;
    if (*t) {
      EXPECT_NE(find(t).first, 0);
    }
    EXPECT_EQ(find("PROCESSING").first, 0);
  }
}

}  // namespace
}  // namespace kivo::test
