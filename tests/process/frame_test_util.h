// Frames of processes compiled from design records of "0DN" 01, run by the
// executive with the window manager started on a recording terminal: the
// shows answer from a script of keys, and an event-point double records the
// frame, image and child event points and answers with a stop where a test
// asks for one.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "../fixtures/hook_override.h"
#include "../screen/wm_session_util.h"
#include "compiler/pl.h"
#include "design/design_source.h"
#include "exec_test_util.h"
#include "process/fp.h"
#include "process/mp.h"
#include "screen/screen.h"

namespace kivo::test {

// The recording terminal whose keys answer only the shows that read input
// (a compile's status line shows without reading).
inline const wm_term_ops kFrameTerm = [] {
  wm_term_ops t = kRecTerm;
  t.show = [](SHOW_DATA* sd) {
    g_rec.log.push_back("show");
    sd->status = KEY_STATUS_NONE, sd->key = NO_KEY;
    if ((sd->flags & SHOW_INPUT) && !g_rec.keys.empty())
      std::tie(sd->status, sd->key) = g_rec.keys.front(), g_rec.keys.pop_front();
    return 1u;
  };
  return t;
}();

// The window manager on the recording terminal `term` (put back by `hooks`),
// with keymaps for "xterm"; and its end.
inline void start_recording_screen(kivo_test::hook_overrides& hooks, const wm_term_ops* term) {
  screen_register_hooks();
  ASSERT_EQ(wm_objects_init(), 1);
  g_rec = {};
  tm_keymaps_forget();
  hooks.set(wm_term_override, term);
  memcpy(com.keymap_id, "xterm     ABC", 13);
  memcpy(com.user_id, "ABC", 3);
  ASSERT_TRUE(kivo_test::write_keymap(true, "xterm", "", "MENU ENTRY", {{LK_ENTER, "\r"}}));
  ASSERT_TRUE(kivo_test::write_keymap(true, "xterm", "", "DATA ENTRY", {{LK_ENTER, "\r"}}));
  ASSERT_TRUE(kivo_test::write_messages());
  uint32_t status = 0;
  ASSERT_EQ(wm_init(&status), 1) << status;
}
inline void stop_recording_screen() {
  wm_clr_scope(com.sys_scope);
  wm_term_handle = nullptr;
  wms.started = false;  // the next test's window manager has not started
  tm_image_free(g_rec.image);
  g_rec = {};
}

class FrameFixture : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    frames = this;
    const std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data/00/0LA", data_ + "/00/0LA",
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::skip_existing);
    const design_source_result r = design_source_build(kSource, "frames", com.sys_scope, "0DN");
    ASSERT_TRUE(r.ok) << r.error;
    hooks_.set(compiler_seams.pl_get, pl_get_module);  // the loader itself
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init(), interp_register_hooks();
    hooks_.keep(pi_type_rows[PT_MENU]);
    hooks_.keep(fp_types[PT_MENU]);
    mp_init();
    hooks_.set(process_seams.fp_ep, [](PCB* p, uint16_t ep, const uint8_t*) { return frames->event_point(p, ep); });
    start_screen();
  }
  void TearDown() override {
    stop_recording_screen();
    pl_discard_all();
    rt_err_arb = nullptr;
    ExecFixture::TearDown();
  }
  void start_screen() { start_recording_screen(hooks_, &kFrameTerm); }
  uint32_t event_point(PCB* p, uint16_t ep) {
    const std::string key = name_of(p) + "/" + std::to_string(ep);
    flog += key + ";";
    auto it = fstop.find(key);
    return it == fstop.end() ? 0 : it->second(p);
  }
  // The keys the shows answer with, in order.
  static void keys(std::initializer_list<uint32_t> codes) {
    for (uint32_t c : codes) g_rec.keys.push_back({KEY_STATUS_KEY, c});
  }
  static INVOC menu(const std::string& name, uint8_t type = PT_MENU) {
    INVOC v = inv(name, type, nullptr, 2, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    return v;
  }

  static constexpr const char* kSource =
      "APPLICATION 0DN 01\n"
      "WORK \"FE VALUE\" A8\n"
      "PROCESS 1 \"FE MENU\"\n"
      "FRAME 1 \"FE MENU\" 0 1\n"
      "IMAGE 1 \"FE MENU\" 0 1 1 kind=1 rows=4 cols=20 win_row=2 win_col=2\n"
      "ROW 1 \"FE MENU\" 0 1 1 1 \"1 SUB\"\n"
      "ROW 1 \"FE MENU\" 0 1 1 2 \"2 CHILD MENU\"\n"
      "ROW 1 \"FE MENU\" 0 1 1 3 \"3 SAME MENU\"\n"
      "ITEM 1 \"FE MENU\" 0 1 1 4 1 ap=0DN field=\"FE VALUE\"\n"
      "CHILD 1 \"FE MENU\" 0 1 0 1 1 proc_type=6 name=\"FE SUB\" invoc=0 option=1\n"
      "CHILD 1 \"FE MENU\" 0 1 0 2 2 proc_type=1 name=\"FE CHILD\" invoc=0 option=2\n"
      "CHILD 1 \"FE MENU\" 0 1 0 3 3 proc_type=1 name=\"FE MENU\" invoc=2 option=3\n"
      "PROCESS 1 \"FE CHILD\"\n"
      "FRAME 1 \"FE CHILD\" 0 1\n"
      "IMAGE 1 \"FE CHILD\" 0 1 1 kind=2 rows=2 cols=10 win_row=10 win_col=10\n"
      "PROCESS 6 \"FE SUB\"\n"
      "PROCESS 4 \"FB ACT\"\n"
      "FRAME 4 \"FB ACT\" 0 1\n"
      "IMAGE 4 \"FB ACT\" 0 1 1 kind=3 rows=1 cols=10\n"
      "IMAGE 4 \"FB ACT\" 0 1 2 kind=3 rows=1 cols=10\n"
      "FRAME 6 \"FE OTHER\" 0 1\n"
      "SELECT 6 \"FE OTHER\" 0 1 1\n"
      "CHR 6 \"FE OTHER\" 0 1 1 1 1\n"
      "STMTS 6 \"FE OTHER\" ep=1\n      END\nEND\n";

  static inline FrameFixture* frames;
  std::string flog;                                            // "NAME/ep;" per frame, image or child event point
  std::map<std::string, std::function<uint32_t(PCB*)>> fstop;  // "NAME/ep" -> result word
};

}  // namespace kivo::test
