// A session of the shipped demonstration under tmux meeting failures it must
// outlive: its message and token files failing part-way, notices the user
// can act on, a resized terminal, and starts that have no usable terminal.
// Nothing is ever written over the screen as raw text, nor read for behind
// the terminal manager; each session ends or goes on within a bound.
#include <gtest/gtest.h>

#include "../store/installation_site.h"

namespace kivo::test {
namespace {

constexpr const char* kPanel = "Please Contact Your KIVO Support Representative";
constexpr const char* kGoOn = "ENTER, END or CANCEL to Continue Processing";

// Whether the screen (with `history`, the lines scrolled off it too)
// shows `text`, however it is wrapped.
bool shows(tmux_pane& p, const std::string& text, bool history = false) {
  return kivo_test::squeezed(history ? p.capture_history() : p.capture()).find(kivo_test::squeezed(text)) !=
         std::string::npos;
}

// Neither text form of a report is on the screen.
void no_raw_text(tmux_pane& p) {
  const std::string shown = p.capture_history();
  for (const char* raw : {"KIVOMSG", "KIVOERR", "Press Return"}) EXPECT_EQ(shown.find(raw), std::string::npos) << shown;
}

// Each row: reads of `file` fail after `after` of them went through (-1:
// from the menu on); a script plays when given. The start ends with one
// line and status 1, or the session goes on, says `says` and ends with 0.
TEST(SessionFailures, MessageAndTokenFilesFailingPartWayLeaveNoRawTextOrRead) {
  const struct {
    const char* what;
    const char* file;
    int after;
    const char* script;
    int status;
    const char* says;
  } rows[] = {
      {"message file at the window manager's start", "0LA/Data/MESSAGE.dat", 11, nullptr, 1,
       "KIVO Startup Failure: WM5 - wm_init - la_xlate failed"},
      {"token file for a script's keys", "0LA/Data/TOKEN.dat", 0, "#DOWN\n#ENTER\n#END\n", 1,
       "its keys cannot be looked up: UT - can't open token file"},
      {"message file in the session", "0LA/Data/MESSAGE.dat", -1, nullptr, 0, "ERROR - Unable to translate message"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    site s;
    kivo_test::env_list env = kivo_test::read_fail_env(r.file, r.after, s.dir.file("failing"));
    if (r.script) {
      write_bytes(s.dir.file("script"), r.script);
      env.push_back({"KIVO_SCRIPT_IN", s.dir.file("script")});
    }
    auto p = s.engine("-d=DEM", env);
    if (r.after < 0) {
      ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
      std::ofstream(s.dir.file("failing")).put('x');
      p->send_keys("Enter");
      ASSERT_TRUE(p->wait_for("CUSTOMER NO:", kEngineWait)) << p->capture();
      p->send_keys("Enter");  // no customer number: its message cannot be read
      ASSERT_TRUE(p->wait_for(r.says, kEngineWait)) << p->capture();
      p->send_keys("S-F1");
      ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
      p->send_keys("S-F1");
    }
    EXPECT_EQ(p->exit_status(kEngineWait), r.status) << p->capture_history();
    EXPECT_TRUE(r.after < 0 || shows(*p, r.says, true)) << p->capture_history();
    EXPECT_EQ(p->capture_history().find("unknown option"), std::string::npos) << p->capture_history();
    no_raw_text(*p);
  }
}

// A full print folder, a full disk and a key file repaired as it opened are
// shown in words without the call for support; END leaves that window as
// ENTER does, and it leaves the system-error window too, which stays for a
// fault of the engine (the token file out of reach).
TEST(SessionFailures, NoticesAreShownInWordsAndEndLeavesThem) {
  const struct {
    const char* what;
    const char* failing;  // path part whose writes find the disk full, once `ready` is shown
    bool token_away;
    bool marked;        // CUSTOMER.key left marked in use by a writer that died
    const char* first;  // keys before `ready`
    const char* ready;
    const char* keys;  // the keys that meet it
    const char* says;
    bool notice;
    const char* after;  // the screen once the window is left with END
  } rows[] = {
      {"full print folder", "/prt/", false, false, "", "DEM MENU", "Down Enter", "the print folder is full", true,
       "DEM MENU"},
      {"full disk on an add", "CUSTOMER.dat", false, false, "Enter", "CUSTOMER NO:", "F10 C0009 Tab Bob Tab 5 Enter",
       "Disk full - OUT OF SPACE while writing", true, "ERROR - Disk full"},
      {"key file repaired as it opened", "-", false, true, "", "DEM MENU", "Enter", "1 keys rebuilt", true,
       "CUSTOMER NO:"},
      {"token file out of reach", "-", true, false, "", "DEM MENU", "F1 1", "can't open token file", false,
       "CUSTOMER NO:"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    site s;
    for (const std::string f : {"00/0LA/Data/TOKEN.dat", "00/0LA/Data/TOKEN.key"})
      ASSERT_TRUE(!r.token_away || rename(s.file(f).c_str(), s.file(f + ".away").c_str()) == 0) << f;
    if (r.marked)
      std::fstream(s.file(kCustomer) + ".key", std::ios::in | std::ios::out | std::ios::binary).seekp(15).put(1);
    auto p = s.engine("-d=DEM", kivo_test::disk_full_env(s.dir.file("disk-full"), r.failing));
    ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
    if (*r.first) p->send_keys(r.first);
    ASSERT_TRUE(p->wait_for(r.ready, kEngineWait)) << p->capture();
    std::ofstream(s.dir.file("disk-full")).put('x');
    p->send_keys(r.keys);
    ASSERT_TRUE(kivo_test::wait_until([&] { return shows(*p, r.says); }, kEngineWait)) << p->capture();
    const std::string shown = p->capture();
    EXPECT_EQ(shown.find(kPanel) == std::string::npos, r.notice) << shown;
    EXPECT_EQ(shown.find(kGoOn) != std::string::npos, r.notice) << shown;
    no_raw_text(*p);
    p->send_keys("S-F1");
    ASSERT_TRUE(kivo_test::wait_until([&] { return !shows(*p, r.says); }, kEngineWait)) << p->capture();
    EXPECT_TRUE(p->wait_for(r.after, kEngineWait)) << p->capture();
    EXPECT_NE(slurp(s.file("syserr")).find(r.says), std::string::npos);
  }
}

// A terminal made smaller and then as large again is painted whole once
// more, its status line back; a session whose input is the null device is
// refused before its menu, as one whose input is closed; a terminal type
// that cannot place the cursor ends the start before anything is written.
TEST(SessionFailures, ResizedTerminalIsRepaintedAndUnusableTerminalsAreRefused) {
  site s;
  {
    auto p = s.engine("-d=DEM");
    ASSERT_TRUE(p->wait_for("DATABASE: DEM", kEngineWait)) << p->capture();
    p->resize(40, 12);
    p->resize(80, 24);
    EXPECT_TRUE(p->wait_for("DATABASE: DEM", kEngineWait)) << p->capture();
    EXPECT_NE(p->capture().find("DEM MENU"), std::string::npos) << p->capture();
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(kEngineWait), 0);
  }
  const struct {
    const char* what;
    kivo_test::env_list env;
    const char* redirect;
    std::string says;  // standard error's first line (with a redirection), else standard output's
  } rows[] = {
      {"input on /dev/null",
       {},
       "</dev/null",
       "kivo: no session without a terminal: its standard input (descriptor 0) is /dev/null\n"},
      {"TERM=dumb",
       {{"TERM", "dumb"}},
       "",
       "KIVO Startup Failure: TERM \"dumb\" is a terminal type that cannot place the cursor: "},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const run_result got = s.kivo("-d=DEM", r.redirect, r.env);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ((*r.redirect ? got.err : got.out).rfind(r.says, 0), 0u) << got.out << got.err;
    EXPECT_EQ(got.out.find("DEM MENU"), std::string::npos) << got.out;
  }
}

}  // namespace
}  // namespace kivo::test
