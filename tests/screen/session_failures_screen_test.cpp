// The shipped demonstration under tmux meeting failures it must outlive:
// message and token files failing part-way, notices the user can act on, a
// resized terminal, starts without a usable terminal. Nothing is written
// over the screen as raw text or read for behind the terminal manager.
#include <gtest/gtest.h>

#include "../store/installation_site.h"

namespace kivo::test {
namespace {

// Whether the screen (with `history`, what scrolled off too) shows `text`,
// however it is wrapped.
bool shows(tmux_pane& p, const std::string& text, bool history = false) {
  return kivo_test::squeezed(history ? p.capture_history() : p.capture()).find(kivo_test::squeezed(text)) !=
         std::string::npos;
}

void no_raw_text(tmux_pane& p) {
  for (const char* raw : {"KIVOMSG", "KIVOERR", "Press Return", "unknown option"}) EXPECT_FALSE(shows(p, raw, true));
}

// Reads of the file fail from the `from`-th on, a script playing when
// given: the start ends with one line and status 1 at once.
TEST(SessionFailures, MessageAndTokenFilesFailingPartWayEndTheStartWithOneLine) {
  const struct {
    const char* file;
    const char* from;
    const char* script;
    const char* says;
  } rows[] = {
      {"0LA/Data/MESSAGE.dat", "12", "", "KIVO Startup Failure: WM5 - wm_init - la_xlate failed"},
      {"0LA/Data/TOKEN.dat", "1", "#DOWN\n#ENTER\n#END\n", "its keys cannot be looked up: UT - can't open token file"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file);
    site s;
    write_bytes(s.dir.file("script"), r.script);
    auto p = s.engine("-d=DEM", {{"LD_PRELOAD", FAIL_READS},
                                 {"KVTEST_READ_PATH", r.file},
                                 {"KVTEST_READ_FROM", r.from},
                                 {"KIVO_SCRIPT_IN", *r.script ? s.dir.file("script") : ""},
                                 {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}});
    EXPECT_EQ(p->exit_status(kEngineWait), 1) << p->capture_history();
    EXPECT_TRUE(shows(*p, r.says, true)) << p->capture_history();
    no_raw_text(*p);
  }
}

// A key file repaired as it opened is shown in words, as a full disk or
// print folder is, without the call for support that stays for a fault of
// the engine (the token file out of reach); END leaves either window.
TEST(SessionFailures, NoticesAreShownInWordsAndEndLeavesThem) {
  for (const bool notice : {true, false}) {
    SCOPED_TRACE(notice);
    site s;
    const std::string says = notice ? "1 keys rebuilt" : "can't open token file";
    for (const std::string f : {"00/0LA/Data/TOKEN.dat", "00/0LA/Data/TOKEN.key"})
      ASSERT_TRUE(notice || rename(s.file(f).c_str(), s.file(f + ".away").c_str()) == 0) << f;
    if (notice)  // as a writer that died inside a change leaves it
      std::fstream(s.file(kCustomer) + ".key", std::ios::in | std::ios::out | std::ios::binary).seekp(15).put(1);
    auto p = s.engine("-d=DEM");
    ASSERT_TRUE(p->wait_for("DEM MENU", kEngineWait)) << p->capture();
    p->send_keys(notice ? "Enter" : "F1 1");
    ASSERT_TRUE(kivo_test::wait_until([&] { return shows(*p, says); }, kEngineWait)) << p->capture();
    EXPECT_EQ(shows(*p, "Please Contact Your KIVO Support Representative"), !notice) << p->capture();
    EXPECT_EQ(shows(*p, "ENTER, END or CANCEL to Continue Processing"), notice) << p->capture();
    no_raw_text(*p);
    p->send_keys("S-F1");
    ASSERT_TRUE(kivo_test::wait_until([&] { return !shows(*p, says); }, kEngineWait)) << p->capture();
    EXPECT_TRUE(p->wait_for("CUSTOMER NO:", kEngineWait)) << p->capture();
    EXPECT_NE(slurp(s.file("syserr")).find(says), std::string::npos);
  }
}

// A terminal made smaller and as large again is painted whole once more; a
// menu on /dev/null is refused before it is shown, as a closed input is; a
// terminal type that cannot place the cursor ends the start before anything
// is written.
TEST(SessionFailures, ResizedTerminalIsRepaintedAndUnusableTerminalsAreRefused) {
  site s;
  auto p = s.engine("-d=DEM");
  ASSERT_TRUE(p->wait_for("DATABASE: DEM", kEngineWait)) << p->capture();
  p->resize(40, 12), p->resize(80, 24);
  EXPECT_TRUE(p->wait_for("DATABASE: DEM", kEngineWait)) << p->capture();
  EXPECT_TRUE(shows(*p, "DEM MENU")) << p->capture();
  const run_result null_input = s.kivo("-d=DEM", "</dev/null"), dumb = s.kivo("-d=DEM", "", ".", {{"TERM", "dumb"}});
  EXPECT_EQ(null_input.status, 1);
  EXPECT_EQ(null_input.err, "kivo: no session without a terminal: its standard input (descriptor 0) is /dev/null\n");
  EXPECT_EQ(null_input.out.find("DEM MENU"), std::string::npos) << null_input.out;
  EXPECT_EQ(dumb.status, 1);
  EXPECT_EQ(dumb.out.rfind("KIVO Startup Failure: TERM \"dumb\" is a terminal type that cannot place the cursor", 0),
            0u)
      << dumb.out;
}

}  // namespace
}  // namespace kivo::test
