// The statement editor driven by keystroke scripts through the tool
// harness: the snapshots of each run equal a golden file, and the STMT
// records left behind are read back through the flat export.
#include <algorithm>

#include "../fixtures/hook_override.h"
#include "se_run_util.h"

namespace kivo::test {
namespace {

class StmtEditor : public SeRun {};

// ADD MODE on the first row, a SET line, then END.
constexpr const char* kAddSet = "#ADD MODE\nSET\n#ENTER\n#TAB\n#TAB\nSE NAME\n#TAB\n#TAB\n   WORLD\n#ENTER\n#CANCEL\n";

// END after a change rewrites the event point's records only, numbered
// 100, 200 ...; the new line has this run's stamp and user, the old ones
// keep theirs; the neighbouring event point and process keep their bytes.
TEST_F(StmtEditor, EndRewritesOnlyTheEventPoint) {
  install();
  scripted("se_add_end", {}, std::string(kAddSet) + "#END\n");
  const auto ep1 = stmts("SET TEST", 1);
  ASSERT_EQ(seqs(ep1), (std::vector<uint32_t>{100, 200, 300, 400}));
  EXPECT_EQ(ep1[0].opnd().substr(37), "WORLD");
  EXPECT_FALSE(ep1[0].stamp_none(STMT_ADD_STAMP));
  EXPECT_TRUE(ep1[0].stamp_none(STMT_CHG_STAMP));
  EXPECT_EQ(ep1[0].user(STMT_ADD_USER), "TST");
  EXPECT_EQ(ep1[0].user(STMT_CHG_USER), "   ");
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_TRUE(ep1[i].stamp_none(STMT_ADD_STAMP)) << i;
    EXPECT_TRUE(ep1[i].stamp_none(STMT_CHG_STAMP)) << i;
    EXPECT_EQ(ep1[i].user(STMT_ADD_USER) + ep1[i].user(STMT_CHG_USER), "      ") << i;
  }
  for (auto [proc, ep] : {std::pair{"SET TEST", 2}, std::pair{"SET OTHER", 1}}) {
    std::vector<std::string> was, now;
    for (auto& r : before_)
      if (r.proc() == proc && r.ep() == ep) was.push_back(r.b);
    for (auto& r : stmts(proc, ep)) now.push_back(r.b);
    EXPECT_EQ(now, was) << proc << " " << ep;
    EXPECT_EQ(now.size(), 1u);
  }
  EXPECT_EQ(log(), "SE_EDIT 1 status=0 changed=1\n");
}

// Which ends of a run write: the records of event point 1 after each.
TEST_F(StmtEditor, EndCancelRestoreAndClear) {
  const struct {
    const char* name;
    std::string script;
    bool kept;  // the records as they were; else none
    const char* log;
  } cases[] = {
      {"se_end_only", "#END\n", true, "SE_EDIT 1 status=0 changed=0\n"},
      {"se_cancel_changes", std::string(kAddSet) + "#CANCEL\n", true, "SE_EDIT 1 status=0 changed=1\n"},
      {"se_restore_end", std::string(kAddSet) + "#OPTION 11\n#END\n", true, "SE_EDIT 1 status=0 changed=0\n"},
      {"se_clear_end", "#OPTION 10\n#END\n", false, "SE_EDIT 1 status=0 changed=1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install();
    scripted(c.name, {}, c.script);
    std::vector<std::string> was, now;
    for (auto& r : before_)
      if (r.proc() == "SET TEST" && r.ep() == 1) was.push_back(r.b);
    for (auto& r : stmts("SET TEST", 1)) now.push_back(r.b);
    EXPECT_EQ(now, c.kept ? was : std::vector<std::string>{});
    EXPECT_EQ(stmts("SET TEST", 2).size(), 1u);
    EXPECT_EQ(log(), c.log);
  }
}

// With the memory-file flag the lines go to "MSTMT": a second edit run of
// the same process shows the line the first saved; the disk file keeps its
// records.
TEST_F(StmtEditor, MemoryFlagEditsTheMemoryFile) {
  install();
  se_call c;
  c.memory = 1, c.calls = 2;
  scripted("se_memory", c, "#ADD MODE\n*\n#ENTER\nkept in memory\n#ENTER\n#CANCEL\n#END\n#END\n");
  const auto s = screens("se_memory");
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(row_text(s.back(), 2), "      *        kept in memory");
  EXPECT_EQ(row_text(s.back(), 3), "[END]");
  std::vector<std::string> was, now;
  for (auto& r : before_) was.push_back(r.b);
  for (auto& r : stmts()) now.push_back(r.b);
  EXPECT_EQ(now, was);
  EXPECT_EQ(log(), "SE_EDIT 1 status=0 changed=1\nSE_EDIT 1 status=0 changed=0\n");
}

// A named line of 100 stands near the middle of 18 rows with the cursor on
// it; near the end the window stays full.
TEST_F(StmtEditor, NamedLineIsShownNearTheMiddle) {
  const std::string many = long_event_point();
  const struct {
    uint32_t line;
    int top;         // the line on row 2
    int cursor_row;  // the snapshot's cursor row (from 0)
    bool end_on_19;  // "[END]" closes the window
  } cases[] = {{40, 31, 10, false}, {95, 84, 12, true}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.line);
    install(many, "", false);
    se_call c;
    c.proc = "SET LONG", c.line = k.line;
    const std::string name = "se_line_" + std::to_string(k.line);
    scripted(name, c, "#END\n");
    const auto s = screens(name);
    ASSERT_FALSE(s.empty());
    char want[32];
    snprintf(want, sizeof want, "      *        line %03d", k.top);
    EXPECT_EQ(row_text(s[0], 2), want);
    EXPECT_EQ(row_text(s[0], 19), k.end_on_19 ? "[END]" : "      *        line 048");
    const std::string snap = kivo_test::slurp(d_.file(name + "/actual/snapshot"));
    char cur[40];
    snprintf(cur, sizeof cur, "Cursor is at row %02d, column 00", k.cursor_row);
    EXPECT_NE(snap.find(cur), std::string::npos) << snap.substr(0, 400);
  }
}

// The scroll keys over 100 lines and 18 rows: the line on row 2 and the
// cursor's row after each.
TEST_F(StmtEditor, ScrollKeysMoveTheView) {
  install(long_event_point(), "", false);
  se_call c;
  c.proc = "SET LONG";
  scripted("se_scroll", c,
           "#SCROLL NEXT-1\n#SCROLL UP\n#SCROLL DOWN\n#SCROLL LAST-1\n#SCROLL PREV-1\n#SCROLL 1ST-1\n#END\n");
  const auto s = screens("se_scroll");
  ASSERT_EQ(s.size(), 7u);
  const int top[] = {1, 18, 19, 18, 84, 67, 1};
  for (size_t i = 0; i < 7; ++i) {
    char want[32];
    snprintf(want, sizeof want, "      *        line %03d", top[i]);
    EXPECT_EQ(row_text(s[i], 2), want) << "before key " << i + 1;
  }
  EXPECT_EQ(row_text(s[4], 19), "[END]");
  const std::string snap = kivo_test::slurp(d_.file("se_scroll/actual/snapshot"));
  const char* rows[] = {"01", "01", "01", "02", "17", "18", "18"};  // from 0
  size_t at = 0;
  for (const char* r : rows) {
    at = snap.find("Cursor is at row ", at);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(snap.substr(at + 17, 2), r);
    ++at;
  }
}

// OPTION 1 and HELP run the design application's toolbox and help over the
// editor (the harness's stand-ins); a key returns to the editor. A start
// message shows at the first display. The context of the run is offered to
// the image editor's client requests while it runs, and only then.
TEST_F(StmtEditor, ToolboxHelpAndStartMessage) {
  install();
  se_call c;
  c.msg = 1030;
  scripted("se_tools", c, "#OPTION 1\n#ENTER\n#HELP ON OPT\n#ENTER\n#END\n");
  const auto s = screens("se_tools");
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(row_text(s[0], 23), "Start of Process");
  EXPECT_EQ(row_text(s[1], 23), "");
  EXPECT_EQ(row_text(s[1], 12), "ZEL EDITOR (TOOLBOX)");
  EXPECT_EQ(row_text(s[2], 12), "");
  EXPECT_EQ(row_text(s[3], 12), "ZEL EDITOR (HELP)");
  EXPECT_EQ(row_text(s[4], 12), "");
  EXPECT_EQ(row_text(s[4], 2), "      *        first line");
  // The image editor's client requests see the edited context while the
  // run is on, and none once it has ended.
  EXPECT_EQ(log(),
            "EXEC ZEL EDITOR (TOOLBOX) editor=DEM01\nEXEC ZEL EDITOR (HELP) editor=DEM01\n"
            "SE_EDIT 1 status=0 changed=0\n");
}

// The surface follows the terminal: 132 columns give 132-column lines; a
// terminal of 20 rows still gets 21 rows, its option lines on 20 and 21.
TEST_F(StmtEditor, SurfaceFollowsTheTerminal) {
  install();
  scripted("se_wide", {}, "#END\n", {}, 132, 24);
  auto s = screens("se_wide");
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(s[0][0].size(), 132u);
  EXPECT_EQ(row_text(s[0], 1).size(), 132u) << s[0][0];
  EXPECT_EQ(row_text(s[0], 21), "1) Toolbox     2) Move     3) Copy     4) Search     5) Replace     6) XCopy");
  install();
  scripted("se_short", {}, "#END\n", {}, 80, 20);
  s = screens("se_short");
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(row_text(s[0], 5), "[END]");
  // Rows 20 and 21 lie below the 17 rows the terminal shows of the
  // surface: a surface of terminal rows - 3 would show them on 16 and 17.
  EXPECT_EQ(s[0].size(), 20u);
  for (const auto& line : s[0]) EXPECT_EQ(line.find("1) Toolbox"), std::string::npos) << line;
  EXPECT_EQ(log(), "SE_EDIT 1 status=0 changed=0\n");
}

// In inquire mode the keys that change anything beep; scrolling works.
TEST_F(StmtEditor, ViewOnlyRunChangesNothing) {
  install();
  se_call c;
  c.mode = 3;
  scripted("se_view_only", c,
           "#OPTION 1\n#OPTION 5\n#OPTION 6\n#OPTION 10\n#OPTION 11\n#ADD MODE\n#DELETE MODE\n#CHANGE MODE\n"
           "#SCROLL LAST-1\n#SCROLL 1ST-1\n#END\n");
  std::vector<std::string> was, now;
  for (auto& r : before_) was.push_back(r.b);
  for (auto& r : stmts()) now.push_back(r.b);
  EXPECT_EQ(now, was);
  EXPECT_EQ(log(), "SE_EDIT 1 status=0 changed=0\n");
  for (const auto& screen : screens("se_view_only")) EXPECT_EQ(row_text(screen, 2), "      *        first line");
}

// Stamps: an added line has only its added stamp, also after a change; a
// line changed and changed back has none; a changed old line gets the
// run's changed stamp and user. The audit views show them.
TEST_F(StmtEditor, StampsOfAddedAndChangedLines) {
  // A mask of the date alone: the clock runs on from the fake time.
  install("", "mask=0807-06-05");
  scripted("se_stamps", {},
           "#ADD MODE\n*\n#ENTER\nadded line\n#ENTER\n#CANCEL\n"
           "#CHANGE MODE\n#TAB\nZ\n#DOWN\nX\n#LEFT\ni\n#DOWN\n#DOWN\nQ\n#ENTER\n"
           "#OPTION 98\n#OPTION 1\n#OPTION 98\n#OPTION 2\n#END\n");
  const auto r = stmts("SET TEST", 1);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].opnd(), "Zdded line");
  EXPECT_FALSE(r[0].stamp_none(STMT_ADD_STAMP));
  EXPECT_TRUE(r[0].stamp_none(STMT_CHG_STAMP));
  EXPECT_EQ(r[1].opnd(), "first line");
  EXPECT_TRUE(r[1].stamp_none(STMT_CHG_STAMP));
  EXPECT_EQ(r[1].user(STMT_CHG_USER), "   ");
  EXPECT_TRUE(r[2].stamp_none(STMT_CHG_STAMP));
  EXPECT_EQ(r[3].opnd(), "thQrd line");
  EXPECT_TRUE(r[3].stamp_none(STMT_ADD_STAMP));
  EXPECT_EQ(r[3].b.substr(STMT_CHG_STAMP, 8), r[0].b.substr(STMT_ADD_STAMP, 8));
  EXPECT_EQ(r[3].user(STMT_CHG_USER), "TST");
  const std::string snap = kivo_test::slurp(d_.file("se_stamps/actual/snapshot"));
  EXPECT_NE(snap.find("Added prior to version 2.0"), std::string::npos);
  EXPECT_NE(snap.find("Added 2026-12-07 by TST"), std::string::npos);
  EXPECT_NE(snap.find("Changed 2026-12-07 by TST"), std::string::npos);
}

// A date mask that leaves no room for the user shows the stamp's note.
TEST_F(StmtEditor, LongDateMaskGivesANote) {
  install("", "'mask=0807-06-05 04:03 \"" + std::string(34, 'x') + "\"'");
  scripted("se_long_mask", {}, "#ADD MODE\n*\n#ENTER\nadded\n#ENTER\n#CANCEL\n#OPTION 98\n#OPTION 1\n#END\n");
  const auto s = screens("se_long_mask");
  ASSERT_FALSE(s.empty());
  const std::string note = "Date format is too long";
  EXPECT_EQ(row_text(s.back(), 2), std::string("      *").append(79 - note.size() - 7, ' ') + note);
}

// At ENTER: an error keeps the line with the cursor at its column; a file
// warning stops the first ENTER only; key 88 takes a failing line; CANCEL
// in CHANGE MODE puts back every line shown; a first line is line 1.
TEST_F(StmtEditor, EnterChecksTheLine) {
  const struct {
    const char* name;
    se_call call;
    std::string script;
    std::vector<std::string> opnds;  // event point's operands after the run
  } cases[] = {
      {"se_enter_error",
       {},
       "#ADD MODE\nSET\n#ENTER\n#TAB\n#TAB\nNO SUCH FIELD\n#ENTER\n#CANCEL\n#END\n",
       {"first line", "DEM SE NAME HELLO", "third line"}},
      {"se_enter_warning",
       {},
       "#ADD MODE\nREAD\n#ENTER\n#TAB\n#TAB\nNOFILE\n#ENTER\n#ENTER\n#CANCEL\n#END\n",
       {"DEMNOFILE", "first line", "DEM SE NAME HELLO", "third line"}},
      {"se_enter_accept",
       {},
       "#ADD MODE\nSET\n#ENTER\n#TAB\n#TAB\nNO SUCH FIELD\n#OPTION 88\n#CANCEL\n#END\n",
       {"DEM NO SUCH FIELD DEM", "first line", "DEM SE NAME HELLO", "third line"}},
      {"se_change_cancel",
       {},
       "#ADD MODE\n*\n#ENTER\nnew\n#ENTER\n#CANCEL\n#DOWN\n#CHANGE MODE\n#TAB\nX\n#DOWN\n#TAB\nNOPE\n#ENTER\n"
       "#CANCEL\n#END\n",
       {"new", "first line", "DEM SE NAME HELLO", "third line"}},
      {"se_first_line", {}, "#ADD MODE\n*\n#ENTER\nthe only line\n#ENTER\n#CANCEL\n#END\n", {"the only line"}},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    install();
    if (std::string(c.name) == "se_first_line") c.call.ep = 3;
    scripted(c.name, c.call, c.script);
    std::vector<std::string> got;
    std::vector<uint32_t> want_seq;
    for (auto& r : stmts("SET TEST", c.call.ep)) {
      std::string o = r.opnd();
      o.erase(std::remove_if(o.begin(), o.end(), [](char ch) { return !isalnum(uint8_t(ch)); }), o.end());
      got.push_back(o);
    }
    for (std::string& w : c.opnds) w.erase(std::remove(w.begin(), w.end(), ' '), w.end());
    EXPECT_EQ(got, c.opnds);
    if (std::string(c.name) == "se_first_line") {
      EXPECT_EQ(seqs(stmts("SET TEST", 3)), std::vector<uint32_t>{100});
    }
  }
}

// The error's cursor: the snapshot of the key after the refused ENTER has
// the cursor on the field (row 2, column 20; counted from 0 there).
TEST_F(StmtEditor, RefusedLineKeepsTheCursorOnTheField) {
  install();
  scripted("se_error_cursor", {}, "#ADD MODE\nSET\n#ENTER\n#TAB\n#TAB\nNO SUCH FIELD\n#ENTER\n#CANCEL\n#END\n");
  const std::string snap = kivo_test::slurp(d_.file("se_error_cursor/actual/snapshot"));
  const size_t at = snap.find("Keystroke: CANCEL");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(snap.substr(at + 18, 30), "Cursor is at row 01, column 19");
}

// The context line: the process, the owner numbers of a frame event point,
// the process type and the event point's name at the right.
TEST_F(StmtEditor, ContextLineNamesTheEventPoint) {
  const struct {
    int type, ep, part;
    const char *left, *right;
  } cases[] = {
      {2, 21, 1, "SET TEST(1)0", "Input  (Start of Frame)"},
      {6, 7, 0, "SET TEST", "Subroutine  (Query Pre-select)"},
      {6, 1, 0, "SET TEST", "Subroutine  (Subroutine)"},
      {1, 1, 0, "SET TEST", "Menu  (Start of Process)"},
      {6, 99, 0, "SET TEST(0)0.0.0", "Subroutine  (\x3f\x3f\x3f)"},
  };
  for (const auto& k : cases) {
    install();
    const std::string want = std::string(k.left).append(80 - strlen(k.left) - strlen(k.right), ' ') + k.right;
    SCOPED_TRACE(want);
    se_call c;
    c.type = k.type, c.ep = k.ep, c.frame_part = k.part;
    const std::string name = "se_context_" + std::to_string(k.type) + "_" + std::to_string(k.ep);
    scripted(name, c, "#END\n");
    const auto s = screens(name);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(row_text(s[0], 1), want);
  }
}

// HELP on an occurrence field: the field's text, centred, with its prompt.
TEST_F(StmtEditor, HelpOnAnOccurrenceField) {
  install();
  scripted("se_help_occ", {}, "#DOWN\n#CHANGE MODE\n#TAB\n#TAB\n#TAB\n#HELP ON ITEM\n#ENTER\n#CANCEL\n#END\n");
  const std::string text = "Occurrence: a number, index letters, or blank for none  ( RETURN to continue )";
  std::string want = std::string((80 - text.size()) / 2, ' ') + text;
  bool seen = false;
  for (const auto& s : screens("se_help_occ")) seen |= row_text(s, 23) == want;
  EXPECT_TRUE(seen) << kivo_test::slurp(d_.file("se_help_occ/actual/snapshot"));
}

// Texts longer than their line are cut to it, from column 1.
TEST_F(StmtEditor, LongTextsAreClipped) {
  const std::string ep(90, 'E'), occ(100, 'O');
  install("", "'1040=" + ep + "' '103060=" + occ + "'");
  scripted("se_long_texts", {}, "#DOWN\n#CHANGE MODE\n#TAB\n#TAB\n#TAB\n#HELP ON ITEM\n#ENTER\n#CANCEL\n#END\n");
  const auto s = screens("se_long_texts");
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(row_text(s[0], 1), ("Subroutine  (" + ep).substr(0, 80));
  bool seen = false;
  for (const auto& screen : s) seen |= row_text(screen, 23) == occ.substr(0, 80);
  EXPECT_TRUE(seen);
}

// A write failing under the save keeps the lines in the editor and the
// stored records as they were; END again stores them all. CANCEL after a
// failed save leaves the stored records.
TEST_F(StmtEditor, FailedSaveKeepsTheLines) {
  syserr_expected_ = true;
  install();
  scripted("se_save_fails", {}, std::string(kAddSet) + "#END\n#END\n", {{"KIVO_TOOL_FAIL_WRITE", "2"}});
  EXPECT_EQ(seqs(stmts("SET TEST", 1)), (std::vector<uint32_t>{100, 200, 300, 400}));
  EXPECT_EQ(log(), "SE_EDIT 1 status=0 changed=1\n");
  EXPECT_NE(kivo_test::slurp(d_.file("syserr")).find("Statements not saved"), std::string::npos);
  const auto s = screens("se_save_fails");
  ASSERT_GE(s.size(), 2u);
  EXPECT_EQ(row_text(s.back(), 2), "      SET      DEM SE NAME                    =      WORLD");

  install();
  scripted("se_save_fails_cancel", {}, std::string(kAddSet) + "#END\n#CANCEL\n", {{"KIVO_TOOL_FAIL_WRITE", "2"}});
  std::vector<std::string> was, now;
  for (auto& r : before_) was.push_back(r.b);
  for (auto& r : stmts()) now.push_back(r.b);
  EXPECT_EQ(now, was);
}

// A context that is not the 64-byte record is refused: the editor never
// runs. An application without statement file does not start: the
// context's status is the file's status byte.
TEST_F(StmtEditor, StartFailures) {
  const struct {
    se_call call;
    const char* log;
  } cases[] = {{{.short_ctx = true}, ""}, {{.ap = "XYZ"}, "SE_EDIT 0 status=148 changed=0\n"}};
  for (const auto& k : cases) {
    install();
    auto p = start(k.call, env("tst"));
    EXPECT_EQ(p->exit_status(60), 0) << p->capture();
    EXPECT_EQ(log(), k.log);
    std::vector<std::string> was, now;
    for (auto& r : before_) was.push_back(r.b);
    for (auto& r : stmts()) now.push_back(r.b);
    EXPECT_EQ(now, was);
  }
}

}  // namespace
}  // namespace kivo::test
