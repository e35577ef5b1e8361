// Search and replace: the substring rule with its trailing underline, and
// runs of the editor through the tool harness (the cursor of each screen,
// the messages, and the records stored).
#include "../fixtures/hook_override.h"
#include "editors/se_edit.h"
#include "foundation/bytes.h"
#include "se_run_util.h"

namespace kivo::test {
namespace {

std::string tabs(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "#TAB\n";
  return s;
}

// A 30-column prompt string.
std::string prompt(const std::string& s) { return s + std::string(30 - s.size(), ' '); }

constexpr const char* kLines = R"(PROCESS 6 "SET SIX"
STMTS 6 "SET SIX" ep=1
      *        line 1 alpha
      *        line 2
      *        line 3 alpha beta alpha
      *        line 4
      SET      DEM SE NAME                    =      HELLO
      *        line 6 Alpha
END
)";

class StmtSearch : public SeRun {
 protected:
  void run(const std::string& name, const std::string& script, const std::string& proc = "SET SIX",
           kivo_test::env_list extra = {}) {
    se_call c;
    c.proc = proc;
    play(name, c, script, extra);
  }
  // The cursor (row, column from 1) before each key of the run.
  std::vector<std::pair<int, int>> cursors(const std::string& name) {
    std::vector<std::pair<int, int>> out;
    const std::string snap = kivo_test::slurp(d_.file(name + "/actual/snapshot"));
    for (size_t at = snap.find("Cursor is at row "); at != std::string::npos;
         at = snap.find("Cursor is at row ", at + 1))
      out.push_back({atoi(snap.substr(at + 17, 2).c_str()) + 1, atoi(snap.substr(at + 28, 2).c_str()) + 1});
    return out;
  }
  std::vector<std::string> opnds(const std::string& proc = "SET SIX") {
    std::vector<std::string> out;
    for (auto& r : stmts(proc, 1)) out.push_back(r.opnd());
    return out;
  }
};

TEST_F(StmtSearch, SubstringRule) {
  const struct {
    const char* text;
    std::string pat;
    int at;
  } cases[] = {
      {"AB A C", prompt("A_"), 4},  // "A " and not "AB"
      {"AB", prompt("A_"), -1},     // "A " is not there
      {"x_y", prompt("_"), 2},      // a lone underline is looked for
      {"xyz", prompt("_"), -1},     //
      {"abc", prompt(""), -1},      // nothing to look for
      {"abc", prompt("B"), -1},     // exact case
      {"a_ ", prompt("__"), 2},     // an underline, then the marked blank
      {"", prompt("A"), -1},        // an empty text
      {"..123456789012345678901234567890", std::string("123456789012345678901234567890"), 3},
      {"12345678901234567890123456789", std::string("123456789012345678901234567890"), -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_sub_str(c.text, int(strlen(c.text)), c.pat.data(), int(c.pat.size())), c.at) << c.text << "|" << c.pat;
  EXPECT_EQ(se_eff_len("A_   ", 5), 2u);
  EXPECT_EQ(se_eff_len("_    ", 5), 1u);
  EXPECT_EQ(se_eff_len("     ", 5), 0u);
}

// Case: with the case flag on, "alpha" is typed as "ALPHA" and not found;
// flipped, lower case stays and the matches follow one another; after the
// last the cursor goes back and the message says so.
TEST_F(StmtSearch, SearchFindsTheNextMatch) {
  install(kLines);
  run("search_case", "#OPTION 4\nalpha\n#ENTER\n#CANCEL\n#END\n");
  auto s = screens("search_case");
  ASSERT_GE(s.size(), 3u);
  EXPECT_EQ(row_text(s[2], 2), "Search String Not Found - Cancel to Continue");
  install(kLines);
  run("search_next", "#OPTION 4\n#OPTION 6\nalpha\n#ENTER\n#ENTER\n#ENTER\n#ENTER\n#CANCEL\n#END\n");
  const auto c = cursors("search_next");
  // OPTION 4, OPTION 6 (prompt), a..a typed, ENTER: then the matches.
  ASSERT_GE(c.size(), 8u);
  EXPECT_EQ(c[3], (std::pair<int, int>{2, 23}));  // line 1
  EXPECT_EQ(c[4], (std::pair<int, int>{4, 23}));  // line 3
  EXPECT_EQ(c[5], (std::pair<int, int>{4, 34}));  // line 3, the second
  s = screens("search_next");
  EXPECT_EQ(row_text(s[6], 2), "Last Occurrence of String Already on Screen");
  EXPECT_EQ(c[6], (std::pair<int, int>{2, 1}));  // where it began
  // A new search from a match shown goes on after it.
  install(kLines);
  run("search_again", "#OPTION 4\n#OPTION 6\nalpha\n#ENTER\n#CANCEL\n#OPTION 4\n#ENTER\n#CANCEL\n#END\n");
  const auto a = cursors("search_again");
  ASSERT_GE(a.size(), 8u);
  EXPECT_EQ(a[3], (std::pair<int, int>{2, 23}));  // line 1
  EXPECT_EQ(a[6], (std::pair<int, int>{4, 23}));  // line 3, not line 1 again
  EXPECT_EQ(opnds(), (std::vector<std::string>{"line 1 alpha", "line 2", "line 3 alpha beta alpha", "line 4",
                                               opnds()[4], "line 6 Alpha"}));
}

// A match below the window is shown near its middle.
TEST_F(StmtSearch, MatchBelowTheWindowIsCentred) {
  install(long_event_point(), "", false);
  run("search_far", "#OPTION 4\n#OPTION 6\nline 050\n#ENTER\n#CANCEL\n#END\n", "SET LONG");
  const auto s = screens("search_far");
  ASSERT_GE(s.size(), 4u);
  EXPECT_EQ(row_text(s[3], 2), "      *        line 041");
  EXPECT_EQ(cursors("search_far")[3], (std::pair<int, int>{11, 16}));
}

// In a delete range a match moves the range end: 1-3 are deleted.
TEST_F(StmtSearch, MatchEndsARange) {
  install(kLines);
  run("search_range", "#DELETE MODE\n#OPTION 4\n#OPTION 6\nline 3\n#ENTER\n#ENTER\n#ENTER\n#END\n");
  const auto o = opnds();
  ASSERT_EQ(o.size(), 3u) << kivo_test::slurp(d_.file("search_range/actual/snapshot"));
  EXPECT_EQ(o[0], "line 4");
}

// Replace: confirmed, skipped (8), then all (9); only inside one field; a
// replacement that would cut the field's end is skipped; each replaced
// line gets the run's changed stamp.
TEST_F(StmtSearch, ReplaceInsideOneField) {
  const struct {
    const char* name;
    std::string script;
    std::vector<std::string> want;  // the operand texts stored
    const char* shows = "";         // a text some screen shows
  } cases[] = {
      {"replace_confirm",
       "#OPTION 5\n#OPTION 6\nalpha\n#TAB\nomega\n#ENTER\n#ENTER\n#OPTION 8\n#OPTION 9\n#CANCEL\n#END\n",
       {"line 1 omega", "line 2", "line 3 alpha beta omega", "line 4", "", "line 6 Alpha"}},
      {"replace_case",
       "#OPTION 5\nalpha\n#TAB\nomega\n#ENTER\n#CANCEL\n#END\n",
       {"line 1 alpha", "line 2", "line 3 alpha beta alpha", "line 4", "", "line 6 Alpha"}},
      // "M SE" lies across the application id and the field: skipped.
      {"replace_across",
       "#OPTION 5\nM SE\n#TAB\nX\n#ENTER\n#CANCEL\n#END\n",
       {"line 1 alpha", "line 2", "line 3 alpha beta alpha", "line 4", "", "line 6 Alpha"}},
      // 23 characters in a 22-column constant after HELLO's place: cut.
      {"replace_cuts",
       "#OPTION 5\nHELLO\n#TAB\nABCDEFGHIJKLMNOPQRSTUVW\n#ENTER\n#CANCEL\n#END\n",
       {"line 1 alpha", "line 2", "line 3 alpha beta alpha", "line 4", "", "line 6 Alpha"}},
      // "SE NAMX" fails the check: the line goes to editing; CANCEL there
      // ends the replace with the line as it was.
      {"replace_fails_check",
       "#OPTION 5\nSE NAME\n#TAB\nSE NAMX\n#ENTER\n#ENTER\n#CANCEL\n#END\n",
       {"line 1 alpha", "line 2", "line 3 alpha beta alpha", "line 4", "", "line 6 Alpha"},
       "Make Changes to Statement Then Press RETURN"},
      // NEW holding OLD: each occurrence is replaced once.
      {"replace_holding_old",
       "#OPTION 5\n#OPTION 6\nalpha\n#TAB\nXalpha\n#ENTER\n#OPTION 9\n#CANCEL\n#END\n",
       {"line 1 Xalpha", "line 2", "line 3 Xalpha beta Xalpha", "line 4", "", "line 6 Alpha"}},
      // A stray key at the confirmation beeps and asks again.
      {"replace_stray_key",
       "#OPTION 5\n#OPTION 6\nalpha\n#TAB\nomega\n#ENTER\n#OPTION 7\n#ENTER\n#CANCEL\n#END\n",
       {"line 1 omega", "line 2", "line 3 alpha beta alpha", "line 4", "", "line 6 Alpha"}},
      {"replace_fits",
       "#OPTION 5\nHELLO\n#TAB\nWORLD\n#ENTER\n#ENTER\n#CANCEL\n#END\n",
       {"line 1 alpha", "line 2", "line 3 alpha beta alpha", "line 4", "WORLD", "line 6 Alpha"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install(kLines);
    run(c.name, c.script);
    EXPECT_NE(kivo_test::slurp(d_.file(std::string(c.name) + "/actual/snapshot")).find(c.shows), std::string::npos);
    const auto r = stmts("SET SIX", 1);
    ASSERT_EQ(r.size(), c.want.size());
    for (size_t i = 0; i < r.size(); ++i) {
      const std::string o = r[i].opnd();
      const bool set = i == 4;
      const std::string got = set ? o.substr(37) : o;
      const std::string want = set && c.want[i].empty() ? "HELLO" : c.want[i];
      EXPECT_EQ(got, want) << i;
      // A replaced line, and only it, carries the changed stamp.
      const bool replaced =
          set ? want != "HELLO" : want != std::vector<std::string>{"line 1 alpha", "line 2", "line 3 alpha beta alpha",
                                                                   "line 4",       "",       "line 6 Alpha"}[i];
      EXPECT_EQ(r[i].stamp_none(STMT_CHG_STAMP), !replaced) << i;
      EXPECT_EQ(r[i].user(STMT_CHG_USER), replaced ? "TST" : "   ") << i;
    }
  }
}

// A replaced line failing the check, or warned about, goes to editing on
// its row: ENTER checks it again (a warning stops once), option 8 skips it,
// CANCEL ends the replace at once; option 12 beeps.
TEST_F(StmtSearch, ReplacedLineInEditing) {
  const char* kRead = R"(PROCESS 6 "SET READ"
STMTS 6 "SET READ" ep=1
      READ     DEM SEFILE    HOLD 0    FAIL 0    KEY IS
      SET      DEM SE NAME                    =      HELLO
END
FILE SEFILE number=7 fs=1 org=3
  "SE FILED" A4 key=primary
END
)";
  const std::string to_nofile = "#OPTION 5\nSEFILE\n#TAB\nNOFILE\n#ENTER\n#ENTER\n";
  const std::string to_namx = "#OPTION 5\nSE NAME\n#TAB\nSE NAMX\n#ENTER\n#ENTER\n";
  const struct {
    const char* name;
    std::string script;
    const char* read;  // the READ's file and the SET's field stored
    const char* field;
    bool ended;  // the replace ran to "Cancel To End Replace"
  } cases[] = {
      {"repl_warn_twice", to_nofile + "#ENTER\n#CANCEL\n#END\n", "NOFILE", "SE NAME", true},
      {"repl_warn_skip", to_nofile + "#OPTION 8\n#CANCEL\n#END\n", "SEFILE", "SE NAME", true},
      {"repl_fail_skip", to_namx + "#ENTER\n#OPTION 12\n#OPTION 8\n#CANCEL\n#END\n", "SEFILE", "SE NAME", true},
      {"repl_fail_fixed", to_namx + "#OPTION 6\n#OPTION 6\nSE FLAGS\n#ENTER\n#CANCEL\n#END\n", "SEFILE", "SE FLAGS",
       true},
      {"repl_fail_cancel", to_namx + "#CANCEL\n#END\n", "SEFILE", "SE NAME", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install(kLines + std::string(kRead));
    run(c.name, c.script, "SET READ");
    const std::string snap = kivo_test::slurp(d_.file(std::string(c.name) + "/actual/snapshot"));
    EXPECT_NE(snap.find("Make Changes to Statement Then Press RETURN"), std::string::npos);
    EXPECT_EQ(snap.find("Cancel To End Replace") != std::string::npos, c.ended);
    const bool warns = std::string(c.name).find("warn") != std::string::npos;
    EXPECT_EQ(snap.find("WARNING - File not found") != std::string::npos, warns);
    const auto r = stmts("SET READ", 1);
    ASSERT_EQ(r.size(), 2u) << snap;
    EXPECT_EQ(r[0].opnd().substr(3, 6), c.read);
    std::string f = r[1].opnd().substr(7, 22);
    EXPECT_EQ(f.erase(f.find_last_not_of(' ') + 1), c.field);
    // Only a stored replacement is stamped; a skipped one leaves nothing.
    const bool stored = std::string(c.read) != "SEFILE" || std::string(c.field) != "SE NAME";
    EXPECT_EQ(!r[0].stamp_none(STMT_CHG_STAMP) || !r[1].stamp_none(STMT_CHG_STAMP), stored);
    EXPECT_EQ(log(), stored ? "SE_EDIT 1 status=0 changed=1\n" : "SE_EDIT 1 status=0 changed=0\n");
  }
}

// The keyword list: R - 3 (18) entries a column, 14 columns apart, without
// CNV FLT, CNV ZONE, NO TRACE and VERSION; a verb chosen from it is taken
// as typed.
TEST_F(StmtSearch, KeywordList) {
  install(kLines);
  run("scan_verbs", "#ADD MODE\n#SCAN\n#CANCEL\n#SCAN\n#TAB\n#TAB\n#ENTER\n#CANCEL\n#CANCEL\n#END\n");
  const auto s = screens("scan_verbs");
  ASSERT_GE(s.size(), 7u);
  const auto& list = s[2];
  EXPECT_EQ(row_text(list, 1), std::string(31, ' ') + "Statement Keywords");
  EXPECT_EQ(list[1].substr(0, 8), "*       ");
  EXPECT_EQ(list[18].substr(0, 8), "CNV TEXT");  // the 18th entry ends the column
  EXPECT_EQ(list[1].substr(14, 8), "COMPUTE ");
  EXPECT_EQ(list[1].substr(70, 8), "PICTURE ");  // the sixth column
  EXPECT_EQ(row_text(list, 21), std::string(19, ' ') + "Tab To Desired Statement Then Press RETURN");
  for (const auto& row : list)
    for (const char* gone : {"CNV FLT", "CNV ZONE", "NO TRACE", "VERSION"})
      EXPECT_EQ(row.find(gone), std::string::npos);
  // TAB TAB ENTER: the third entry of the first row, IF, in operand entry.
  EXPECT_EQ(row_text(s[5], 2).substr(0, 15), "..... IF       ");
  EXPECT_EQ(opnds().size(), 6u);
}

// The area lists: four words on a STORE, seven on a PASS; the word chosen
// stores the area byte the layout reads (RECORD: 3).
TEST_F(StmtSearch, AreaLists) {
  install(kLines);
  run("scan_store",
      "#ADD MODE\nSTORE\n#ENTER\n#TAB\n#TAB\nSE NAME\n#TAB\n#TAB\n#SCAN\n#TAB\n#ENTER\n#ENTER\n#CANCEL\n#END\n");
  auto s = screens("scan_store");
  ASSERT_GE(s.size(), 4u);
  const auto& list = s[3];
  EXPECT_EQ(row_text(list, 3), std::string(32, ' ') + "Store Area Types");
  const char* four[] = {"FIELD", "RECORD", "DEFAULT FIELD", "DEFAULT RECORD"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(row_text(list, 4 + i), std::string(33, ' ') + four[i]);
  EXPECT_EQ(row_text(list, 8), "");
  const auto r = stmts("SET SIX", 1);
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(ld_le16(reinterpret_cast<const uint8_t*>(r[0].b.data()), STMT_VERB), VERB_STORE);
  EXPECT_EQ(uint8_t(r[0].b[STMT_OPND + 30]), AREA_RECORD);
  EXPECT_EQ(r[0].b.substr(STMT_OPND + 7, 7), "SE NAME");

  install(kLines);
  run("scan_pass", "#ADD MODE\nPASS\n#ENTER\n#TAB\n#TAB\n#TAB\n#TAB\n#SCAN\n#CANCEL\n#CANCEL\n#END\n");
  s = screens("scan_pass");
  ASSERT_GE(s.size(), 4u);
  EXPECT_EQ(row_text(s[3], 3), std::string(21, ' ') + "Interprocess Communication Area Types");
  const char* seven[] = {"FIELD", "RECORD", "DEFAULT FIELD", "DEFAULT RECORD", "STORE FIELD", "STORE RECORD", "FILE"};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(row_text(s[3], 4 + i), std::string(33, ' ') + seven[i]);
  EXPECT_EQ(opnds().size(), 6u);
}

// SCAN on a field name runs "SCAN" with "0LA" (typed "---") and version
// "00", the current name and the field type; its name is copied in.
TEST_F(StmtSearch, ScanOfAFieldName) {
  install(kLines);
  run("scan_field", "#ADD MODE\nSET\n#ENTER\n#TAB\n---\n#SCAN\n#TAB\n#TAB\n   ABC\n#ENTER\n#CANCEL\n#END\n", "SET SIX",
      {{"KIVO_SCAN_NAMES", "USER ID,OTHER"}});
  EXPECT_EQ(log(), "SCAN ap=0LA ver=00 name= type=3\nSE_EDIT 1 status=0 changed=1\n")
      << kivo_test::slurp(d_.file("scan_field/actual/snapshot"));
  const auto r = stmts("SET SIX", 1);
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[0].opnd().substr(4, 10), "0LAUSER ID");
  EXPECT_EQ(r[0].opnd().substr(37), "ABC");
  // The row shows the name chosen and what was typed before it.
  bool shown = false;
  for (const auto& screen : screens("scan_field"))
    shown |= row_text(screen, 2).find("--- USER.ID") != std::string::npos;
  EXPECT_TRUE(shown) << kivo_test::slurp(d_.file("scan_field/actual/snapshot"));
  // In CHANGE MODE a name put into one row leaves what was typed on another
  // on the screen, as ENTER stores it.
  install(kLines);
  run("scan_change", "#CHANGE MODE\n#TAB\n#TAB\ntyped\n" + tabs(5) + "#SCAN\n#CANCEL\n#END\n", "SET SIX",
      {{"KIVO_SCAN_NAMES", "USER ID"}});
  const auto s = screens("scan_change");
  ASSERT_GE(s.size(), 3u);
  EXPECT_EQ(row_text(s[2], 3).substr(0, 21), "      *        typed2");
  EXPECT_EQ(row_text(s[2], 6).substr(15, 11), "DEM USER.ID");
}

// Without a stand-in the editor's SCAN runs the system's "SCAN": the list of
// the field names of "0LA" "00" (typed "---"), the cursor on the first;
// TAB twice and ENTER choose the third, which is copied into the line.
TEST_F(StmtSearch, ScanOfAFieldNameThroughTheSystemSubroutine) {
  install(kLines);
  run("scan_system",
      "#ADD MODE\nSET\n#ENTER\n#TAB\n---\n#SCAN\n#TAB\n#TAB\n#ENTER\n#TAB\n#TAB\n   ABC\n#ENTER\n#CANCEL\n#END\n");
  const auto s = screens("scan_system");
  size_t list = 0;
  for (size_t i = 0; i < s.size() && !list; ++i)
    if (row_text(s[i], 2).find("Field Names of 0LA 00") != std::string::npos) list = i;
  ASSERT_NE(list, 0u) << kivo_test::slurp(d_.file("syserr")) << kivo_test::slurp(d_.file("tool.log"));
  const std::string third = row_text(s[list], 6).substr(2);
  ASSERT_FALSE(third.empty());
  const auto r = stmts("SET SIX", 1);
  ASSERT_EQ(r.size(), 7u) << kivo_test::slurp(d_.file("scan_system/actual/snapshot"));
  std::string name = r[0].opnd().substr(7, 22);
  EXPECT_EQ(r[0].opnd().substr(4, 3), "0LA");
  EXPECT_EQ(name.erase(name.find_last_not_of(' ') + 1), third);
  EXPECT_EQ(r[0].opnd().substr(37), "ABC");
}

}  // namespace
}  // namespace kivo::test
