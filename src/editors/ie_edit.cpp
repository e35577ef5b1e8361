// "IE_EDIT", the image editor's re-entrant key loop: the follow-up of the
// request the application answered, then show and read until a key needs
// the application (a request) or ends the level (a negative request). Also
// the prompt panels and the interactive halves of moving rows and items.
//
// Invariant: every return leaves the caller's handles' record buffers as
// they were on entry, and a negative request means the level is gone.
#include <cstring>

#include "editors/editors.h"
#include "editors/ie_internal.h"
#include "fm/la.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/sys_err.h"
#include "interp/rt_fns.h"
#include "process/pi_internal.h"
#include "process/process.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr const char* kModule = "IE1";
constexpr uint32_t kKey101 = 101, kHelpOnItem = 276;

// Panels 1-7: size and the texts of rows 1, 3 and 4.
struct panel_def {
  int32_t cols;
  const char *title, *line3, *line4;
};
const panel_def kPanels[7] = {
    {11, "  Row/Col  ", " Row = ", " Col = "},
    {37, "Move Item", "Position cursor to desired location", "and press RETURN"},
    {37, "Move Lines", "Position cursor to last row to move", "and press RETURN"},
    {33, "Move Lines", "Position cursor to desired row", "and press RETURN"},
    {48, "Define Characteristics", "Position cursor to end of characteristic range", "and press RETURN"},
    {48, "Define Translation Exception", "Position cursor to end of exception", "and press RETURN"},
    {48, "Define Box/Line", "Position cursor to end of box/line", "and press RETURN"},
};
char ie_row_txt[4], ie_col_txt[4];  // the Row/Col panel's values as three digits

TITM text_item(int32_t row, int32_t col, const char* text, size_t len) {
  TITM t{};
  t.tl_row = t.br_row = row, t.tl_col = col, t.br_col = col + int32_t(len) - 1;
  t.cnv.cnv_type = 1;
  t.cnv.ext_rows = 1, t.cnv.ext_cols = uint16_t(len), t.cnv.ext_len = uint16_t(len), t.cnv.ext_stride = uint16_t(len);
  t.cnv.ta.alp.align_mode = ALN_ASIS, t.cnv.ta.alp.fill_char = ' ';
  memcpy(t.cnv.ta.alp.mask, com.blanks, kCvMaskLen);
  t.cnv.int_addr = reinterpret_cast<uint8_t*>(const_cast<char*>(text));
  t.cnv.int_len = uint16_t(len);
  t.edited = 1;  // the region converts only marked items: an unmarked one shows blank
  return t;
}

// Prepares a display item for a one-byte value shown as three digits.
void BIN8_PREP(TITM* t, char* digits) { *t = text_item(t->tl_row, t->tl_col, digits, 3); }

void center_itm(std::vector<TITM>& file, int32_t row, int32_t width, const char* text) {
  const int32_t len = int32_t(strlen(text));
  file.push_back(text_item(row, std::max(1, (width - len) / 2), text, size_t(len)));
}

void bld_phy_wnd(IE_STATE* st) {
  for (int n = 0; n < 7; ++n) {
    const panel_def& d = kPanels[n];
    auto& items = st->pitm[n];
    items.clear(), st->pchr[n].clear();
    if (n == 0) {
      items.push_back(text_item(1, 1, d.title, strlen(d.title)));
      items.push_back(text_item(3, 1, d.line3, 7)), items.push_back(text_item(4, 1, d.line4, 7));
      TITM r{}, c{};
      r.tl_row = 3, r.tl_col = 8, c.tl_row = 4, c.tl_col = 8;
      BIN8_PREP(&r, ie_row_txt), BIN8_PREP(&c, ie_col_txt);
      items.push_back(r), items.push_back(c);
    } else {
      center_itm(items, 1, d.cols, d.title), center_itm(items, 3, d.cols, d.line3);
      center_itm(items, 4, d.cols, d.line4);
    }
    CHR_BLK b{};
    b.row = 1, b.col = 1, b.rows = 1, b.cols = d.cols, b.value = 0xC0;
    st->pchr[n].push_back(b);
  }
}

void hide_panel(IE_STATE* st, int n) {
  if (st->panel[n]) wm_detach(st->panel[n], 1);
  st->panel[n] = nullptr;
}

void show_panel(IE_STATE* st, int n, int32_t row, int32_t col) {
  hide_panel(st, n);
  if (!st->main) return;
  WND_BLK w;
  INIT_WND(&w, row, std::max(col, 1), 4, kPanels[n].cols, 0);
  st->panel[n] = WM_ATTACH(&w, st->main, com.proc_scope);
  if (!st->panel[n]) return;
  const std::string blanks(size_t(4 * kPanels[n].cols), ' ');
  wm_write_reg(st->panel[n], reinterpret_cast<const uint8_t*>(blanks.data()), st->pitm[n], st->pchr[n]);
}

// The panel row of a define or move: clear of the cursor, 5 when it is below row 10, else 15.
int32_t panel_row(uint32_t cursor_row) { return cursor_row > 10 ? 5 : 15; }

struct loop {
  IE_STATE* st;
  uint8_t* ctl;
  PCB* pcb = nullptr;
  SHOW_BLK b{};
  bool beep = false;
  uint32_t key = 0, row = 1, col = 1;

  // Shows and reads one key; the cursor comes back in row/col.
  void read() {
    b.show_flags = uint8_t(SHOW_REFRESH | SHOW_INPUT | (beep ? uint32_t(SHOW_BEEP) : 0u));
    beep = false;
    b.curs_type = CURS_REL;
    b.curs_reg = st->img_wnd ? st->img_wnd->id : 0;
    b.rel_row = int32_t(row), b.rel_col = int32_t(col);
    b.input_stat = 0;
    if (!editors_seams.ie_show(&b, st->msgs)) sys_err(kModule, __LINE__, "Bad wm_show call ");
    key = b.input_stat == KEY_STATUS_KEY ? b.key_code : uint32_t(LK_CANCEL);
    if (b.rel_row >= 1) row = uint32_t(b.rel_row);
    if (b.rel_col >= 1) col = uint32_t(b.rel_col);
    if (st->msgs) wm_msg_clear(st->msgs);
  }
  void store_cursor() { st_le32(ctl, IEC_ROW, row), st_le32(ctl, IEC_COL, col); }
  bool editable() const { return ctl[IEC_EDITABLE] == '1'; }
  bool normal() const { return editable() && !st->xcept_view; }
};

// Moving rows: the last row of the block, then the destination. Neither
// loop can be abandoned.
void mv_lines(loop& l) {
  IE_STATE* st = l.st;
  const uint32_t F = l.row;
  show_panel(st, 2, F < 11 ? 15 : 5, com.scr_cols / 2 - 17);
  int32_t at = F < 11 ? 15 : 5;
  for (l.read(); l.key != LK_ENTER && l.key != LK_NEXT_RECORD; l.read()) {
    if (l.key == 12) show_panel(st, 2, at = (at == 5 ? 15 : 5), com.scr_cols / 2 - 17);
    else l.beep = true;
  }
  const uint32_t L = std::min(l.row, st->nrows);
  hide_panel(st, 2);
  show_panel(st, 3, at, com.scr_cols / 2 - 17);
  for (l.read();; l.read()) {
    if (l.key == LK_ENTER || l.key == LK_NEXT_RECORD) {
      if (ie_move_rows(st, F, L, l.row)) break;
      l.beep = true;
    } else if (l.key == 12) show_panel(st, 3, at = (at == 5 ? 15 : 5), com.scr_cols / 2 - 17);
    else l.beep = true;
  }
  hide_panel(st, 3);
}

// Moving an item taken off: 1 placed, 0 abandoned (END, CANCEL, outside).
int move_itm(loop& l, uint8_t* itm) {
  IE_STATE* st = l.st;
  int32_t at = panel_row(l.row);
  show_panel(st, 1, at, com.scr_cols / 2 - 16);
  ie_rebuild(st, false, false);
  for (l.read();; l.read()) {
    if (l.key == LK_END || l.key == LK_CANCEL) break;
    if (l.key == LK_ENTER || l.key == LK_NEXT_RECORD) {
      if (l.row > st->nrows || l.col > st->ncols) break;
      if (!ie_move_ok(st, itm, l.row, l.col)) {
        l.beep = true;
        continue;
      }
      st_le32(itm, RI_ROW, l.row), st_le32(itm, RI_COL, l.col);
      st_le32(itm, IW_DROWS, 0), st_le32(itm, IW_DCOLS, 0);
      add_itm(st, itm);
      hide_panel(st, 1);
      return 1;
    }
    if (l.key == 12) show_panel(st, 1, at = (at == 5 ? 15 : 5), com.scr_cols / 2 - 16);
    else l.beep = true;
  }
  l.key = 0;
  hide_panel(st, 1);
  return 0;
}

// The panels of the rectangle choices (Define Characteristics, Translation
// Exception, Box/Line).
constexpr int kChrPanel = 4, kXceptPanel = 5, kBoxPanel = 6;
constexpr const char* kBoxInColumn1 = "You cannot define a box or line which begins in column 1";
constexpr uint32_t kMsgLastSysErr = 200650;

// The second corner of a rectangle whose first is the cursor: true with
// the buffer's key and rectangle set and the cursor on the second corner,
// false when END or CANCEL abandoned it.
bool choose_rect(loop& l, int panel, uint8_t* chr) {
  IE_STATE* st = l.st;
  const uint32_t R = l.row, K = l.col;
  int32_t at = panel_row(R);
  show_panel(st, panel, at, com.scr_cols / 2 - 17);
  if (panel != kXceptPanel) ie_rebuild(st, false, false);
  for (l.read();; l.read()) {
    if (l.key == LK_END || l.key == LK_CANCEL) {
      hide_panel(st, panel);
      ie_rebuild(st, true, false);
      return false;
    }
    if (l.key == LK_ENTER || l.key == LK_NEXT_RECORD) break;
    if (l.key == 12) show_panel(st, panel, at = (at == 5 ? 15 : 5), com.scr_cols / 2 - 17);
    else l.beep = true;
  }
  hide_panel(st, panel);
  const uint32_t R2 = std::clamp<uint32_t>(l.row, 1, st->nrows), K2 = std::clamp<uint32_t>(l.col, 1, st->ncols);
  ie_cell_key(chr, st->img, std::min(R, R2), std::min(K, K2));
  st_le32(chr, CR_ROWS, (R > R2 ? R - R2 : R2 - R) + 1), st_le32(chr, CR_COLS, (K > K2 ? K - K2 : K2 - K) + 1);
  // The cursor the request stores, and the next entry starts from, is the
  // second corner: where the designer pressed RETURN.
  l.row = R2, l.col = K2;
  return true;
}

// Blank flags, value 0 and the box marker.
void fresh_flags(uint8_t* chr, char box) {
  memset(chr + CR_FLAGS, ' ', 4);
  chr[CR_REVERSE] = 0, chr[CR_BOX] = uint8_t(box);
}

// The box refusal: message 200650 shows the text on the message row. A
// designer's mistake, so the system-error log does not get it.
int refuse_box(IE_STATE* st) {
  la_sys_err_note(kBoxInColumn1);
  const uint32_t n = kMsgLastSysErr;
  if (st->msgs) la_add_msg(st->msgs, &n, 3, {});
  return 0;
}

// OPTION 13, 14 and 95: 1 with the request set (IE_REQ_INIT when the choice
// was abandoned, which has no follow-up), 0 for a refused box.
int scr_def_rect(loop& l, int panel, uint8_t* chr) {
  IE_STATE* st = l.st;
  const uint32_t R = l.row, K = l.col;
  if (panel == kBoxPanel && K <= 1) return refuse_box(st);
  if (panel == kXceptPanel) st->saved = 1;
  uint8_t buf[kChrRecSize];
  memcpy(buf, chr, kChrRecSize);
  if (!choose_rect(l, panel, buf)) {
    l.ctl[IEC_REQUEST] = IE_REQ_INIT;
    return 1;
  }
  const uint32_t top = ld_le32(buf, RI_ROW), left = ld_le32(buf, RI_COL);
  // The frame is drawn one column left of the box: its left edge, whichever
  // corner gave it, must not be column 1.
  if (panel == kBoxPanel && left <= 1) return refuse_box(st);
  uint8_t rect[RI_COL + 4 + 8];
  memcpy(rect, buf, RI_COL + 4), memcpy(rect + RI_COL + 4, buf + CR_ROWS, 8);
  uint8_t request = IE_REQ_XCEPT;
  if (panel == kChrPanel) {
    const ie_rec found = chr_at(st, R, K, false);
    if (!found.empty()) memcpy(buf, found.data(), kChrRecSize);
    else fresh_flags(buf, '0');
    memcpy(buf, rect, RI_COL + 4), memcpy(buf + CR_ROWS, rect + RI_COL + 4, 8);
    request = IE_REQ_CHR;
  } else if (panel == kBoxPanel) {
    const ie_rec found = chr_at(st, top, left, true);
    if (!found.empty()) memcpy(buf, found.data(), kChrRecSize);
    else fresh_flags(buf, '1');
    request = IE_REQ_BOX;
  }
  memcpy(chr, buf, kChrRecSize);
  l.ctl[IEC_REQUEST] = request;
  return 1;
}

// OPTION 94: the image as last saved, in a language the designer chooses,
// in a nested view-only level.

int preview_lang(PCB* pcb, char* lang) {
  INVOC v = pi_invoc;
  memcpy(v.ap_id(), "0AD", 3), memcpy(v.ver(), "00", 2);
  v.set_proc_type(PT_INPUT);
  memset(v.proc_nam(), ' ', kProcNameLen);
  memcpy(v.proc_nam(), "SELECT PREVIEW LANGUAGE", 23);
  v.set_invoc_type(0);
  const uint32_t srf[2] = {pcb ? ih_put(HK_SURFACE, pcb->pcb_main_srf) : 0,
                           pcb ? ih_put(HK_SURFACE, pcb->pcb_pop_srf) : 0};
  v.set_parent_srf(0, srf[0]), v.set_parent_srf(1, srf[1]);
  v.set_parent_pcb(pcb ? pcb->pcb_handle : 0);
  pi_exec(&v);
  for (uint32_t h : srf)
    if (h) ih_drop(h);
  if (v.end_code() == PI_END_CANCEL) return 0;
  const uint8_t* area = pi_area(pcb, AREA_NEXT, kIePreviewLangAt + 3);
  if (!area) return 0;
  memcpy(lang, area + kIePreviewLangAt, 3);
  return 1;
}

void scr_preview(loop& l, uint8_t* img, uint8_t* itm, uint8_t* chr, uint8_t* curs) {
  IE_STATE* st = l.st;
  if (st->level >= kIeMaxLevel) return;
  if (st->img_wnd) wm_deactv(st->img_wnd);
  char lang[3];
  const int chosen = preview_lang(l.pcb, lang);
  if (st->img_wnd) wm_actv(st->img_wnd);
  if (!chosen) return;
  uint8_t ctl[kIeCtlSize];
  memset(ctl, ' ', sizeof ctl);
  memcpy(ctl + IEC_AP, st->ap, 3), memcpy(ctl + IEC_VER, st->ver, 2), memcpy(ctl + IEC_LANG, lang, 3);
  ctl[IEC_EDITABLE] = '0';
  st_le32(ctl, IEC_MESSAGE, 0), st_le32(ctl, IEC_STATE, 0);
  ARB* rows = ie_mem_file("ROW     ", kRowRecSize, 1, kIeRowKeys, com.proc_scope);
  ARB* itms = ie_mem_file("ITEM    ", kIeItemSize, 0, kIeItemKeys, com.proc_scope);
  if (rows && itms && ie_init(l.pcb, img, itms, ctl, rows, st->xcept)) {
    while (ie_edit(l.pcb, img, itm, curs, itms, chr, ctl, rows, st->xcept) && ctl[IEC_REQUEST] < IE_END_OPT11) {}
  }
  ie_scratch(rows), ie_scratch(itms);
  last_ie = st->handle;
  ie_redraw(st);
}

void scr_rc(loop& l) {
  IE_STATE* st = l.st;
  ie_row = uint8_t(l.row), ie_col = uint8_t(l.col);
  snprintf(ie_row_txt, sizeof ie_row_txt, "%03u", ie_row), snprintf(ie_col_txt, sizeof ie_col_txt, "%03u", ie_col);
  show_panel(st, 0, com.scr_rows / 2, l.col <= st->ncols / 2 ? com.scr_cols / 2 + 5 : 5);
  st->transient = st->panel[0];
  st->panel_up = true;
}

// Follow-up of the request the application answered.
void follow_up(IE_STATE* st, uint8_t* ctl, uint8_t* itm, uint8_t* curs, const uint8_t* chr) {
  switch (ctl[IEC_REQUEST]) {
    case IE_REQ_ITEM:
    case IE_REQ_NEW_ITEM: add_itm(st, itm); break;
    case IE_REQ_CHR:
    case IE_REQ_BOX: add_chr(st, chr); break;
    case IE_REQ_INQUIRE:
    case IE_REQ_XCEPT: ie_rebuild(st, true, false); break;
    case IE_REQ_CURSOR:
      if (!ie_rewrite(st->curs, curs, kIeCursSize)) ie_fail(st->curs, "Bad rewrite curs ", kModule);
      break;
    default: break;
  }
}

// What one key handler sees; a handler returns true when the loop returns
// to the application (the request set), with *end the end code when the
// level ends.
struct key_ctx {
  loop& l;
  uint8_t *img, *itm, *curs, *chr, *end;
  bool panel_was_up;
  IE_STATE* st() const { return l.st; }
  bool request(uint8_t code, bool cursor) {
    if (cursor) l.store_cursor();
    l.ctl[IEC_REQUEST] = code;
    return true;
  }
  bool beep_unless(bool ok) {
    if (!ok) l.beep = true;
    return false;
  }
  bool finish(uint8_t code) {
    *end = code;
    return true;
  }
};

bool key_opt0(key_ctx& c) { return c.request(IE_REQ_OPT0, true); }
bool key_mv_char(key_ctx& c) { return c.beep_unless(scr_mv_char(c.st(), c.l.row, c.l.col, int(c.l.key))); }
bool key_rc(key_ctx& c) { return scr_rc(c.l), false; }
bool key_center(key_ctx& c) { return scr_center(c.st(), c.l.row), false; }
bool key_preview(key_ctx& c) { return scr_preview(c.l, c.img, c.itm, c.chr, c.curs), false; }
bool key_del_line(key_ctx& c) { return c.beep_unless(scr_delete_line(c.st(), c.l.row)); }
bool key_ins_line(key_ctx& c) { return c.beep_unless(scr_insert_line(c.st(), c.l.row)); }
bool key_mv_lines(key_ctx& c) { return mv_lines(c.l), false; }
bool key_save(key_ctx& c) { return c.beep_unless(scr_save(c.st(), c.img)); }
bool key_inquire(key_ctx& c) { return c.request(IE_REQ_INQUIRE, false); }
bool key_help(key_ctx& c) { return c.request(IE_REQ_HELP, true); }

bool key_img_rc(key_ctx& c) {
  if (scr_img_rc(c.st(), c.l.row, c.l.col, c.curs)) return c.request(IE_REQ_CURSOR, true);
  return c.beep_unless(false);
}

bool key_rect(key_ctx& c) {
  if (!scr_def_rect(c.l, c.l.key == 13 ? kChrPanel : kBoxPanel, c.chr)) return false;
  return c.request(c.l.ctl[IEC_REQUEST], true);
}

bool key_xcept_rect(key_ctx& c) {
  if (!upd_row(c.st(), c.img) || !scr_def_rect(c.l, kXceptPanel, c.chr)) return false;
  return c.request(c.l.ctl[IEC_REQUEST], true);
}

// A move that fails puts the item back where it was.
bool key_move_item(key_ctx& c) {
  uint8_t taken[kIeItemSize];
  if (!del_itm(c.st(), taken, c.l.row, c.l.col)) return c.beep_unless(false);
  if (move_itm(c.l, taken)) return false;
  st_le32(taken, IW_DROWS, 0), st_le32(taken, IW_DCOLS, 0);
  add_itm(c.st(), taken);
  return false;
}

// On a generated item the help names the field; elsewhere the application answers.
bool key_item_help(key_ctx& c) {
  if (c.img[0] != 3 || c.img[31] == 14) return c.request(IE_REQ_OPT15, false);
  char parm[26];
  memcpy(parm, c.itm + IT_AP, 3), parm[3] = 0, memcpy(parm + 4, c.itm + IT_FIELD, 22);
  const cstr p{26, parm};
  const uint32_t n = 101860;
  if (c.st()->msgs) la_add_msg(c.st()->msgs, &n, 4, {&p, 1});
  return false;
}

bool key_xcept_view(key_ctx& c) {
  c.st()->xcept_view ^= 1;
  ie_rebuild(c.st(), true, false);
  return false;
}

bool key_def_item(key_ctx& c) {
  const uint32_t k = c.l.key;
  const ie_itm_key which = k == kKey101 ? IE_KEY101 : k == LK_ADD_MODE ? IE_ADD_MODE : IE_CHANGE_MODE;
  return scr_def_itm(c.st(), c.l.ctl, c.l.row, c.l.col, which, c.itm) != 0;
}

bool key_del_item(key_ctx& c) {
  uint8_t gone[kIeItemSize];
  return c.beep_unless(del_itm(c.st(), gone, c.l.row, c.l.col));
}

bool key_next_row(key_ctx& c) {
  if (!c.panel_was_up) c.l.row = std::min(c.l.row + 1, c.st()->nrows), c.l.col = 1;
  return false;
}

bool key_end(key_ctx& c) {
  if (c.l.editable() && !scr_save(c.st(), c.img)) return false;  // a failed save stays in the editor
  return c.finish(c.st()->saved ? IE_END_SAVED : IE_END);
}

bool key_abandon(key_ctx& c) {
  c.st()->saved = 0;
  return c.finish(c.l.key == 11 ? IE_END_OPT11 : IE_END);
}

// Which screens a key works on: any, an editable one, or an editable one
// outside the exception view.
enum class key_mode : uint8_t { any, editable, normal };

struct key_action {
  uint32_t key;
  key_mode mode;
  bool (*run)(key_ctx&);
};

constexpr key_action kKeyActions[] = {
    {0, key_mode::editable, key_opt0},
    {1, key_mode::editable, key_mv_char},
    {2, key_mode::editable, key_mv_char},
    {3, key_mode::any, key_rc},
    {4, key_mode::normal, key_img_rc},
    {5, key_mode::editable, key_center},
    {6, key_mode::editable, key_del_line},
    {7, key_mode::editable, key_ins_line},
    {8, key_mode::editable, key_mv_lines},
    {9, key_mode::normal, key_move_item},
    {11, key_mode::any, key_abandon},
    {13, key_mode::normal, key_rect},
    {14, key_mode::normal, key_rect},
    {15, key_mode::editable, key_item_help},
    {16, key_mode::editable, key_save},
    {17, key_mode::any, key_xcept_view},
    {94, key_mode::any, key_preview},
    {95, key_mode::editable, key_xcept_rect},
    {kKey101, key_mode::normal, key_def_item},
    {LK_ADD_MODE, key_mode::normal, key_def_item},
    {LK_CHANGE_MODE, key_mode::normal, key_def_item},
    {LK_DELETE_MODE, key_mode::normal, key_del_item},
    {LK_INQUIRE_MODE, key_mode::normal, key_inquire},
    {kHelpOnItem, key_mode::editable, key_help},
    {LK_NEXT_RECORD, key_mode::any, key_next_row},
    {LK_ENTER, key_mode::any, key_next_row},
    {LK_END, key_mode::any, key_end},
    {LK_CANCEL, key_mode::any, key_abandon},
};

bool mode_allows(const loop& l, key_mode m) {
  if (m == key_mode::editable) return l.editable();
  if (m == key_mode::normal) return l.normal();
  return true;
}

// One key; true when the loop returns to the application (the request
// set), with *end the end code when the level ends.
bool dispatch(loop& l, uint8_t* img, uint8_t* itm, uint8_t* curs, uint8_t* chr, uint8_t* end) {
  key_ctx c{l, img, itm, curs, chr, end, l.st->panel_up};
  l.st->panel_up = false;
  for (const key_action& a : kKeyActions) {
    if (a.key != l.key) continue;
    return mode_allows(l, a.mode) && a.run(c);
  }
  return false;
}

}  // namespace

int ie_edit(PCB* pcb, uint8_t* img, uint8_t* itm, uint8_t* curs, ARB* itms, uint8_t* chr_buf, uint8_t* ctl, ARB* rows,
            ARB* xcept) {
  IE_STATE* st = ie_state(ctl);
  if (!st || st->itms != itms || st->rows != rows) return 0;
  arb_keep keep_itm(itms), keep_row(rows);
  last_ie = st->handle;
  st->img = img, st->cur_itm = itm, st->xcept = xcept;
  st->ctl = ctl, st->editable = ctl[IEC_EDITABLE];
  if (st->pitm[0].empty()) bld_phy_wnd(st);
  follow_up(st, ctl, itm, curs, chr_buf);
  if (st->img_wnd) {
    wm_reattach(st->backdrop, st->pop, {1, 1}), wm_reattach(st->img_wnd, st->pop, {1, 1});
    wm_actv(st->img_wnd);
  }
  if (const uint32_t msg = ld_le32(ctl, IEC_MESSAGE); msg && st->msgs) {
    la_add_msg(st->msgs, &msg, 3, {});
    st_le32(ctl, IEC_MESSAGE, 0);
  }
  loop l{st, ctl, pcb};
  memcpy(l.b.keymap_name, "DATA ENTRY", 10);
  l.b.main_srf = st->main ? st->main->id : 0, l.b.pop_srf = st->pop ? st->pop->id : 0;
  l.row = std::max<uint32_t>(1, ld_le32(ctl, IEC_ROW)), l.col = std::max<uint32_t>(1, ld_le32(ctl, IEC_COL));
  uint8_t end = 0;
  for (;;) {
    l.read();
    if (st->transient) hide_panel(st, 0), st->transient = nullptr;
    if (dispatch(l, img, itm, curs, chr_buf, &end)) break;
  }
  if (!end) return 1;
  if (st->main) {
    l.b.show_flags = SHOW_REFRESH, l.row = l.col = 1;
    editors_seams.ie_show(&l.b, nullptr);
  }
  ctl[IEC_REQUEST] = end;
  ie_close(st, ctl);
  return 1;
}

namespace {

// Routine rows: the handle and record arguments by the caller's order.
uint8_t* rec_arg(RT_CALL& c, int i, size_t min) {
  return c.args[i].addr && c.args[i].len >= min ? c.args[i].addr : nullptr;
}
// A PASS of a file (area kind 2) hands the open handle itself.
constexpr uint8_t kPassFile = 2;
ARB* file_arg(RT_CALL& c, int i) {
  return c.args[i].kind == kPassFile ? reinterpret_cast<ARB*>(c.args[i].addr) : nullptr;
}

int rt_ie_init(RT_CALL& c) {
  uint8_t *img = rec_arg(c, 0, kImageRecSize), *ctl = rec_arg(c, 5, kIeCtlSize);
  if (!img || !ctl) return 0;
  return ie_init(c.pcb, img, file_arg(c, 1), ctl, file_arg(c, 6), file_arg(c, 7));
}

int rt_ie_edit(RT_CALL& c) {
  uint8_t *img = rec_arg(c, 0, kImageRecSize), *itm = rec_arg(c, 1, kIeItemSize);
  uint8_t *curs = rec_arg(c, 2, kIeCursSize), *chr = rec_arg(c, 7, kChrRecSize), *ctl = rec_arg(c, 8, kIeCtlSize);
  if (!img || !itm || !curs || !chr || !ctl) return 0;
  return ie_edit(c.pcb, img, itm, curs, file_arg(c, 3), chr, ctl, file_arg(c, 9), file_arg(c, 10));
}

}  // namespace

void ie_register() {
  rt_add_fn({"IE_INIT", rt_ie_init, 8, 0});
  rt_add_fn({"IE_EDIT", rt_ie_edit, 11, 0});
}

}  // namespace kivo
