// The window manager's start: the terminal layer, the keymaps of this
// terminal and user, and the base surface with the status line (labels,
// database, application, version, user, clock) and the message line; the
// forwarding of finish, suspend, resume and attach to the terminal switch.
//
// Keymap passes run default, terminal, user: the terminal layer rebuilds a
// keymap handed in under a name it already has, so a later pass replaces a
// keymap whole.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"
#include "foundation/sysparm_record.h"
#include "foundation/text.h"
#include "screen/screen.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_repaint.h"
#include "screen/wm_show.h"
#include "screen/wm_term.h"
#include "store/lock.h"
#include "store/store.h"
#include "types/cnv.h"

namespace kivo {

wm_session wms;

namespace {

constexpr const char* kModule = "WM5";
constexpr uint32_t kOpenOptions = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;
constexpr uint8_t kReadyAtStart = 255;
constexpr uint32_t kLogKeymap = 0x01;

// ---- keymaps ----

// The rows of one keymap name while its records are read.
struct keymap_group {
  char name[10];
  std::vector<int16_t> rows;  // kKeymapRowWords a row
  int codes = 0;
  bool cut = false;
};

void tkeymap_put(const char* name, tm_keymap_h* h) {
  uint8_t rec[kTkeymapRecLen] = {};
  memcpy(rec + TKEYMAP_NAME, name, kKeymapNameLen);
  st_le32(rec, TKEYMAP_HANDLE, wm_obj_id(h));
  ARB* arb = xwm.tkeymap;
  arb->arb_rec = rec;
  arb->arb_len = kTkeymapRecLen;
  arb->arb_keyno = 0;
  arb->arb_key = nullptr;
  arb->arb_mod = 0;
  fm_write(arb);  // a record of an earlier pass stays: the handle is the same
  arb->arb_rec = nullptr;
}

void close_group(keymap_group& g) {
  if (!g.codes) return;
  g.rows.push_back(-1);  // the end mark (65535)
  g.rows.resize(g.rows.size() + kKeymapRowWords - 1, -1);
  tm_keymap_h* h = wm_term()->keymap(g.name, g.rows.data());
  if (!h) return;
  tkeymap_put(g.name, h);
  if (memcmp(g.name, "DATA ENTRY", kKeymapNameLen) == 0) {
    memcpy(wms.keymap_name, g.name, kKeymapNameLen);
    wms.keymap = wms.data_entry = h;
  }
}

// The record's code slots up to the first negative code.
void add_record(keymap_group& g, const uint8_t* rec) {
  for (int slot = 0; slot < kKeymapSlots; ++slot) {
    uint16_t code = ld_le16(rec, KEYMAP_CODES + 2 * slot);
    if (code & 0x8000) return;
    if (g.codes == kKeymapMaxCodes) {
      // Records also come from remote clients: a longer group is cut, not refused.
      if (!g.cut) dbg_log(kLogKeymap, "keymap %.10s: codes past %d left out\n", g.name, kKeymapMaxCodes);
      g.cut = true;
      continue;
    }
    g.rows.push_back(int16_t(code));
    for (int k = 0; k < kKeystrokeMax; ++k)
      g.rows.push_back(int16_t(ld_le16(rec, KEYMAP_KEYSTROKES + (slot * kKeystrokeMax + k) * 2)));
    ++g.codes;
  }
}

ARB* open_keymaps(void (*init)(FDB*, KDB*, SDB*), uint32_t* status) {
  FDB f;
  KDB k[2];
  SDB s[8];
  init(&f, k, s);
  if (FM_OPEN(&f, com.sys_scope, kOpenOptions, 15, 15)) return f.fdb_arb;
  if (status) *status = f.fdb_stat;
  return nullptr;
}

// The records of (terminal type, user) compiled; `user` is 3 characters.
void keymap_pass(ARB* arb, const char* user) {
  uint8_t key[13], rec[KEYMAP_RECORD_SIZE];
  memcpy(key, com.keymap_id, 10);
  memcpy(key + 10, user, 3);
  arb->arb_keyno = 0;
  arb->arb_key = key;
  arb->arb_key_len = sizeof key;
  arb->arb_rec = rec;
  arb->arb_mod = ARB_PARTIAL;
  if (fm_start(arb)) {
    arb->arb_mod = ARB_EQUAL | ARB_PARTIAL;
    cmpl_keymap(arb);
  }
  arb->arb_key = nullptr;
  arb->arb_rec = nullptr;
}

// Step 5; 0 with *status when the default keymaps cannot be opened.
int keymap_passes(uint32_t* status) {
  ARB* dflt = open_keymaps(INIT_DDFLTMAP_FDB, status);
  if (!dflt) return 0;
  keymap_pass(dflt, "   ");
  FM_CLOSE(dflt, 0);
  ARB* km = open_keymaps(INIT_DKEYMAP_FDB, nullptr);
  if (!km) return 1;
  keymap_pass(km, "   ");
  keymap_pass(km, com.keymap_id + 10);
  FM_CLOSE(km, 0);
  return 1;
}

// ---- status line ----

CNV alpha_cnv(uint8_t* value, uint16_t len) {
  sitm s{};
  s.type = ELEM_ALP;
  s.size = len;
  s.rows = 1;
  s.cols = len;
  s.token_kind = 255;
  SET_BLANK(s.elem_mask, kCvMaskLen);
  SET_BLANK(s.mask, kCvMaskLen);
  CNV c{};
  if (!cv_cmpl(&c, &s, nullptr)) sys_err(kModule, __LINE__, "wm_init() - cv_cmpl failed");
  c.int_addr = value;
  c.int_indirect = 0;
  c.addr_mode = 0;
  return c;
}

// The clock: the session time edited with the status line's mask.
bool clock_cnv(CNV* c) {
  sitm s{};
  s.type = ELEM_BIN_DAYNUM;
  s.size = 8;
  s.rows = 1;
  s.cols = 32767;
  s.token_kind = 255;
  s.elem_hi = 8;
  s.elem_lo = 1;
  memcpy(s.elem_mask, com.dt_sample, kCvMaskLen);
  memcpy(s.mask, com.dt_mask, kCvMaskLen);
  if (!cv_cmpl(c, &s, nullptr)) return false;
  c->int_addr = com.stat_time;
  c->int_indirect = 0;
  c->addr_mode = 0;
  return true;
}

int32_t label_len(int i) { return int32_t(ut_buflen(com.labels[i], 30)); }

void add_field(const stat_field& f, uint8_t* value, std::vector<char>& line, const CNV* clock) {
  if (f.kind >= '1' && f.kind <= '3') {
    const char* label = com.labels[2 - (f.kind - '1')];
    memcpy(line.data() + f.col - 1, label, size_t(f.width));
    return;
  }
  TITM it{};
  it.tl_row = 1;
  it.tl_col = f.col;
  it.cnv = clock && f.kind == 'T' ? *clock : alpha_cnv(value, uint16_t(f.width));
  it.edited = 1;
  if (f.kind == 'T') wms.dt_index = int(wms.si.size());
  wms.si.push_back(it);
  CHR_BLK chr;
  CHR_PREP(&chr);
  chr.row = chr.item_row = 1;
  WRITE_CHR(wms.sc, &chr, f.col, f.width);
}

uint8_t* field_value(char kind) {
  switch (kind) {
    case 'D': return reinterpret_cast<uint8_t*>(com.cur_db);
    case 'A': return reinterpret_cast<uint8_t*>(com.cur_ap);
    case 'V': return reinterpret_cast<uint8_t*>(com.cur_ver);
    case 'U': return reinterpret_cast<uint8_t*>(com.user_id);
    case 'M': return reinterpret_cast<uint8_t*>(wms.mode);
    default: return nullptr;
  }
}

int status_line(TSRF* base) {
  int32_t cols = com.scr_cols;
  WND_BLK b;
  INIT_WND(&b, 1, 1, 1, cols, 0);
  wms.stat_wnd = WM_ATTACH(&b, base, com.sys_scope);
  if (!wms.stat_wnd) return sys_err(kModule, __LINE__, "wm_init - wm_attach"), 0;
  // The clock keeps its columns when it is suppressed: the labels stand
  // where they stand with it.
  CNV clock{};
  bool compiled = clock_cnv(&clock);
  bool have_clock = compiled && !wms.no_clock;
  stat_layout lay =
      wm_stat_layout(cols, label_len(2), label_len(1), label_len(0), compiled ? clock.ext_cols : 0, have_clock);
  if (lay.compact) wms.no_clock = true;
  std::vector<char> line(size_t(cols), ' ');
  wms.si.clear();
  wms.sc.clear();
  wms.dt_index = -1;
  if (!wms.mode[0]) memset(wms.mode, ' ', sizeof wms.mode);
  if (const int32_t at = wm_mode_col(lay, cols)) lay.fields.push_back({'M', at, int32_t(sizeof wms.mode)});
  for (const stat_field& f : lay.fields) add_field(f, field_value(f.kind), line, have_clock ? &clock : nullptr);
  if (!wm_write_reg(wms.stat_wnd, reinterpret_cast<uint8_t*>(line.data()), wms.si, wms.sc))
    return sys_err(kModule, __LINE__, "wm_init() - wm_write_reg (status %u)", wms.stat_wnd->status), 0;
  for (TITM& it : wms.si) it.edited = 0;
  return 1;
}

int message_line(TSRF* base) {
  int32_t cols = com.scr_cols;
  WND_BLK b;
  INIT_WND(&b, 2, 1, 1, cols, 0);
  wms.msg_wnd = WM_ATTACH(&b, base, com.sys_scope);
  if (!wms.msg_wnd) return sys_err(kModule, __LINE__, "wm_init - wm_attach"), 0;
  wms.show_msgs = la_create_fi(uint16_t(cols), com.sys_scope);
  if (!wms.show_msgs) return 0;
  wms.msg_line.assign(size_t(cols), ' ');
  wms.msg_item = {};
  wms.msg_item.tl_row = wms.msg_item.tl_col = 1;
  wms.msg_item.cnv = alpha_cnv(reinterpret_cast<uint8_t*>(wms.msg_line.data()), uint16_t(cols));
  wms.msg_item.edited = 1;
  if (!wm_write_reg(wms.msg_wnd, reinterpret_cast<uint8_t*>(wms.msg_line.data()), {}, {}))
    return sys_err(kModule, __LINE__, "wm_init - wm_write_reg"), 0;
  if (!wm_insert_itm(wms.msg_wnd, &wms.msg_item, 0x10, 0x50, 0))
    return sys_err(kModule, __LINE__, "wm_init - wm_insert_itm failed"), 0;
  return 1;
}

TWND* g_lock_line;

}  // namespace

void wm_lock_line(const char* text) {
  if (!wms.started) return lock_status_text(text);
  if (g_lock_line) wm_del_stat(g_lock_line);
  g_lock_line = nullptr;
  if (!text) return;
  // A text too wide for the screen keeps its path's first and last parts.
  const size_t cols = std::max<size_t>(com.scr_cols, 1);
  std::vector<char> line(cols + 1);
  lock_fit_status(text, cols, line.data(), line.size());
  g_lock_line = wm_add_stat(line.data(), strlen(line.data()));
}

void wm_show_status() {
  wm_repaint(static_cast<TSRF*>(com.cur_srf), static_cast<TSRF*>(com.cur_srf2));
  uint32_t flags = wms.sd.flags;
  wms.sd.flags = SHOW_REFRESH;
  wm_term()->show(&wms.sd);
  wms.sd.flags = flags;
}

namespace {

int terminal_start() {
  const ut_design_recs& recs = ut_get_design_recs();
  const uint8_t* sysparm = recs.dsysparm ? recs.dsysparm() : nullptr;
  wm_term()->init(sysparm && sysparm[SYSPARM_OPTIMIZE] == '0' ? 1 : 0);
  xwm.tkeymap = wm_create_file(wm_file::TKEYMAP, com.sys_scope, "wm_init() - create of tkeymap file failed");
  wms.attach = {};
  com.trm_blk = &wms.attach;
  return wm_trm_attach(&wms.attach) && xwm.tkeymap;
}

}  // namespace

stat_layout wm_stat_layout(int32_t cols, int32_t l1, int32_t l2, int32_t l3, int32_t ld, bool clock) {
  stat_layout out{};
  int32_t gap = (cols - (l1 + l2 + l3 + ld + 15)) / 3;
  if (gap < 1 || gap > cols) {
    int32_t g = (cols - 11) / 2;
    out.compact = true;
    out.fields = {{'D', 1, 3}, {'A', g + 4, 3}, {'V', g + 7, 2}, {'U', cols - 2, 3}};
    return out;
  }
  out.fields = {{'1', 1, l1},
                {'D', l1 + 2, 3},
                {'2', l1 + gap + 6, l2},
                {'A', l1 + l2 + gap + 7, 3},
                {'V', l1 + l2 + gap + 11, 2},
                {'3', l1 + l2 + 2 * gap + 13, l3},
                {'U', l1 + l2 + l3 + 2 * gap + 14, 3}};
  if (clock) out.fields.push_back({'T', cols - ld + 1, ld});
  return out;
}

int32_t wm_mode_col(const stat_layout& lay, int32_t cols) {
  constexpr int32_t width = int32_t(sizeof wms.mode);
  int32_t end = cols, after = 1;
  for (const stat_field& f : lay.fields) {
    if (f.kind == 'T') end = f.col - 2;
    if (f.kind == 'U') after = f.col + f.width + 1;
  }
  const int32_t col = end - width + 1;
  return col > after ? col : 0;
}

void wm_set_mode(const char* text) {
  memset(wms.mode, ' ', sizeof wms.mode);
  memcpy(wms.mode, text, std::min(strlen(text), sizeof wms.mode));
}

void cmpl_keymap(ARB* stream) {
  keymap_group g;
  SET_BLANK(g.name, sizeof g.name);
  while (fm_rdnxt(stream)) {
    const uint8_t* rec = stream->arb_rec;
    if (memcmp(rec + KEYMAP_NAME, g.name, sizeof g.name) != 0) {
      close_group(g);
      g = {};
      memcpy(g.name, rec + KEYMAP_NAME, sizeof g.name);
    }
    add_record(g, rec);
  }
  close_group(g);
}

int wm_trm_attach(tm_attach_blk* blk) {
  if (!wm_term()->attach(blk)) return 0;
  wm_term_handle = blk->term;
  com.scr_rows = uint16_t(blk->rows[0]);
  com.scr_cols = uint16_t(blk->cols[0]);
  com.max_rows = uint16_t(blk->rows[2]);
  com.max_cols = uint16_t(blk->cols[2]);
  return 1;
}

void wm_finish() {
  os_screen_up = false;
  wm_term()->finish();
}

void wm_finish_failed() {
  if (!com.rmt_sock) wm_finish();
}
void wm_suspend() { wm_term()->suspend(); }
void wm_resume() { wm_term()->resume(); }

namespace {

// The start's steps; 0 with the status when one fails.
int start_steps(uint32_t* status) {
  if (!wm_objects_init()) return sys_err(kModule, __LINE__, "wm_init - pool"), *status = 0, 0;
  wm_repaint_reset();
  if (!terminal_start()) return *status = 0, 0;
  SET_BLANK(wms.keymap_name, sizeof wms.keymap_name);
  if (!keymap_passes(status)) return 0;
  if (!com.no_term && !wms.data_entry) return *status = NO_KEYMAP, 0;
  SRF_BLK sb{0, 3, int32_t(com.scr_cols)};
  TSRF* base = WM_CREATE_SRF(&sb, com.sys_scope);
  if (!base) return sys_err(kModule, __LINE__, "wm_init - wm_create_srf"), *status = 0, 0;
  com.base_srf = base;
  if (!status_line(base) || !message_line(base)) return *status = 0, 0;
  // A window manager started without a language (a tool's) has no mark
  // for more messages; a session's message file that cannot give it fails.
  if (!la_current()) return 1;
  wms.msg900 = wm_msg_text(MSG_MORE);
  if (wms.msg900.empty())
    return sys_err(kModule, __LINE__, "wm_init - la_xlate failed: message %u of the message file cannot be read",
                   unsigned(MSG_MORE)),
           *status = 0, 0;
  return 1;
}

}  // namespace

int wm_init(uint32_t* status) {
  wms = {};
  wms.no_clock = getenv("KIVO_TST_DIR") != nullptr;
  // Until the start is over, a report would be written over the terminal
  // the terminal manager holds and read for behind its back: it is kept,
  // and fails the start, which gives the terminal back first.
  struct held_reports {
    held_reports() { sys_err_hold(true); }
    ~held_reports() { sys_err_hold(false); }
  } held;
  if (!start_steps(status) || *sys_err_held()) {
    if (*sys_err_held()) *status = 0;
    return wm_finish_failed(), 0;
  }
  wms.sd.term = wms.attach.term;
  com.pan_flags = PAN_ALLOWED;
  os_ready = kReadyAtStart;
  wms.started = true;
  *status = 1;
  return 1;
}

}  // namespace kivo
