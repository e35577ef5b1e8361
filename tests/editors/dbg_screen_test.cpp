// The debugger on a real terminal: the engine with KIVO_DB_TRAPS=1 runs a
// SUBROUTINE of 0SA that begins with a TRAP, in a tmux pane of 80 x 24 on a
// copy of the default installation; keys are the default keymap's (OPTION
// F1 and a digit, SELECT F6, ADD MODE F10, CANCEL F2 Shift-F1). Every wait
// is for the screen or the end of the run.
#include "../fixtures/hook_override.h"
#include "editors/dbg.h"
#include "se_run_util.h"
#include "types/date_mask.h"

namespace kivo::test {
namespace {

constexpr const char* kTrapped = R"(APPLICATION 0SA 00
WORK WAP A3
WORK WNAME A22
WORK WOCC B2
WORK WFLAGS A1 occurs=4
PROCESS 6 DBGREFUSE
STMTS 6 DBGREFUSE ep=1
      SET      0SA WAP                        =      0LA
      SET      0SA WNAME                      =      AI
      SET      0SA WOCC                       =      2
      PASS     0SA WAP                        FIELD            SHARE? Y
      PASS     0SA WNAME                      FIELD            SHARE? Y
      PASS     0SA WOCC                       FIELD            SHARE? Y
      CALL         DBG_WATCH                            N       N       0
      SET      0SA WNAME                      =      ZZ NO SUCH FIELD
      SET      0SA WOCC                       =      1
      PASS     0SA WAP                        FIELD            SHARE? Y
      PASS     0SA WNAME                      FIELD            SHARE? Y
      PASS     0SA WOCC                       FIELD            SHARE? Y
      CALL         DBG_WATCH                            N       N       0
      CALC     BI = 7
      CALC     CI = 1
      LOGOUT           N
END
PROCESS 6 DBGWATCH
STMTS 6 DBGWATCH ep=1
      SET      0SA WAP                        =      0LA
      SET      0SA WNAME                      =      BI
      SET      0SA WOCC                       =      1
      PASS     0SA WAP                        FIELD            SHARE? Y
      PASS     0SA WNAME                      FIELD            SHARE? Y
      PASS     0SA WOCC                       FIELD            SHARE? Y
      CALL         DBG_WATCH                            N       N       0
      CALC     BI = 7
      CALC     CI = 1
      LOGOUT           N
END
PROCESS 6 DBGTEST
STMTS 6 DBGTEST ep=1
      TRAP
      CALC     AI = 1
      CALC     AI = 2
      CALC     AI = 3
      LOGOUT           N
END
PROCESS 6 DBGSET
STMTS 6 DBGSET ep=1
      TRAP
      SET      0LA BI                         =  0LA AI                    
      SET      0LA CI                         =  0LA BI                    
      SET      0LA DI                         =  0LA CI                    
      LOGOUT           N
END
PROCESS 6 DBGERR
STMTS 6 DBGERR ep=1
      CALC     AI = 9
      SET      0SA WFLAGS                 AI  =      X
      CALC     CI = 5
      LOGOUT           N
END
PROCESS 4 DBGFRM
FRAME 4 DBGFRM 0 1 enabled=1 kind=0
STMTS 4 DBGFRM ep=22 frame=0,1
      TRAP
      CALC     AI = 1
END
PROCESS 6 DBGOCC
STMTS 6 DBGOCC ep=1
      CALC     AI = 2
      SET      0SA WFLAGS                 AI  =      X
      TRAP
      SET      0SA WFLAGS                 001 =  0SA WFLAGS                 AI
      LOGOUT           N
END
PROCESS 1 DBGMENU
FRAME 1 DBGMENU 0 1
IMAGE 1 DBGMENU 0 1 1 kind=1 rows=2 cols=30 win_row=2 win_col=5
ROW 1 DBGMENU 0 1 1 1 "1 RUN THE CHILD"
ROW 1 DBGMENU 0 1 1 2 "DBG MENU HERE"
CHILD 1 DBGMENU 0 1 0 1 1 proc_type=6 name=DBGBYE invoc=0 option=1
STMTS 1 DBGMENU ep=61 frame=0,1 child=1,1
      TRAP
      CALC     AI = 1
END
PROCESS 6 DBGBYE
STMTS 6 DBGBYE ep=1
      LOGOUT           N
END
PROCESS 6 DBGLOOP
STMTS 6 DBGLOOP ep=1
      TRAP
      LABEL    TOP
      CALC     AI = 1
      GOTO     TOP
END
)";

// A SUBROUTINE of DEM that fills a record of DBGREC, a native file of its
// own (created by input_fixture), stops at a TRAP and then writes it. DR RAW
// is a type-2 field over the binary DR NUM: 321 puts the bytes 41 01 00 00
// in it, three below 32.
constexpr const char* kWritten = R"(APPLICATION DEM 01
FILE DBGREC fs=1 org=3
  "DR KEY"               A4    key=primary
  "DR NAME"              A20
  "DR RAW"               T2:4  @24
  "DR NUM"               B9    @24
  "DR DATE"              D7:8-5 @28
END
PROCESS 6 DBGWRITE
STMTS 6 DBGWRITE ep=1
      OPEN     DEM DBGREC    SHARE? N  FAIL 2
      SET      DEM DR KEY                     =      K001
      SET      DEM DR NAME                    =  DEM DR RAW
      SET      DEM DR NAME                    =      ORIGINAL
      SET      DEM DR NUM                     =      321
      SET      DEM DR DATE                    =      2026120700000000
      TRAP
      WRITE    DEM DBGREC              FAIL 0
      LOGOUT           N
END
)";
constexpr size_t kWrittenLen = 32;  // DBGREC's record

// The value column of the data lines.
constexpr size_t kValueCol = 32;

class DebugScreen : public SeRun {
 protected:
  void SetUp() override {
    install("", "", false);
    std::ofstream(d_.file("trapped.dsgn")) << kTrapped;
    design(d_.file("trapped.dsgn"));
  }
  // The engine (or, with `harness`, the tool harness) on process `proc`.
  void run(const std::string& proc, const std::string& wait = "", bool harness = false,
           const std::string& type = "subroutine", const std::string& db_ap = "-d=DB1 -a=0SA") {
    kivo_test::env_list e = env("tst");
    e.push_back({"KIVO_DB_TRAPS", "1"});
    const std::string prog = harness ? KIVO_TOOLTEST : KIVO_BINARY;
    p_ = std::make_unique<tmux_pane>(shell_quote(prog) + " " + db_ap + " -t=" + type + " -p=" + proc, d_.path, e, 80,
                                     24);
    if (!wait.empty()) {
      ASSERT_TRUE(p_->wait_for(wait)) << p_->capture();
    }
  }
  // DBGWRITE run to its stop at the TRAP (row 8); `fixture` completes the
  // installation made anew.
  void run_written(const std::string& fixture = "") {
    if (!fixture.empty()) install("", fixture, false);
    std::ofstream(d_.file("written.dsgn")) << kWritten;
    design(d_.file("written.dsgn"));
    ASSERT_EQ(system((shell_quote(INPUT_FIXTURE) + " " + shell_quote(d_.path) + " DEM DEM 01 6:DBGWRITE >" +
                      d_.file("input.out") + " 2>&1")
                         .c_str()),
              0)
        << kivo_test::slurp(d_.file("input.out"));
    run("DBGWRITE", "", false, "subroutine", "-d=DEM -a=DEM");
    ASSERT_TRUE(marked(8, "\x1b[1;5m", " TRAP")) << p_->capture_escapes();
  }
  // CHANGE MODE on statement row `r` (the TRAP's row 8 current): the edit
  // starts on data line 1's value.
  void change_mode(size_t r) {
    std::string keys;
    for (size_t i = r; i < 8; ++i) keys += "Up ";
    p_->send_keys(keys + "S-F2");
    ASSERT_TRUE(kivo_test::wait_until([&] { return p_->cursor() == "18 33"; }, kivo_test::kScreenWait))
        << p_->capture();
  }
  // The records of DBGREC as `kivo -e=` exports a copy of its data file.
  std::string exported() {
    const std::string from = d_.file("DEM/DEM/Data/DBGREC"), to = d_.file("export/DBGREC");
    std::string cmd = "mkdir -p " + d_.file("export") + " && cp " + from + ".dat " + to + ".dat && cp " + from +
                      ".key " + to + ".key && cd " + shell_quote(d_.path) + " && KIVOPATH=" + shell_quote(d_.path) +
                      " KIVO_0SA_PATH=" + shell_quote(d_.path) + " " + shell_quote(KIVO_BINARY) + " -e=" + to +
                      ".dat >" + d_.file("export.out") + " 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0) << kivo_test::slurp(d_.file("export.out"));
    return kivo_test::slurp(to);
  }
  void TearDown() override {
    if (p_) p_->exit_status(1);
    SeRun::TearDown();
  }
  std::string row(size_t r) { return p_->row(r); }
  // Row r with its attribute escapes.
  std::string attr_row(size_t r) { return p_->attr_row(r); }
  // Waits until row r starts with escape `esc` right before `text`.
  bool marked(size_t r, const std::string& esc, const std::string& text) {
    return kivo_test::wait_until([&] { return attr_row(r).find(esc + text) != std::string::npos; },
                                 kivo_test::kScreenWait);
  }
  std::unique_ptr<tmux_pane> p_;
};

// The header names the process, its type and event point; the TRAP line is
// current (bold); OPTION 1 moves to the next line; SELECT on a later line
// makes it blink and OPTION 0 stops there; OPTION 0 then runs to the
// LOGOUT, whose engine status is 127.
TEST_F(DebugScreen, StepsAndBreakpoints) {
  run("DBGTEST", "DBGTEST");
  const std::string head = row(1);
  // The header's columns: flags 1-5, name 7, frame 38, image 46, child 50,
  // type cols-22, event point cols-18; "." at 45 and 49.
  EXPECT_EQ(head, "      DBGTEST                        0000000.000.0000000 Sub Subroutine") << head;
  EXPECT_EQ(row(2), "      TRAP") << p_->capture();
  EXPECT_NE(row(3).find("AI"), std::string::npos) << p_->capture();
  EXPECT_EQ(row(2 + 15), "Appl Field Name             Occ Field Value");
  // A TRAP that is live blinks as a breakpoint does; current, also bold.
  EXPECT_TRUE(marked(2, "\x1b[1;5m", " TRAP")) << p_->capture_escapes();
  // ADD MODE is refused at a TRAP stop: OPTION 1 then steps from the TRAP.
  p_->send_keys("Down Down F10 F1 1");
  EXPECT_TRUE(marked(3, "\x1b[1m", " CALC")) << p_->capture_escapes();
  p_->send_keys("Down Down F6");
  EXPECT_TRUE(marked(5, "\x1b[5m", " CALC")) << p_->capture_escapes();
  p_->send_keys("F1 0");
  EXPECT_TRUE(marked(5, "\x1b[1;5m", " CALC") || marked(5, "\x1b[5;1m", " CALC")) << p_->capture_escapes();
  p_->send_keys("F1 0");
  EXPECT_EQ(p_->exit_status(20), 127) << p_->capture();  // LOGOUT N
}

// CANCEL ends the process before its LOGOUT: the engine ends with 0.
TEST_F(DebugScreen, CancelEndsTheProcess) {
  run("DBGTEST", "DBGTEST");
  p_->send_keys("F2 S-F1");
  EXPECT_EQ(p_->exit_status(20), 0) << p_->capture();  // not 127: LOGOUT never ran
}

// CHANGE MODE on the statement before the current one: its first field
// takes the typed value, which the next statements then move on; CANCEL
// ends an edit and stores nothing.
TEST_F(DebugScreen, ChangedValueIsStored) {
  run("DBGSET", "DBGSET");
  p_->send_keys("F1 1");
  ASSERT_TRUE(marked(3, "\x1b[1m", " SET")) << p_->capture_escapes();
  p_->send_keys("F1 1");
  ASSERT_TRUE(marked(4, "\x1b[1m", " SET")) << p_->capture_escapes();
  EXPECT_EQ(row(18), "---  CI                          0");
  EXPECT_EQ(row(19), "---  BI                          0");
  p_->send_keys("Up S-F2");
  ASSERT_TRUE(kivo_test::wait_until([&] { return p_->cursor() == "18 33"; }, kivo_test::kScreenWait)) << p_->cursor();
  // The line above (BI = AI); its value input-capable, blanks shown as ".".
  EXPECT_EQ(row(18).substr(0, 35), "---  BI                         .0.") << p_->capture();
  p_->send_text("42");
  p_->send_keys("Enter");
  ASSERT_TRUE(
      kivo_test::wait_until([&] { return row(18) == "---  CI                          0"; }, kivo_test::kScreenWait))
      << p_->capture();
  EXPECT_EQ(row(19), "---  BI                          42");
  // CANCEL ends an edit without storing (the cursor stayed on the row).
  p_->send_keys("S-F2");
  ASSERT_TRUE(kivo_test::wait_until([&] { return p_->cursor() == "18 33"; }, kivo_test::kScreenWait)) << p_->cursor();
  p_->send_text("77");
  p_->send_keys("F2 S-F1");
  ASSERT_TRUE(
      kivo_test::wait_until([&] { return row(18) == "---  CI                          0"; }, kivo_test::kScreenWait))
      << p_->capture();
  EXPECT_EQ(row(19), "---  BI                          42");
  p_->send_keys("F1 1");
  ASSERT_TRUE(marked(5, "\x1b[1m", " SET")) << p_->capture_escapes();
  EXPECT_EQ(row(19), "---  CI                          42") << p_->capture();
  // INQUIRE MODE: a field by name, its value stored, then shown again.
  for (const char* value : {"55", ""}) {
    p_->send_keys("F12");
    ASSERT_TRUE(kivo_test::wait_until([&] { return p_->cursor() == "18 1"; }, kivo_test::kScreenWait)) << p_->cursor();
    p_->send_text("0la");  // a full item moves on to the next
    p_->send_text("ei");
    p_->send_keys("Enter");
    ASSERT_TRUE(kivo_test::wait_until([&] { return p_->cursor() == "18 33"; }, kivo_test::kScreenWait))
        << p_->capture();
    EXPECT_EQ(row(18).substr(0, 7), "0LA  EI") << p_->capture();
    if (*value) {
      p_->send_text(value);
      p_->send_keys("Enter");
      ASSERT_TRUE(kivo_test::wait_until([&] { return row(18) == "---  DI                          0"; },
                                        kivo_test::kScreenWait))
          << p_->capture();
    }
  }
  EXPECT_EQ(row(18).substr(32, 3), ".55") << p_->capture();
  p_->send_keys("F2 S-F1");
  ASSERT_TRUE(
      kivo_test::wait_until([&] { return row(18) == "---  DI                          0"; }, kivo_test::kScreenWait))
      << p_->capture();
  p_->send_keys("F2 S-F1");
  EXPECT_EQ(p_->exit_status(20), 0) << p_->capture();
}

// CHANGE MODE on DBGWRITE's first SET of DR NAME: line 1 (DR NAME) takes
// the typed value; line 2, the type-2 DR RAW, shows its bytes below 32 as
// "`" and is not stored back. The record written after the run on carries
// the new name beside DR RAW's bytes as they were.
TEST_F(DebugScreen, ChangedValueIsWritten) {
  ASSERT_NO_FATAL_FAILURE(run_written());
  ASSERT_NO_FATAL_FAILURE(change_mode(4));
  EXPECT_EQ(row(18).substr(0, 40), "DEM  DR NAME                    ORIGINAL") << p_->capture();
  EXPECT_EQ(row(19), "DEM  DR RAW                     A```") << p_->capture();
  p_->send_text("CHANGED ");
  p_->send_keys("Enter");
  // The data lines are shown again from the TRAP, which has none.
  ASSERT_TRUE(kivo_test::wait_until([&] { return row(18).empty(); }, kivo_test::kScreenWait)) << p_->capture();
  p_->send_keys("F1 0");
  ASSERT_EQ(p_->exit_status(20), 127) << p_->capture();  // LOGOUT N after the WRITE
  const std::string rec = exported();
  ASSERT_EQ(rec.size(), kWrittenLen + 1) << rec;  // one record and its line end
  EXPECT_EQ(rec.substr(0, 24), "K001CHANGED" + std::string(13, ' '));
  EXPECT_EQ(rec.substr(24, 4), std::string("A\x01\0\0", 4));
}

// A date field's value follows message 760, its levels outside the
// field's shown as "--"; without the message, the date mask of the field's
// application. A value typed in that form is stored: the record written
// holds its day number.
TEST_F(DebugScreen, DateFollowsTheMaskMessage) {
  const uint32_t typed_day = 739953 - 675;  // 2025-01-31: 675 days before the SET's 2026-12-07
  struct mask_case {
    const char* fixture;  // se_fixture's arguments for a new installation
    const char *shown, *typed;
  } cases[] = {
      {"", "2026/12/07.--:--:--.--.", "2025/01/31"},  // blanks of an input value show as "."
      {"760= mask=05.06.0807", "07.12.2026.", "31.01.2025"},
      {"760=", "2026-12-07.", "2025-01-31"},  // no mask of DEM's own: the system's
  };
  for (const mask_case& r : cases) {
    SCOPED_TRACE(r.fixture);
    ASSERT_NO_FATAL_FAILURE(run_written(r.fixture));
    ASSERT_NO_FATAL_FAILURE(change_mode(7));
    const std::string shown = std::string("DEM  DR DATE") + std::string(kValueCol - 12, ' ') + r.shown;
    EXPECT_EQ(row(18).substr(0, shown.size()), shown) << p_->capture();
    p_->send_text(r.typed);
    p_->send_keys("Enter");
    ASSERT_TRUE(kivo_test::wait_until([&] { return row(18).empty(); }, kivo_test::kScreenWait)) << p_->capture();
    p_->send_keys("F1 0");
    ASSERT_EQ(p_->exit_status(20), 127) << p_->capture();
    const std::string rec = exported();
    ASSERT_EQ(rec.size(), kWrittenLen + 1) << rec;
    EXPECT_EQ(ld_le32(reinterpret_cast<const uint8_t*>(rec.data()), 28), typed_day);
    p_.reset();
  }
}

// The mask of the data lines: each level token outside the field's levels
// (hi..lo) becomes "-"; quoted and escaped text is no token.
TEST_F(DebugScreen, DateMaskKeepsTheFieldsLevels) {
  struct mask_case {
    const char* mask;
    uint8_t hi, lo;
    const char* want;
  } cases[] = {
      {"0807/06/05 04:03:02.01", 8, 5, "0807/06/05 --:--:--.--"},
      {"0807/06/05 04:03:02.01", 4, 1, "----/--/-- 04:03:02.01"},
      {"0807/06/05 04:03:02.01", 8, 1, "0807/06/05 04:03:02.01"},
      {"0807/06/05 04:03:02.01", 6, 6, "----/06/-- --:--:--.--"},
      {"8877/66/55", 7, 5, "--77/66/55"},
      {"0807.005", 8, 5, "0807.005"},  // a day of year: levels 6 and 5
      {"0807.005", 8, 6, "0807.---"},
      {"\"05\" 06\\05", 8, 7, "\"05\" --\\05"},
  };
  for (const mask_case& c : cases) {
    char mask[kDateMaskLen];
    memset(mask, ' ', sizeof mask);
    memcpy(mask, c.mask, strlen(c.mask));
    dbg_date_mask_levels(mask, c.hi, c.lo);
    std::string got(mask, sizeof mask);
    EXPECT_EQ(got.erase(got.find_last_not_of(' ') + 1), c.want) << c.mask << " " << int(c.hi) << "-" << int(c.lo);
  }
}

// An occurrence out of range stops on its statement with the error centred and the
// way out below; OPTION 0 is ignored there, ADD MODE on the next line runs
// on from it.
TEST_F(DebugScreen, ErrorStopLeftByAddMode) {
  run("DBGERR", "DBGERR");
  EXPECT_TRUE(marked(3, "\x1b[1;5m", " SET")) << p_->capture_escapes();
  const std::string err = row(20);
  const std::string text = "occurrence 9 of WFLAGS out of range 1-4";
  EXPECT_EQ(err, std::string((80 - text.size()) / 2, ' ') + text) << p_->capture();  // centred
  EXPECT_EQ(row(21), "ADD MODE chooses the next statement; CANCEL ends the process");
  p_->send_keys("F1 0 Down F10");
  ASSERT_TRUE(marked(4, "\x1b[1m", " CALC")) << p_->capture_escapes();
  EXPECT_NE(row(20).find("SELECT) Breakpoint"), std::string::npos) << p_->capture();
  p_->send_keys("F1 0");
  EXPECT_EQ(p_->exit_status(20), 127) << p_->capture();
}

// DBG_WATCH on "0LA" BI: its change runs "WATCH TRIGGER" with the field
// on record 1 of ENTRY and stops before the next statement; DELETE MODE
// and DIRECT PROC1 run "WATCH FIELD" and "STACK (EDIT)" from the stop.
TEST_F(DebugScreen, WatchStopsAfterTheChange) {
  run("DBGWATCH", "DBGWATCH", true);
  ASSERT_TRUE(marked(8, "\x1b[1m", " CALC     CI")) << p_->capture_escapes();
  p_->send_keys("F11 F2 1");
  ASSERT_TRUE(kivo_test::wait_until([&] { return log().find("STACK") != std::string::npos; }, kivo_test::kScreenWait))
      << log();
  EXPECT_EQ(log(),
            "DBG WATCH TRIGGER parent=1 field=0LA BI occ=1\n"
            "DBG WATCH FIELD parent=1\nDBG STACK (EDIT) parent=1\n");
  // The scroll keys: the page back to the first statement, a next page that
  // cannot go the whole way stays, one statement up, the last page.
  const std::string first = "      SET      0SA WAP", second = "      SET      0SA WNAME";
  EXPECT_EQ(row(2).substr(0, 23), "      SET      0SA WOCC");
  p_->send_keys("PPage");
  ASSERT_TRUE(kivo_test::wait_until([&] { return row(2).substr(0, first.size()) == first; }, kivo_test::kScreenWait))
      << p_->capture();
  p_->send_keys("NPage F4 Up");
  ASSERT_TRUE(kivo_test::wait_until([&] { return row(2).substr(0, second.size()) == second; }, kivo_test::kScreenWait))
      << p_->capture();
  p_->send_keys("F2 Down");
  ASSERT_TRUE(kivo_test::wait_until([&] { return row(2).substr(0, first.size()) == first; }, kivo_test::kScreenWait))
      << p_->capture();
  p_->send_keys("F1 0");
  EXPECT_EQ(p_->exit_status(20), 127) << p_->capture();
}

// The shipped "0LA" has no "WATCH FIELD", "WATCH TRIGGER" or "STACK
// (EDIT)". On the real engine a watch still stops after the change (its
// trigger does not run); DELETE MODE and DIRECT PROC1 say that their
// process is not installed, over the options until the next key, and the
// debugger goes on: OPTION 1 then steps.
TEST_F(DebugScreen, MissingProcessesAreNamed) {
  run("DBGWATCH", "DBGWATCH");
  ASSERT_TRUE(marked(8, "\x1b[1m", " CALC     CI")) << p_->capture_escapes();
  const std::string legend = "0) Go on  1) Step  2) To RETURN  3) To the end  ENTER) Step over";
  for (auto [keys, name] : {std::pair{"F11", "WATCH FIELD"}, std::pair{"F2 1", "STACK (EDIT)"}}) {
    const std::string text = std::string("\"") + name + "\" is not installed: 0LA has no such process";
    p_->send_keys(keys);
    ASSERT_TRUE(kivo_test::wait_until([&] { return row(20) == std::string((80 - text.size()) / 2, ' ') + text; },
                                      kivo_test::kScreenWait))
        << p_->capture();
    EXPECT_EQ(row(21), legend);
  }
  p_->send_keys("F1 1");
  ASSERT_TRUE(kivo_test::wait_until([&] { return p_->capture_escapes().find("\x1b[1m LOGOUT") != std::string::npos; },
                                    kivo_test::kScreenWait))
      << p_->capture_escapes();
  EXPECT_EQ(row(20), "        SELECT) Breakpoint  ADD MODE) Run from the line  CANCEL) End");
  p_->send_keys("F1 0");
  EXPECT_EQ(p_->exit_status(20), 127) << p_->capture();
}

// Watches refused: occurrence 2 of AI (whose element has one; the bytes
// after it are BI's) and an unknown field. BI's change then stops nothing
// and runs no trigger.
TEST_F(DebugScreen, WatchOutOfRangeRefused) {
  run("DBGREFUSE", "", true);
  EXPECT_EQ(p_->exit_status(20), 127) << p_->capture();
  EXPECT_EQ(log(), "");
}

// A stop in a frame's event point reads the frame's statements: the header
// shows the frame number and the event point's name.
TEST_F(DebugScreen, FrameEventPoint) {
  run("DBGFRM", "DBGFRM", false, "action");
  EXPECT_EQ(row(2), "      TRAP") << p_->capture();
  EXPECT_EQ(row(3), "      CALC     AI = 1") << p_->capture();
  EXPECT_EQ(row(1).substr(37, 7), "0000001") << row(1);
  EXPECT_EQ(row(1).substr(61), "Select Image") << row(1);
  p_->send_keys("F2 S-F1");
  EXPECT_EQ(p_->exit_status(20), 0) << p_->capture();
}

// An occurrence named by an index field: the data line shows occurrence
// AI (2) of WFLAGS, which the first SET filled, beside occurrence 1.
TEST_F(DebugScreen, IndexedOccurrence) {
  run("DBGOCC", "DBGOCC");
  p_->send_keys("F1 1");
  ASSERT_TRUE(marked(5, "\x1b[1m", " SET")) << p_->capture_escapes();
  EXPECT_EQ(row(18), "0SA  WFLAGS                 001") << p_->capture();
  EXPECT_EQ(row(19), "0SA  WFLAGS                 AI  X") << p_->capture();
  p_->send_keys("F2 S-F1");
  EXPECT_EQ(p_->exit_status(20), 0) << p_->capture();
}

// A child's pre-invocation event point: its statements are read by the
// child's key (frame 1, child number 1).
TEST_F(DebugScreen, ChildEventPoint) {
  run("DBGMENU", "DBG MENU HERE", false, "menu");
  p_->send_keys("F1 1");
  ASSERT_TRUE(p_->wait_for("DBGMENU")) << p_->capture();
  EXPECT_EQ(row(2), "      TRAP") << p_->capture();
  EXPECT_EQ(row(3), "      CALC     AI = 1") << p_->capture();
  EXPECT_EQ(row(1).substr(37, 19), "0000001.000.0000001") << row(1);
  p_->send_keys("F1 0");
  EXPECT_EQ(p_->exit_status(20), 127) << p_->capture();  // the child's LOGOUT
}

// SIGINT (the interrupt key) in an endless loop stops at the next
// statement: after OPTION 0 at the TRAP, a line of the loop becomes current.
TEST_F(DebugScreen, InterruptStopsALoop) {
  run("DBGLOOP", "DBGLOOP");
  ASSERT_TRUE(marked(2, "\x1b[1;5m", " TRAP")) << p_->capture_escapes();
  p_->send_keys("F1 0");
  // The signal may come before OPTION 0 is read (the stop is then at the
  // TRAP's next statement as well) or after; it is sent again until a line
  // of the loop is current.
  const auto loop_current = [&] {
    const std::string e = p_->capture_escapes();
    return e.find("\x1b[1m LABEL") != std::string::npos || e.find("\x1b[1m CALC") != std::string::npos ||
           e.find("\x1b[1m GOTO") != std::string::npos;
  };
  bool stopped = false;
  for (int i = 0; i < 10 && !stopped; ++i) {
    p_->kill_command(SIGINT);
    stopped = kivo_test::wait_until(loop_current, 2);
  }
  EXPECT_TRUE(stopped) << p_->capture_escapes();
  p_->send_keys("F2 S-F1");
  EXPECT_EQ(p_->exit_status(20), 0) << p_->capture();
}

}  // namespace
}  // namespace kivo::test
