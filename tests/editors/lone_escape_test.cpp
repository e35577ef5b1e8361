// The editors read keys as the screens do: a lone Escape, after its pause,
// leaves the next key whole. The statement editor and the image editor's
// Move Item prompt, through the tool harness under tmux on a copy of the
// default installation.
#include <functional>

#include "ie_install.h"
#include "se_run_util.h"

namespace kivo::test {
namespace {

// An image of 12 rows with one item at (2, 8), in the shipped application
// DEM, run by the harness's subroutine of ie_install.h.
constexpr const char* kMoveImage = R"(APPLICATION DEM 01
WORK "PNL NAME" A20
PROCESS 2 IES
FRAME 2 IES 0 1
IMAGE 2 IES 0 1 1 kind=1 rows=12 cols=80
ROW 2 IES 0 1 1 1 "Move test image"
ROW 2 IES 0 1 1 2 "Name:"
ITEM 2 IES 0 1 1 2 8 ap=DEM field="PNL NAME"
)";
constexpr const char* kMovePrompt = "Position cursor to desired location";

class TerminalRemoteMends : public SeRun {
 protected:
  // The statement editor on its three lines, the cursor on the first.
  std::unique_ptr<tmux_pane> statement_editor() {
    install();
    auto p = start({}, env("tst"));
    EXPECT_TRUE(p->wait_for("[END]")) << p->capture();
    return p;
  }
  // The image editor asking where the item at (2, 8) moves to.
  std::unique_ptr<tmux_pane> move_item_prompt() {
    EXPECT_EQ(system(("rm -rf " + shell_quote(d_.path) + "/*").c_str()), 0);
    write_installation(d_, {kMoveImage, kIeRun});
    auto p = std::make_unique<tmux_pane>(shell_quote(KIVO_TOOLTEST) + " -d=DB1 -a=0LA -t=subroutine -p=IET_RUN",
                                         d_.path, env("tst"));
    EXPECT_TRUE(p->wait_for("Move test image")) << p->capture();
    EXPECT_TRUE(move_cursor(*p, 2, 8)) << p->cursor();
    p->send_keys("F1 9");
    EXPECT_TRUE(p->wait_for(kMovePrompt)) << p->capture();
    return p;
  }
};

// Each editor takes the key pressed after a lone Escape as that key.
TEST_F(TerminalRemoteMends, EditorsTakeTheKeyAfterALoneEscapeWhole) {
  const struct {
    const char* what;
    std::function<std::unique_ptr<tmux_pane>()> open;
    const char* key;
    std::function<bool(tmux_pane&)> done;  // what the key alone does
  } rows[] = {
      {"statement editor, DOWN", [&] { return statement_editor(); }, "Down",
       [](tmux_pane& p) { return p.cursor().starts_with("3 "); }},
      {"Move Item prompt, END", [&] { return move_item_prompt(); }, "S-F1",
       [](tmux_pane& p) { return p.capture().find(kMovePrompt) == std::string::npos; }},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    auto p = row.open();
    ASSERT_FALSE(HasFailure()) << p->capture();
    ASSERT_TRUE(kivo_test::lone_escape_then(*p, row.key)) << "no bell for the Escape\n" << p->capture();
    EXPECT_TRUE(kivo_test::wait_until([&] { return row.done(*p); }, kivo_test::kScreenWait)) << p->cursor() << "\n"
                                                                                             << p->capture();
  }
}

}  // namespace
}  // namespace kivo::test
