// The message window of la_show_msg and the system-error screen.
//
// Every surface and window made here is released before returning, on
// failure too, so a failed show leaves the screen as it was.
#include "screen/la_show.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "screen/screen.h"
#include "screen/tm_keys.h"
#include "screen/wm.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr const char* kModule = "LA";

int fail(const char* text) {
  sys_err(kModule, __LINE__, "%s", text);
  return 0;
}

// The texts of the file in key order; false when the scan cannot start.
bool read_texts(ARB* arb, std::vector<std::string>* out) {
  arb->arb_keyno = 0;
  arb->arb_mod = ARB_FIRST;
  if (!fm_start(arb)) {
    checkstat(arb->arb_stat, "la_show_msg - fm_start", kModule, __LINE__);
    return false;
  }
  while (const uint8_t* rec = fm_rdnxt_fast(arb, 0)) {
    const size_t room = arb->arb_len > MSG_TEXT ? arb->arb_len - MSG_TEXT : 0;
    const size_t n = std::min<size_t>(ld_le16(rec, MSG_TEXT_LEN), room);
    out->emplace_back(reinterpret_cast<const char*>(rec + MSG_TEXT), n);
  }
  return true;
}

// Surfaces and windows of one show, released in reverse on the way out.
struct show_objects {
  TSRF* srf = nullptr;   // the messages' surface, with its window
  TWND* line = nullptr;  // the prompt line on the base surface
  ~show_objects() {
    if (srf && !wm_destroy_srf(srf)) fail("la_show_msg - wm_destroy_srf");
    if (line && !wm_detach(line, 1)) fail("la_show_msg - wm_detach");
  }
};

TWND* attach(TSRF* srf, int32_t row, int32_t col, int32_t rows, int32_t cols, int frame = 0) {
  WND_BLK b;
  INIT_WND(&b, row, col, rows, cols, frame);
  return wm_attach(&b, srf, com.sys_scope) ? static_cast<TWND*>(wm_obj(b.handle)) : nullptr;
}

// The window's whole text: the lines one a row, each blank-filled to `width`.
bool write_lines(TWND* wnd, const std::vector<std::string>& lines, size_t width) {
  std::string text;
  for (const std::string& l : lines) text += l.substr(0, width) + std::string(width - std::min(width, l.size()), ' ');
  return wm_seam_write_reg(wnd, text.c_str());
}

// Shows until one of the keys ends it; 0 when the show fails.
uint32_t show_until(SHOW_BLK* sb, std::initializer_list<uint32_t> keys, bool beep_again) {
  for (;;) {
    if (!wm_seam_show(sb, nullptr)) return 0;
    if (std::find(keys.begin(), keys.end(), sb->key_code) != keys.end()) return sb->key_code;
    if (beep_again) sb->show_flags |= SHOW_BEEP;
  }
}

void init_show(SHOW_BLK* sb, uint8_t flags) {
  memset(sb, 0, sizeof *sb);
  sb->show_flags = flags;
  memcpy(sb->keymap_name, "DATA ENTRY", sizeof sb->keymap_name);
}

}  // namespace

namespace {

// Shows `texts` one a line in a window over the screen, above the prompt
// line of message 300090, until ENTER, END or CANCEL; with `boxed` the
// window is framed and centred. 0 when a call failed (a system error).
int show_lines(const std::vector<std::string>& texts, bool boxed, uint32_t* key) {
  size_t width = 1;
  for (const std::string& t : texts) width = std::max(width, t.size());
  show_objects o;
  // A framed window is centred over the main area, on a surface of its own
  // of that size; a plain one lies at the top left of a surface its size.
  const int32_t rows = static_cast<int32_t>(texts.size()), cols = static_cast<int32_t>(width);
  SRF_BLK sb{0, boxed ? 0 : rows, boxed ? 0 : cols};
  if (!wm_create_srf(&sb, com.sys_scope)) return fail("la_show_msg - wm_create_srf");
  o.srf = static_cast<TSRF*>(wm_obj(sb.handle));
  WND_BLK wb;
  if (boxed) INIT_WND(&wb, 0, 0, rows, cols, 1);  // 0, 0: centred
  else INIT_WND(&wb, 1, 1, rows, cols, 0);
  TWND* w = wm_attach(&wb, o.srf, com.sys_scope) ? static_cast<TWND*>(wm_obj(wb.handle)) : nullptr;
  if (!w) return fail("la_show_msg - wm_attach failed");
  if (!write_lines(w, texts, width)) return fail("la_show_msg - wm_write_reg");
  o.line = attach(static_cast<TSRF*>(com.base_srf), 3, 1, 1, com.scr_cols);
  if (!o.line) return fail("la_show_msg - wm_attach failed");
  std::vector<char> prompt(std::max<size_t>(com.scr_cols, 1));
  cstr p{static_cast<uint16_t>(prompt.size()), prompt.data()};
  if (!la_center(&p, MSG_SHOW_PROMPT, nullptr, {})) return fail("la_show_msg - la_xlate failed");
  if (!write_lines(o.line, {std::string(prompt.data(), prompt.size())}, prompt.size()))
    return fail("la_show_msg - wm_write_reg");
  SHOW_BLK show;
  init_show(&show, SHOW_DISPLAY | SHOW_INPUT);
  show.main_srf = o.srf->id;  // a show draws only the surfaces it names
  uint32_t k = show_until(&show, {LK_ENTER, LK_END, LK_CANCEL}, false);
  if (!k) return fail("la_show_msg - wm_show");
  *key = k;
  return 1;
}

// `text` in lines of at most `width`, broken at blanks where a word allows
// (a longer word is cut); a line feed starts a new line.
std::vector<std::string> wrap(const std::string& text, size_t width) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string para = text.substr(at, nl - at);
    do {
      size_t cut = para.size();
      if (cut > width) {
        cut = para.rfind(' ', width);
        if (cut == std::string::npos || cut == 0) cut = width;
      }
      std::string line = para.substr(0, cut);
      line.erase(line.find_last_not_of(' ') + 1);
      out.push_back(line);
      para.erase(0, cut);
      para.erase(0, para.find_first_not_of(' ') == std::string::npos ? para.size() : para.find_first_not_of(' '));
    } while (!para.empty());
    at = nl + 1;
  }
  return out;
}

}  // namespace

int la_show_msg(ARB* msg_file, uint32_t* key) {
  std::vector<std::string> texts;
  // A show without a message file (a progress window, the system-error
  // window, this window itself) has nothing to list.
  if (!msg_file || !read_texts(msg_file, &texts) || texts.empty()) return 0;
  return show_lines(texts, false, key);
}

int la_show_text(const std::string& text, uint32_t* key) {
  if (!wms.started || com.no_term) return 0;
  // The frame, a column of margin and one of the screen's own on each side.
  const size_t width = com.scr_cols > 8 ? size_t(com.scr_cols) - 6 : 2;
  std::vector<std::string> lines = wrap(text, width);
  const size_t room = com.scr_rows > 7 ? size_t(com.scr_rows) - 6 : 1;
  if (lines.size() > room) lines.resize(room);
  return show_lines(lines, true, key);
}

namespace {

constexpr int kErrRows = 12;
constexpr int kErrCols = 72;

// The report raised while the terminal read, until its read is over.
struct kept_report {
  std::string module, text;
  int line = 0;
  bool kept = false;
  bool notice = false;
} g_kept;

// The screen again without the window over it: of `srf`, or the whole.
void redisplay(const TSRF* srf) {
  SHOW_BLK again;
  init_show(&again, SHOW_DISPLAY);
  if (srf) again.main_srf = srf->id;
  wm_seam_show(&again, nullptr);
}

// The error window's 12 x 72 text.
std::vector<std::string> error_text(const char* module, int line, const char* text) {
  std::vector<std::string> rows(kErrRows, std::string(kErrCols, ' '));
  auto centre = [&](int r, const std::string& s) { ut_center(rows[r].data(), kErrCols, s.data(), s.size()); };
  centre(0, "An KIVO System Error has Occurred.");
  centre(2, "Please Contact Your KIVO Support Representative");
  centre(3, "with the following information:");
  char buf[160];
  snprintf(buf, sizeof buf, "MODULE: %s.%d", module, line);
  centre(5, buf);
  const INVOC* inv = &os_invoc;
  if (!ut_is_all(inv->ap_id(), ' ', 3) && !ut_is_all(inv->ap_id(), 0, 3)) {
    const cstr& t = com.ptype_names[inv->proc_type() < 13 ? inv->proc_type() : 0];
    const int tl = t.ptr ? static_cast<int>(ut_buflen(t.ptr, t.len)) : 0;
    snprintf(buf, sizeof buf, "PROCESS: %.3s/%*.*s - %-30.30s", inv->ap_id(), tl, tl, t.ptr ? t.ptr : "",
             inv->proc_nam());
    centre(6, buf);
  }
  centre(11, "CANCEL to Abort Current Process     ENTER to Continue Processing");
  // The error text from line 9, column 2 to the end of the area, broken at
  // blanks so that a file's name is read whole.
  const std::vector<std::string> lines = wrap(text, kErrCols - 2);
  for (size_t i = 0; i < lines.size() && 9 + i < kErrRows; ++i)
    rows[9 + i].replace(2, std::min<size_t>(lines[i].size(), kErrCols - 2), lines[i]);
  return rows;
}

// A notice's text, 72 wide: its words, a blank line and how to go on.
std::vector<std::string> notice_text(const char* text) {
  std::vector<std::string> rows;
  for (const std::string& l : wrap(text, kErrCols - 2)) rows.push_back(" " + l);
  if (rows.size() > size_t(kErrRows - 2)) rows.resize(size_t(kErrRows - 2));
  rows.emplace_back();
  std::string go_on(kErrCols, ' ');
  const std::string how = "ENTER, END or CANCEL to Continue Processing";
  ut_center(go_on.data(), kErrCols, how.data(), how.size());
  rows.push_back(go_on);
  return rows;
}

}  // namespace

int wm_sys_err_screen(const char* module, int line, const char* text) {
  if (wms.reading) {
    if (!g_kept.kept) g_kept = {module, text, line, true, sys_err_is_notice()};
    return SYS_ERR_CONTINUE;
  }
  // A served session reports here before its screen exists (the data
  // server never has one): nothing to show it on.
  if (os_serving && !wms.started) return SYS_ERR_NO_WINDOW;
  // A notice is the user's to act on (or was put right of itself): its
  // words alone in a framed window, without the call for support, and
  // every answer goes on.
  const bool notice = sys_err_is_notice();
  const std::vector<std::string> rows = notice ? notice_text(text) : error_text(module, line, text);
  TSRF* srf = static_cast<TSRF*>(com.cur_srf);
  TSRF* made = nullptr;
  if (!srf) {
    SRF_BLK sb{0, 0, 0};
    if (!wm_create_srf(&sb, com.sys_scope)) return SYS_ERR_NO_WINDOW;
    srf = made = static_cast<TSRF*>(wm_obj(sb.handle));
  }
  TWND* w = attach(srf, 6, 5, static_cast<int32_t>(rows.size()), kErrCols, notice ? 1 : 0);
  int result = SYS_ERR_NO_WINDOW;
  if (w && write_lines(w, rows, kErrCols)) {
    SHOW_BLK show;
    init_show(&show, com.no_term ? SHOW_DISPLAY : SHOW_DISPLAY | SHOW_INPUT);
    // A show draws only the surfaces it names: the window's own, else the
    // terminal shows the status line alone and the user cannot see what to answer.
    show.main_srf = srf->id;
    show.curs_type = kCursorAt;
    show.main_pos = {6, 5};
    // Without a terminal nobody can answer: shown once, then on.
    uint32_t k = LK_ENTER;
    if (com.no_term) wm_seam_show(&show, nullptr);
    else k = show_until(&show, {LK_ENTER, LK_END, LK_CANCEL}, true);
    // A show that fails was never seen: the text form takes over. END
    // leaves the window as ENTER does.
    result = k == LK_CANCEL && !notice ? SYS_ERR_CANCEL : k ? SYS_ERR_CONTINUE : SYS_ERR_NO_WINDOW;
  }
  if (w) wm_detach(w, 1);
  if (made) wm_destroy_srf(made);
  if (result != SYS_ERR_NO_WINDOW) redisplay(made ? nullptr : srf);
  return result;
}

bool wm_sys_err_kept() { return g_kept.kept; }

void wm_sys_err_show_kept() {
  const kept_report r = std::exchange(g_kept, kept_report{});
  if (r.kept) os_sys_err_show(r.module.c_str(), r.line, r.text.c_str(), r.notice);
}

}  // namespace kivo
