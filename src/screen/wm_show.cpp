// Show and read: the loop around the terminal layer's show, the prepare
// (message line, keymap, status line, cursor, repaint, window outlines),
// the cursor placement by type, panning of the second surface and the
// conversion of edited items after input.
//
// The caller's block is copied into working storage (wms.work) at the start
// of a show; a failing conversion moves the working cursor onto the field,
// so the caller never sees the key until the fields convert or CANCEL.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "screen/la_show.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_repaint.h"
#include "screen/wm_show.h"
#include "screen/wm_term.h"

namespace kivo {

namespace {

constexpr const char* kModule = "WM6";
constexpr uint32_t kAttrBold = 0x40, kAttrHidden = 0x10, kMsgMask = 0x50;
constexpr uint32_t kExitNoKeymap = 3;
constexpr uint32_t kShowMsgKey = 279;
constexpr uint32_t kRedisplayKey = 262;

// The terminal's size.
int32_t screen_rows() { return com.scr_rows; }
int32_t screen_cols() { return com.scr_cols; }

TSRF* srf_of(uint32_t id) { return static_cast<TSRF*>(wm_obj(id)); }

// ---- message line ----

void message_line(ARB* msgs) {
  std::string first;
  int n = wm_msg_first(msgs, &first);
  std::vector<char>& line = wms.msg_line;
  std::fill(line.begin(), line.end(), ' ');
  size_t cols = line.size();
  // Message 900 behind one blank takes its room when more messages wait; a
  // 900 as wide as the line leaves no room at all. A longer message is
  // shortened in its middle, so that what it says of why stays.
  size_t room = n < 2 ? cols : wms.msg900.size() + 1 < cols ? cols - wms.msg900.size() - 1 : 0;
  first = ut_fit_middle(first, room);
  size_t len = std::min(first.size(), cols);
  memcpy(line.data(), first.data(), len);
  if (n > 1) {
    size_t at = std::min(len + 1, cols);
    memcpy(line.data() + at, wms.msg900.data(), std::min(wms.msg900.size(), cols - at));
  }
  wms.msg_item.edited = 1;
  uint32_t attr = n ? kAttrBold : kAttrHidden;
  if (!wms.msg_wnd || !wm_upd_itm(wms.msg_wnd, &wms.msg_item, attr, kMsgMask, 0))
    sys_err(kModule, __LINE__, "prep_scr - wm_upd_itm failed");
}

tm_keymap_h* keymap_named(const char* name) {
  if (!xwm.tkeymap) return nullptr;
  uint8_t rec[kTkeymapRecLen] = {};
  memcpy(rec + TKEYMAP_NAME, name, kKeymapNameLen);
  ARB* arb = xwm.tkeymap;
  arb->arb_rec = rec;
  arb->arb_keyno = 0;
  arb->arb_key = nullptr;
  arb->arb_mod = ARB_EQUAL;
  int ok = fm_read(arb);
  arb->arb_rec = nullptr;
  return ok ? static_cast<tm_keymap_h*>(wm_obj(ld_le32(rec, TKEYMAP_HANDLE))) : nullptr;
}

void choose_keymap(const SHOW_BLK* blk) {
  if (memcmp(blk->keymap_name, wms.keymap_name, kKeymapNameLen) != 0) {
    tm_keymap_h* h = keymap_named(blk->keymap_name);
    wms.keymap = h ? h : wms.data_entry;
    memcpy(wms.keymap_name, blk->keymap_name, kKeymapNameLen);
  }
  wms.sd.keymap = wms.keymap;
}

void refresh_clock() {
  if (wms.no_clock || wms.dt_index < 0) return;
  ss_clock now;
  os_kivo_time(&now);
  ss_clock_store(com.stat_time, now);
  wms.si[size_t(wms.dt_index)].edited = 1;
}

// The status items again when a value changed since they were shown.
void status_items() {
  if (!wms.stat_wnd) return;
  std::string now;
  for (const TITM& it : wms.si)
    if (&it - wms.si.data() != wms.dt_index) now.append(reinterpret_cast<const char*>(it.cnv.int_addr), it.cnv.int_len);
  bool clock = wms.dt_index >= 0 && wms.si[size_t(wms.dt_index)].edited;
  if (now == wms.stat_shown && !clock) return;
  for (TITM& it : wms.si) it.edited = 1;
  wms.stat_wnd->reg_no = 1;
  wm_upd_reg(wms.stat_wnd, wms.si, {});
  for (TITM& it : wms.si) it.edited = 0;
  wms.stat_shown = now;
}

// ---- conversion after input ----

uint16_t reg_number(TWND* w, uint32_t reg_id) {
  uint16_t n = 1;
  for (TREG* g = w->first_reg; g; g = g->next, ++n)
    if (g->id == reg_id) return n;
  return 0;
}

bool blink(TWND* w, const TITM& it, bool on) {
  w->reg_no = reg_number(w, it.reg);
  CHR_BLK c;
  CHR_PREP(&c);
  c.row = c.item_row = it.tl_row;
  c.col = c.item_col = it.tl_col;
  c.rows = it.br_row - it.tl_row + 1;
  c.cols = it.br_col - it.tl_col + 1;
  c.value = on ? uint32_t(ATTR_BLINK) : 0u;
  if (wm_upd_chr(w, &c, ATTR_BLINK)) return true;
  sys_err(kModule, __LINE__, "etoi - wm_upd_chr failed");
  return false;
}

ut_point* area_pos(SHOW_BLK* b, uint8_t area) {
  return area == CURS_MAIN ? &b->main_pos : area == CURS_POP ? &b->pop_pos : &b->base_pos;
}

// Converts the edited items of a surface; whether one failed.
bool etoi(TSRF* s, uint8_t area, bool* first) {
  bool failed = false;
  if (!s) return false;
  for (TWND* w = s->first_wnd; w; w = w->srf_next) {
    if (!w->tables) continue;
    for (auto& [key, it] : w->tables->items) {
      if (!it.edited) continue;
      if (cv_etoi(&it.cnv)) {
        it.edited = 0;
        if (it.stat) *it.stat = 2;
        if (!blink(w, it, false)) return failed;
        cv_itoe(&it.cnv);
        if (auto* g = static_cast<TREG*>(wm_obj(it.reg))) wm_mark_item(g, it);
        continue;
      }
      failed = true;
      if (!blink(w, it, true)) return failed;
      if (*first) {
        *first = false;
        wms.work.curs_type = area;
        auto* g = static_cast<TREG*>(wm_obj(it.reg));
        if (g) reg_to_srf(w, g, {it.tl_row, it.tl_col}, area_pos(&wms.work, area));
      }
      wm_msg_add(wms.show_msgs, it.cnv.cnv_status);
    }
  }
  return failed;
}

bool convert_all() {
  wm_msg_clear(wms.show_msgs);
  bool first = true;
  bool failed = etoi(wms.main, CURS_MAIN, &first);
  failed |= etoi(wms.pop, CURS_POP, &first);
  failed |= etoi(wms.base, CURS_BASE, &first);
  return failed;
}

// ---- cursor ----

bool on_shown_surface(const TWND* w) {
  return w->srf && (w->srf == wms.main || w->srf == wms.pop || w->srf == wms.base);
}

uint8_t area_of(const TSRF* s) { return s == wms.main ? CURS_MAIN : s == wms.pop ? CURS_POP : CURS_BASE; }

TWND* cursor_window(const SHOW_BLK* b) {
  auto* w = static_cast<TWND*>(wm_obj(b->curs_reg));
  if (!w) return sys_err(kModule, __LINE__, "pos() - invalid curs_reg"), nullptr;
  if (!on_shown_surface(w)) return sys_err(kModule, __LINE__, "pos()- invalid surface"), nullptr;
  return w;
}

bool place_in_region(SHOW_BLK* b) {
  TWND* w = cursor_window(b);
  if (!w) return false;
  if (!w->cur_reg) return sys_err(kModule, __LINE__, "pos() - bad reg_no"), false;
  uint8_t area = area_of(w->srf);
  ut_point target = b->curs_type == CURS_ITEM ? b->item_pos : b->reg_pos;
  if (!scroll_to_pos(w, w->cur_reg, target, area_pos(b, area)))
    return sys_err(kModule, __LINE__, "pos() - bad position"), false;
  b->curs_type = area;
  return true;
}

bool place_relative(SHOW_BLK* b) {
  TWND* w = cursor_window(b);
  if (!w) return false;
  uint8_t area = area_of(w->srf);
  *area_pos(b, area) = {w->blk.row + b->rel_row - 1, w->blk.col + b->rel_col - 1};
  b->curs_type = area;
  return true;
}

// Keeps the second surface's cursor inside the pan bounds.
bool place_on_pop(SHOW_BLK* b) {
  TSRF* pop = wms.pop;
  if (!pop) return sys_err(kModule, __LINE__, "position - invalid logical surface"), false;
  ut_point p = {b->pop_pos.row + pop->ORIGIN.row, b->pop_pos.col + pop->ORIGIN.col};
  int32_t dr = 0, dc = 0;
  if (p.row < b->pan_top) dr = std::max(b->pan_top, b->pan_top_to) - p.row;
  else if (p.row >= b->pan_bottom + screen_rows() - 3)
    dr = std::min(b->pan_bottom, b->pan_bottom_to) + screen_rows() - (p.row + 3);
  if (p.col < b->pan_left) dc = std::max(b->pan_left, b->pan_left_to) - p.col;
  else if (p.col >= b->pan_right + screen_cols()) dc = std::min(b->pan_right, b->pan_right_to) + screen_cols() - p.col;
  b->main_pos = {p.row + dr, p.col + dc};
  pop->ORIGIN.row += dr;
  pop->ORIGIN.col += dc;
  pop->changed = 1;
  b->curs_type = CURS_MAIN;
  return true;
}

// ---- panning ----

int32_t pop_extent(bool rows) {
  int32_t ext = rows ? 1 : 0;
  bool any = false;
  for (TWND* w = wms.pop->first_wnd; w; w = w->srf_next) {
    int32_t v = rows ? w->BOT_RIGHT.row : w->BOT_RIGHT.col;
    if (v == kPlaneEdge) continue;
    ext = any ? std::max(ext, v) : v;
    any = true;
  }
  return ext;
}

}  // namespace

void pos(SHOW_BLK* b) {
  ut_point cur = wms.main ? wms.main->POSITION : ut_point{1, 1};
  wms.sd.row = cur.row;
  wms.sd.col = cur.col;
  if (!b->curs_type) return;
  bool ok = true;
  switch (b->curs_type) {
    case CURS_ITEM:
    case CURS_REG: ok = place_in_region(b); break;
    case CURS_REL: ok = place_relative(b); break;
    case CURS_ORIGIN:
      if (!wms.pop) return sys_err(kModule, __LINE__, "position - invalid logical surface");
      wms.pop->ORIGIN = {b->main_pos.row - b->pop_pos.row, b->main_pos.col - b->pop_pos.col};
      wms.pop->changed = 1;
      b->curs_type = CURS_MAIN;
      break;
    default: break;
  }
  if (!ok) return;
  if (b->curs_type == CURS_POP && !place_on_pop(b)) return;
  if (b->curs_type == CURS_MAIN) {
    cur = b->main_pos;
  } else {
    cur = {b->base_pos.row + screen_rows() - 3, b->base_pos.col};
    if (wms.pop) wms.pop->POSITION = {0, 0};
  }
  wms.sd.row = cur.row;
  wms.sd.col = cur.col;
  if (wms.main) wms.main->POSITION = cur;
}

int pan_scr(uint32_t key) {
  if (key < LK_PAN_FIRST || key > LK_PAN_LAST)
    return sys_err(kModule, __LINE__, "pan_scr() - unexpected case switch"), 0;
  TSRF* pop = wms.pop;
  if (!com.pan_flags || !pop) return 1;
  bool vertical_locked = com.pan_flags & PAN_NO_VERTICAL;
  ut_point& o = pop->ORIGIN;
  int32_t main_rows = wms.main ? wms.main->SRF_SIZE.row : screen_rows() - 3;
  int32_t main_cols = wms.main ? wms.main->SRF_SIZE.col : screen_cols();
  switch (key - LK_PAN_FIRST) {
    case 0:
      if (!vertical_locked) o.row = 0;
      break;
    case 1:
      if (!vertical_locked) o.row = pop->first_wnd ? main_rows - pop_extent(true) - 1 : main_rows - 1;
      break;
    case 2: o.col = 0; break;
    case 3: o.col = main_cols - pop_extent(false) - 1; break;
    case 4:
      if (!vertical_locked) o.row += 1;
      break;
    case 5:
      if (!vertical_locked) o.row += screen_rows() / 2;
      break;
    case 6:
      if (!vertical_locked) o.row -= 1;
      break;
    case 7:
      if (!vertical_locked) o.row -= screen_rows() / 2;
      break;
    case 8: o.col += 1; break;
    case 9: o.col += screen_cols() / 2; break;
    case 10: o.col -= 1; break;
    case 11: o.col -= screen_cols() / 2; break;
    default: break;  // FIND PATTERN
  }
  o.row = std::min(o.row, 0);
  o.col = std::min(o.col, 0);
  pop->changed = 1;
  return 1;
}

void build_outline(TSRF* main, TSRF* pop, TSRF* base) {
  std::vector<uint32_t>& t = wms.outline;
  t.clear();
  auto add = [&](int32_t r1, int32_t c1, int32_t r2, int32_t c2, uint32_t flags) {
    t.insert(t.end(), {uint32_t(r1), uint32_t(c1), uint32_t(r2), uint32_t(c2), flags});
  };
  auto wflags = [](const TWND* w) {
    uint32_t f = w->blk.flag3 ? 0x60000000u : 0x40000000u;
    if (w->blk.flag || w->blk.flag2)
      f |= 0x80000000u | (w->blk.flag ? 0x08000000u : 0) | (w->blk.flag2 ? 0x10000000u : 0);
    if (!(w->state & WND_INACTIVE)) f |= 0x40000;
    if (w->blk.scroll_type) f |= 0x10000;
    return f;
  };
  auto windows = [&](TSRF* s, ut_point shift, bool boxes) {
    if (!s) return;
    for (TWND* w = s->first_wnd; w; w = w->srf_next) {
      add(w->blk.row + shift.row, w->blk.col + shift.col, w->BOT_RIGHT.row + shift.row, w->BOT_RIGHT.col + shift.col,
          wflags(w));
      if (!boxes || !w->tables) continue;
      for (auto& [k, c] : w->tables->chrs) {
        auto* g = static_cast<TREG*>(wm_obj(std::get<0>(k)));
        ut_point tl, br;
        if (!(c.mask & CHR_BOX_RUN) || !g || !reg_to_srf(w, g, {c.row, c.col}, &tl) ||
            !reg_to_srf(w, g, {c.br_row, c.end_col}, &br))
          continue;
        add(tl.row + shift.row, tl.col + shift.col, br.row + shift.row, br.col + shift.col,
            0x48200000u | (c.mask & 0x40C0));
      }
    }
  };
  windows(pop, pop ? pop->ORIGIN : ut_point{0, 0}, true);
  // A process's image lies on the main surface: its boxes are drawn as the
  // editor's are, each after its window, whose entry clears what lies under.
  windows(main, {0, 0}, true);
  add(screen_rows() - 2, 1, screen_rows(), screen_cols(), 0x40000000u);
  windows(base, {screen_rows() - 3, 0}, false);
  add(screen_rows() - 3, 1, screen_rows() - 3, screen_cols(), 0x50000000u);
  add(screen_rows(), 1, screen_rows(), screen_cols(), 0x50000000u);
  wms.sd.nframes = uint32_t(t.size() / kFrameWords);
  wms.sd.frames = t.data();
}

void prep_scr(SHOW_BLK* blk, ARB* msgs) {
  message_line(msgs);
  choose_keymap(blk);
  wms.sd.flags = blk->show_flags;
  if (blk->show_flags & (SHOW_REFRESH | SHOW_PAINT_ONLY)) {
    refresh_clock();
    status_items();
    pos(&wms.work);
    wm_repaint(wms.main, wms.pop);
  }
  build_outline(wms.main, wms.pop, wms.base);
}

void upd_pos(SHOW_BLK* blk) {
  int32_t row = std::clamp(wms.sd.row, 0, screen_rows()), col = std::clamp(wms.sd.col, 0, screen_cols());
  const wm_trect* hit = nullptr;
  for (const wm_trect& t : wm_trects())
    if (row >= t.phys.tl.row && row <= t.phys.br.row && col >= t.phys.tl.col && col <= t.phys.br.col) hit = &t;
  if (!hit) return sys_err(kModule, __LINE__, "upd_pos() - missing trect");
  blk->curs_type = hit->pos_type;
  blk->curs_reg = 0;
  blk->rel_row = blk->rel_col = 0;
  blk->reg_pos = blk->item_pos = {0, 0};
  if (hit->pos_type == CURS_BASE) {
    blk->main_pos = blk->pop_pos = {0, 0};
    blk->base_pos = {row - screen_rows() + 3, col};
    wm_locate(wms.base, &blk->base_pos, blk);
    return;
  }
  blk->base_pos = {0, 0};
  blk->main_pos = {row, col};
  blk->pop_pos = {0, 0};
  if (wms.pop) {
    ut_point l{row - wms.pop->ORIGIN.row, col - wms.pop->ORIGIN.col};
    if (l.row > 0 && l.col > 0) blk->pop_pos = l;
  }
  bool on_main = (hit->pos_type == CURS_MAIN && hit->own) || !blk->pop_pos.row;
  if (on_main) {
    blk->curs_type = CURS_MAIN;
    if (wms.main) wm_locate(wms.main, &blk->main_pos, blk);
  } else {
    blk->curs_type = CURS_POP;
    wm_locate(wms.pop, &blk->pop_pos, blk);
  }
}

namespace {

// A clock tick: the status line's time, and the screen brought up to date.
void on_tick() {
  refresh_clock();
  if (wms.dt_index >= 0 && !wm_upd_itm(wms.stat_wnd, &wms.si[size_t(wms.dt_index)], 0, 0, 0))
    sys_err(kModule, __LINE__, "wm_show - wm_upd_itm");
  upd_scr();
}

// The pop-up is a show of its own: this show's working state waits.
void show_msg_popup(SHOW_BLK* blk, ARB* msgs) {
  uint32_t shown_key;
  TSRF *main = wms.main, *pop = wms.pop;
  SHOW_BLK work = wms.work;
  la_show_msg(msgs, &shown_key);
  wms.main = main, wms.pop = pop, wms.work = work;
  prep_scr(blk, msgs);
}

bool is_item_key(uint32_t k) { return k == LK_SPLIT || k == LK_JOIN || k == kRedisplayKey || k == LK_END_PARAGRAPH; }

// A key the show answers on the item itself; one it cannot do beeps.
void item_key(SHOW_BLK* blk, uint32_t k, ARB* msgs) {
  wms.work = *blk;
  if (wm_item_key(k)) {
    prep_scr(blk, msgs);
    return;
  }
  blk->show_flags |= SHOW_BEEP;
  prep_scr(blk, wms.show_msgs);
}

// The terminal layer's show, marked as reading while it runs.
uint32_t read_terminal(SHOW_DATA* sd) {
  struct reading_mark {
    reading_mark() { wms.reading = true; }
    ~reading_mark() { wms.reading = false; }
  } mark;
  return wm_term()->show(sd);
}

// A system error raised during the read is shown now, over this show's
// screen, which is then painted again as it was; what the read answered
// (key, cursor) stays this show's, so no key is lost to the report.
void show_kept_report(SHOW_BLK* blk, ARB* msgs) {
  if (!wm_sys_err_kept()) return;
  const SHOW_DATA read = wms.sd;
  TSRF *main = wms.main, *pop = wms.pop;
  const SHOW_BLK work = wms.work;
  wm_sys_err_show_kept();
  wms.main = main, wms.pop = pop, wms.work = work;
  const uint8_t flags = blk->show_flags;
  blk->show_flags |= SHOW_REFRESH;
  prep_scr(blk, msgs);
  blk->show_flags = flags;
  wms.sd.flags = SHOW_REFRESH;
  wm_term()->show(&wms.sd);
  const uint32_t nframes = wms.sd.nframes;
  const uint32_t* frames = wms.sd.frames;
  wms.sd = read;
  wms.sd.nframes = nframes, wms.sd.frames = frames;
}

// The show's surfaces and working copy, the screen prepared. A terminal
// without a keymap cannot be read: the run ends.
void start_show(SHOW_BLK* blk, ARB* msgs) {
  wms.main = srf_of(blk->main_srf);
  wms.pop = srf_of(blk->pop_srf);
  wms.base = static_cast<TSRF*>(com.base_srf);
  wms.work = *blk;
  prep_scr(blk, msgs);
  if (com.no_term || wms.keymap) return;
  sys_err(kModule, __LINE__, "Keymap Missing for this Terminal/User");
  wm_finish();
  exit(kExitNoKeymap);
}

}  // namespace

int wm_show(SHOW_BLK* blk, ARB* msgs) {
  if (!blk) return sys_err(kModule, __LINE__, "wm_show - Bad show block"), 0;
  start_show(blk, msgs);
  for (;;) {
    SHOW_DATA& sd = wms.sd;
    sd.status &= ~uint32_t(KEY_STATUS_TICK | uint32_t(SHOW_BEEP));
    sd.timeout = blk->input_timeout;
    uint32_t r = read_terminal(&sd);
    if (os_ready != 1) os_ready = (os_ready + 1) & 0xFF;
    show_kept_report(blk, msgs);
    if (blk->show_flags == SHOW_PAINT_ONLY) return int(r);
    if (wms.main) wms.main->POSITION = {sd.row, sd.col};
    blk->show_flags &= uint8_t(~SHOW_BEEP);
    if (sd.status & KEY_STATUS_TICK) {
      on_tick();
      continue;
    }
    bool key = sd.status == KEY_STATUS_KEY;
    if (key && sd.key == kShowMsgKey) {
      show_msg_popup(blk, msgs);
      continue;
    }
    if (key && sd.key >= LK_PAN_FIRST && sd.key <= LK_PAN_LAST) {
      if (!pan_scr(sd.key)) sys_err(kModule, __LINE__, "wm_show - pan_scr");
      prep_scr(blk, msgs);
    }
    bool input = blk->show_flags & (SHOW_CURSOR | SHOW_INPUT);
    if (input && convert_all() && sd.key != LK_CANCEL) {
      blk->show_flags |= SHOW_BEEP;
      prep_scr(blk, wms.show_msgs);
      continue;
    }
    blk->input_stat = sd.status;
    blk->key_code = sd.key;
    if (input) upd_pos(blk);
    if (!is_item_key(sd.key)) return 1;
    item_key(blk, sd.key, msgs);
  }
}

}  // namespace kivo
