// The remote key definition between real processes: the test listener
// starts kivo -k on a copy of the default installation, the character
// client runs the dialogue in tmux, and the server's KEYMAP is read back
// through the file manager.
#include <filesystem>

#include "../fixtures/kivo_fixture.h"
#include "../fm/fm_native_util.h"
#include "../screen/term_harness.h"
#include "../screen/tm_test_util.h"
#include "net_test_util.h"
#include "screen/tm_keys.h"

namespace kivo::test {
namespace {

class NetRemoteKeysEndToEnd : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    const std::string kivo = KIVO_BINARY, install = kivo.substr(0, kivo.rfind('/')) + "/data";
    ASSERT_EQ(system(("cp -r " + install + "/. " + srv_.path).c_str()), 0);
  }
  // One run: END OF ENTRY, `keys` keys, `answer`, then `run` to the last
  // question once it shows; the client's exit status.
  int define(int keys, const std::string& answer, const char* run) {
    const auto here = std::filesystem::current_path();
    EXPECT_EQ(chdir(srv_.path.c_str()), 0);
    for (const char* k : {"KIVOPATH", "KIVO_0SA_PATH"}) setenv(k, srv_.path.c_str(), 1);
    setenv("TERM", "xterm-256color", 1);
    listener l(true, {KIVO_BINARY}, nullptr);
    std::filesystem::current_path(here);
    kivo_test::tmux_pane p(std::string(KIVO_BINARY) + " -c", cli_.path,
                           {{"TERM", "xterm-256color"},
                            {"HOME", "hm"},
                            {"KIVO_HOST", "127.0.0.1"},
                            {"KIVO_PORT", l.port},
                            {"KIVO_USER", "me"},
                            {"KIVO_PSWD", "pw"},
                            {"KIVO_REMAP", "1"}});
    EXPECT_TRUE(p.wait_for("Terminal Type: xterm-256c")) << p.capture();
    EXPECT_TRUE(p.wait_for("END OF ENTRY key now")) << p.capture();
    p.send_text(" ");
    for (int i = 0; i < keys; ++i) p.send_hex(std::string(kivo_test::test_phys_bytes(i)) + " ");
    if (keys == kPhysKeys) {
      EXPECT_TRUE(p.wait_for("Is it OK to Continue?")) << p.capture();
    }
    p.send_hex(answer);
    if (run) {
      EXPECT_TRUE(p.wait_for("run KIVO now?")) << p.capture();
      p.send_hex(run);
    }
    const int st = p.exit_status(30);
    out_ = p.capture();
    return st;
  }
  // The server's records of `name`, waiting for `want` of them: the server
  // writes after the client's last question.
  int records(const char* name, int want) {
    com.data_dir = cstr{uint16_t(srv_.path.size()), srv_.path.data()};
    int n = kivo_test::keymap_records("xterm-256c   ", name);
    for (int ms = 0; n != want && ms < kDeadlineMs; ms += 100, poll(nullptr, 0, 100))
      n = kivo_test::keymap_records("xterm-256c   ", name);
    return n;
  }
  kivo_test::data_dir srv_, cli_;
  std::string out_;
};

TEST_F(NetRemoteKeysEndToEnd, TheClientsKeysReachTheServersKeymapAndAnEndChangesNothing) {
  EXPECT_EQ(define(kPhysKeys, "Y", "N\r"), 1) << out_;
  EXPECT_NE(out_.find("successfully completed!"), std::string::npos) << out_;
  EXPECT_EQ(records("MENU ENTRY", 18), 18);
  EXPECT_EQ(records("DATA ENTRY", 18), 18);
  const std::string keymap = kivo_test::slurp(srv_.file("0SA/Data/KEYMAP.dat"));
  EXPECT_EQ(define(10, "\x04 Y", nullptr), 0) << out_;
  EXPECT_NE(out_.find("No files were changed."), std::string::npos) << out_;
  EXPECT_EQ(records("MENU ENTRY", 18), 18);
  EXPECT_EQ(kivo_test::slurp(srv_.file("0SA/Data/KEYMAP.dat")), keymap);
}

}  // namespace
}  // namespace kivo::test
