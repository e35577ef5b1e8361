// Scripts, recording, snapshots, macros and stepping: compiled in process,
// and played through the driver program on a pseudo-terminal against the
// same keys typed in tmux.
#include <gtest/gtest.h>

#include "../foundation/test_dir.h"
#include "tm_driver_util.h"

namespace kivo {
namespace {

using kivo_test::driver_run;
using kivo_test::result_map;

class TmScripts : public kivo_test::TmFresh {};

TEST_F(TmScripts, CompiledLinesAndReportedUnknownNames) {
  setenv("KIVO_T_VAR", "val", 1);
  unsetenv("KIVO_T_UNSET");
  std::string errors;
  tm_script s = cmpl_script(
      "! c\nabc\n#TAB\n#$KIVO_T_VAR\n#$KIVO_T_UNSET\n##PAUSE 1\n#!x\n\n#NO SUCH KEY\n##FROB 2\n#OPTION 5\n#CANCEL\n",
      &errors);
  struct want {
    uint32_t kind, value;
    std::string text;
  } wants[] = {{SC_TEXT, 0, "abc"}, {SC_KEY, LK_TAB, ""}, {SC_TEXT, 0, "val"}, {SC_CMD, SC_CMD_PAUSE, ""},
               {SC_TEXT, 0, "1"},   {SC_KEY, 278, ""},    {SC_KEY, 5, ""},     {SC_KEY, 278, ""},
               {SC_END, 0, ""}};
  ASSERT_EQ(std::size(wants), s.ents.size());
  for (size_t i = 0; i < s.ents.size(); ++i) {
    EXPECT_EQ(wants[i].kind, s.ents[i].kind) << i;
    if (wants[i].kind == SC_TEXT) EXPECT_EQ(wants[i].text, entry_text(&s, s.ents[i])) << i;
    else EXPECT_EQ(wants[i].value, s.ents[i].value) << i;
  }
  EXPECT_EQ("line 9: unknown option \"NO SUCH KEY\"\nline 10: unknown command \"##FROB 2\"\n", errors);
}

TEST_F(TmScripts, MacroFileLoadsInRangeNumbersOnly) {
  kivo_test::scratch_dir dir;
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(dir.path.c_str()));
  dir.write(".kivo_mac",
            "##MACRO 300\nzz\n##END MACRO\n!  Define Macro Number 7\n##MACRO 7\n#TAB\nab\n##END MACRO\n"
            "##MACRO 8\nq\n");
  cmpl_macros();
  ASSERT_EQ(0, chdir(cwd));
  for (int n = 0; n < kMacroSlots; ++n) EXPECT_EQ(n == 7 || n == 8, tm_macro_defined(n)) << n;
  tm_play_macro(7);
  std::vector<std::pair<int, int>> got;
  for (int key, kind; get_script(&key, &kind);) got.push_back({key, kind});
  EXPECT_EQ((std::vector<std::pair<int, int>>{{LK_TAB, KIND_KEY}, {'a', KIND_CHAR}, {'b', KIND_CHAR}}), got);
  EXPECT_EQ(NO_KEY, tm_macro_playing());
}

// Keys typed in tmux are recorded; the recording replays to the same result
// and snapshots (pinned as text), and so does a hand-written script with a variable and a pause.
TEST_F(TmScripts, RecordedAndWrittenScriptsPlayLikeTheSameKeysTyped) {
  driver_run run;
  auto pane = run.tmux({{"KIVO_SCRIPT_OUT", "rec/keys"}, {"KIVO_TST_DIR", "t"}});
  ASSERT_TRUE(pane->wait_for("READY"));
  pane->send_text("abc");
  pane->send_hex("\t");
  pane->send_text("hm");
  pane->send_hex("\r");
  ASSERT_EQ(0, pane->exit_status());
  EXPECT_NE(std::string::npos, run.read("rec/keys").find("abc\n#TAB\nhm\n#ENTER"));

  ASSERT_EQ(0, run.pty({{"KIVO_SCRIPT_IN", "rec/keys"}, {"KIVO_TST_DIR", "t"}}, "res2")->finish());
  EXPECT_EQ(run.read("res"), run.read("res2"));
  // The screen at ENTER, under a header; the cursor's row and column count from 0.
  std::string hashes(80, '#');
  auto row = [](std::string s) { return s.resize(80, ' '), s + "\n"; };
  std::string golden = hashes + "\nCurrently executing:                       TMDRIVER\nKeystroke: ENTER\n" +
                       "Cursor is at row 04, column 12\n" + hashes + "\n" + row("READY") +
                       row("        +-----------+") + row("        | abc       |") + row("        |           |") +
                       row("        | hm        |") + row("        +-----------+");
  for (int r = 6; r < 24; ++r) golden += row("");
  EXPECT_EQ(golden, run.read("t/expect/snapshot"));
  EXPECT_EQ(golden, run.read("t/actual/snapshot"));

  run.write("script", "! fill both fields\nabc\n#TAB\n#$HOME\n##PAUSE 1\n#ENTER\n");
  ASSERT_EQ(0, run.pty({{"KIVO_SCRIPT_IN", "script"}}, "res3")->finish());
  EXPECT_EQ(run.read("res"), run.read("res3"));
  EXPECT_EQ("[hm]", result_map(run.read("res3"))["field 2"]);
}

TEST_F(TmScripts, MacroAtOption5IsSavedLoadedAndPlayed) {
  driver_run run;
  run.write("define", "#MACRO\n#OPTION 5\nhi\n#MACRO\n#ENTER\n");
  ASSERT_EQ(0, run.pty({{"KIVO_SCRIPT_IN", "define"}})->finish());
  EXPECT_EQ("[hi]", result_map(run.read("res"))["field 1"]);
  EXPECT_EQ("!  Define Macro Number 5\n##MACRO 5\nhi\n##END MACRO\n", run.read(".kivo_mac"));

  run.write("play", "#OPTION 5\n#TAB\n#OPTION 5\n#ENTER\n");
  ASSERT_EQ(0, run.pty({{"KIVO_SCRIPT_IN", "play"}}, "res2")->finish());
  auto res = result_map(run.read("res2"));
  EXPECT_EQ("[hi]", res["field 1"]);
  EXPECT_EQ("[hi]", res["field 2"]);
  EXPECT_EQ("304", res["key"]);
}

TEST_F(TmScripts, SteppingAnsweredWithCPlaysTheRestWithoutPrompts) {
  driver_run run;
  run.write("script", "ab\n#TAB\ncd\n#ENTER\n");
  auto child = run.pty({{"KIVO_SCRIPT_IN", "script"}, {"KIVO_SCRIPT_STEP", "1"}});
  ASSERT_TRUE(child->wait_for("TAB"));
  child->send("c");
  ASSERT_EQ(0, child->finish());
  auto res = result_map(run.read("res"));
  EXPECT_EQ("[ab]", res["field 1"]);
  EXPECT_EQ("[cd]", res["field 2"]);
  EXPECT_EQ("304", res["key"]);
}

}  // namespace
}  // namespace kivo
