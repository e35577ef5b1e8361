// The statement editor's edit run: its start (surfaces, windows, files, the
// kept dictionary files), the loading of one event point's statements into
// the line list, the key loop with its key remapping, scrolling, and the
// end of the run: save, cancel, clear, restore and the clean-up.
//
// Invariants: only records whose first 48 bytes equal the key template are
// read, deleted or written; a save that fails leaves the stored records as
// they were (as far as the file lets it) and the lines in the editor, which
// stays up so that END can be pressed again.
//
// Callers: the routine row "SE_EDIT" (se_register), the tool harness.
#include <algorithm>
#include <cstring>
#include <memory>

#include "compiler/stmt_view.h"
#include "design/design_builder.h"
#include "editors/editors.h"
#include "editors/ie_gui.h"
#include "editors/ie_internal.h"
#include "editors/se_edit.h"
#include "editors/stmt_line.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"
#include "interp/rt_fns.h"
#include "process/pi_pcf.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"

namespace kivo {

PCB* the_pcb = nullptr;
uint8_t clean_slate = 1;

namespace {

constexpr const char* kModule = "SE";
constexpr uint32_t kIgnored = 100;
enum : uint32_t {
  K_PASTE_COPY = 101,
  K_PASTE_MOVE = 102,
  K_EDIT = 103,
  K_RANGE = 104,
  K_EXEC = 105,
  K_XCOPY = 106,
  K_INSERT = 107,
  K_RESPECIFY = 108,
  K_AUDIT = 98,
  K_BROWSE = 94,
  K_PREV_IMAGE = 260,
  K_HELP_ITEM = 276,
  K_HELP_OPT = 280,
  K_SCROLL_FIRST = 320,
  K_SCROLL_LAST = 321,
  K_SCROLL_PREV = 322,
  K_SCROLL_NEXT = 323,
  K_SCROLL_UP = 324,
  K_SCROLL_DOWN = 325,
};

bool range_state(uint16_t s) {
  return s == SE_DELETE_RANGE || s == SE_MOVE_RANGE || s == SE_MOVE_TARGET || s == SE_COPY_RANGE || s == SE_COPY_TARGET;
}
bool scroll_key(uint32_t k) { return k >= K_SCROLL_FIRST && k <= K_SCROLL_DOWN; }
bool token_verb(int v) { return v == VERB_SET || v == VERB_IF || v == VERB_AND || v == VERB_OR; }

// The event point's key from the context: a blank record with the owner
// fields in place and sequence 0.
void key_template(se_ed_blk* ed) {
  uint8_t* t = ed->key_tmpl;
  const uint8_t* c = ed->ctx;
  memset(t, ' ', kStmtSize);
  t[STMT_PROC_TYPE] = c[SEC_TYPE];
  memcpy(t + STMT_PROC_NAME, c + SEC_PROC, 30);
  t[STMT_FRM_PART] = c[SEC_FRM_PART];
  memcpy(t + STMT_FRM_NO, c + SEC_FRM_NO, 4);
  t[STMT_IMG_NO] = c[SEC_IMG_NO];
  t[STMT_CHLD_POS] = c[SEC_CHLD_POS];
  memcpy(t + STMT_CHLD_NO, c + SEC_CHLD_NO, 4);
  t[STMT_EP] = c[SEC_EP];
  st_le32(t, STMT_SEQ, 0);
}

// The application and version the run edits, as C strings.
struct edited_version {
  char ap[4], ver[3];
  explicit edited_version(const se_ed_blk* ed)
      : ap{char(ed->ctx[SEC_AP]), char(ed->ctx[SEC_AP + 1]), char(ed->ctx[SEC_AP + 2]), 0},
        ver{char(ed->ctx[SEC_VER]), char(ed->ctx[SEC_VER + 1]), 0} {}
};

ARB* open_stmt_file(se_ed_blk* ed, uint32_t* stat) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  const edited_version v(ed);
  INIT_DSTMT_FDB(&f, k, s, v.ap, v.ver);
  const bool memory = ed->ctx[SEC_MEMORY] == 1;
  if (memory) {
    INIT_SRC_PATH(&f.path, v.ap, v.ver, "MSTMT", PATH_DATA);
    f.fdb_fs_type = FS_MEMORY;
  }
  const uint32_t opts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;
  if (FM_OPEN(&f, com.sys_scope, opts, 0x0f, 0x0f)) return f.fdb_arb;
  // The memory file of an application is made by its first edit run.
  if (memory && f.fdb_stat == FM_NO_FILE && FM_CREATE(&f, com.sys_scope, 0, opts | LFB_OPEN_NEW, 0x0f, 0x0f))
    return f.fdb_arb;
  *stat = f.fdb_stat;
  return nullptr;
}

ARB* create_cut_buffer() {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DSTMT_FDB(&f, k, s, "0LA", "00");
  f.fdb_fs_type = FS_MEMORY;
  // Class '2' in a nested external-copy editor.
  INIT_UNIQUE_PATH(&f.path, "SE", xcopy_opt ? "2" : "1", PATH_DATA);
  if (FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return f.fdb_arb;
  return nullptr;
}

struct loop {
  se_ed_blk* ed;
  void read() { se_read(ed); }
};

}  // namespace

// Shows the screen with the cursor and reads one key into ed->key.
void se_read(se_ed_blk* ed) {
  {
    SHOW_BLK& b = ed->show;
    b.show_flags = uint8_t(SHOW_REFRESH | SHOW_INPUT | (ed->beep ? uint32_t(SHOW_BEEP) : 0u));
    ed->beep = false;
    b.curs_type = CURS_MAIN;
    b.main_pos = {ed->cur_row, ed->cur_col};
    b.input_stat = 0;
    // The start message and a failed save's report are shown once.
    if (!editors_seams.se_show(&b, ed->msgs)) sys_err(kModule, __LINE__, "stmt_edit() wm_show");
    if (ed->msgs) wm_msg_clear(ed->msgs);
    // No key (the input ended) leaves as CANCEL would.
    ed->key = b.input_stat == KEY_STATUS_KEY ? b.key_code : uint32_t(LK_CANCEL);
    if (b.curs_type == CURS_MAIN && b.main_pos.row > 0) ed->cur_row = b.main_pos.row, ed->cur_col = b.main_pos.col;
  }
}

void se_fill_view(se_ed_blk* ed) {
  const uint32_t S = uint32_t(ed->srows), n = ed->n_lines;
  if (ed->first_shown > n + 1) ed->first_shown = n + 1;
  if (ed->first_shown < 1) ed->first_shown = 1;
  while (ed->first_shown > 1 && n + 2 - ed->first_shown < S) --ed->first_shown, ++ed->cur_row;
  ed->cur_row = std::clamp(ed->cur_row, 2, ed->srows + 1);
}

namespace {

// The cursor kept on the editor's rows and columns.
void sane_cursor(se_ed_blk* ed) {
  if (ed->cur_row == 0) ed->cur_row = 2;
  ed->cur_row = std::clamp(ed->cur_row, 1, ed->srows + 1);
  if (ed->cur_col == 0) ed->cur_col = 1;
  ed->cur_col = std::clamp(ed->cur_col, 1, ed->cols - 1);
}

bool nested() { return xcopy_opt != 0; }

void option_override(se_ed_blk* ed) {
  uint32_t& k = ed->key;
  const uint16_t st = ed->state;
  if (k == K_HELP_ITEM) k = K_HELP_OPT;
  const uint8_t f = ed->show.show_flags;
  if ((k >= kIgnored && k <= K_RESPECIFY) || f == 0x20 || f == 0x80 || (f == 0x10 && !ed->n_lines)) k = kIgnored;
  if (range_state(st) && !scroll_key(k) && k != 4) {
    // Option 7 respecifies from a target state (it would not reach the
    // mapping below).
    if (k == 7 && (st == SE_MOVE_TARGET || st == SE_COPY_TARGET)) k = K_RESPECIFY;
    if (k == 7 || k == K_RESPECIFY || k == LK_CANCEL || k == K_HELP_OPT) return;
    if (k == LK_ENTER)
      k = st == SE_MOVE_TARGET   ? uint32_t(K_PASTE_MOVE)
          : st == SE_COPY_TARGET ? uint32_t(K_PASTE_COPY)
                                 : uint32_t(LK_ENTER);
    else k = kIgnored;
  } else if (nested() &&
             (k == 2 || k == 3 || k == 5 || k == 6 || k == LK_ADD_MODE || k == LK_DELETE_MODE || k == LK_CHANGE_MODE)) {
    k = kIgnored;
  }
  // Only a row that holds a line starts a range.
  const bool on_row = ed->cur_row >= 2 && ed->cur_row <= ed->srows + 1 && se_line_at(ed, ed->cur_row);
  if (k == LK_CHANGE_MODE && st != SE_MOVE_TARGET && st != SE_COPY_TARGET && ed->n_lines) k = K_EDIT;
  if ((k == LK_DELETE_MODE || k == 2 || k == 3) && ed->n_lines && on_row) {
    ed->state = k == LK_DELETE_MODE ? SE_DELETE_RANGE : k == 2 ? SE_MOVE_RANGE : SE_COPY_RANGE;
    k = K_RANGE;
  }
  if (k == LK_ENTER && (st == SE_DELETE_RANGE || st == SE_MOVE_RANGE || st == SE_COPY_RANGE)) k = K_EXEC;
  if ((k == LK_ENTER || k == LK_CANCEL) && nested()) k = K_XCOPY;
  if (k == LK_ADD_MODE && ed->cur_row >= 2 && ed->cur_row <= ed->srows + 1) k = K_INSERT;
  if (k == 7 && (st == SE_MOVE_TARGET || st == SE_COPY_TARGET)) k = K_RESPECIFY;
}

// One step forward: the next line at the bottom; nothing once "[END]" shows.
void scroll_down(se_ed_blk* ed) {
  if (ed->end_shown) return;
  ++ed->first_shown;
  if (ed->cur_row > 2) --ed->cur_row;
}

// One step back: the previous line at the top.
void scroll_up(se_ed_blk* ed) {
  if (ed->first_shown <= 1) return;
  --ed->first_shown;
  if (ed->cur_row < ed->srows + 1) ++ed->cur_row;
  ed->end_shown = false;
}

void scroll(se_ed_blk* ed, uint32_t key) {
  const int S = ed->srows;
  const uint32_t n = ed->n_lines;
  switch (key) {
    case K_SCROLL_FIRST: {
      const uint32_t line = ed->first_shown + uint32_t(ed->cur_row - 2);
      ed->first_shown = 1;
      if (ed->cur_row >= 2 && line + 1 <= uint32_t(S) + 1) ed->cur_row = int(line) + 1;
      break;
    }
    case K_SCROLL_LAST:
      if (n >= uint32_t(S)) {
        ed->first_shown = n - uint32_t(S) + 2;
        ed->cur_row = S;
      } else {
        ed->first_shown = 1;
        ed->cur_row = int(std::max<uint32_t>(n, 1)) + 1;
      }
      break;
    case K_SCROLL_PREV:
    case K_SCROLL_NEXT:
      for (int i = 0; i < S - 1; ++i) {
        if (key == K_SCROLL_PREV) scroll_up(ed);
        else scroll_down(ed);
        ed->end_shown = ed->first_shown + uint32_t(S) > n + 1;
      }
      break;
    case K_SCROLL_UP: scroll_down(ed); break;
    case K_SCROLL_DOWN: scroll_up(ed); break;
    default: return sys_err(kModule, __LINE__, "scroll() - unexpected case switch");
  }
  asm_scr(ed);
}

// Puts back what a failed save changed: the event point's records are those
// read before it.
void put_back(se_ed_blk* ed, const std::vector<ie_rec>& before) {
  for (const ie_rec& r : ie_scan(ed->stmt_arb, 0, ed->key_tmpl, kStmtSize, kStmtKeyPrefix))
    if (!ie_del(ed->stmt_arb, r.data(), kStmtSize)) return;
  for (const ie_rec& r : before)
    if (!ie_put(ed->stmt_arb, r.data(), kStmtSize)) return;
}

void save_failed(se_ed_blk* ed, const char* what, uint32_t stat) {
  char text[120];
  snprintf(text, sizeof text, "Statements not saved (%s, status %u): press END to try again", what, stat);
  sys_err_log(text);
  if (ed->msgs) la_add_text(ed->msgs, 0, 1, text, strlen(text));
  ed->beep = true;
}

// A module kept from before holds the statements as they were: the process
// gets a new design stamp, so that its next run compiles the saved ones. The
// lines are stored by then, so a failure only says so.
void restamp(se_ed_blk* ed) {
  if (ed->ctx[SEC_MEMORY] == 1) return;
  const edited_version v(ed);
  uint32_t stat = 0;
  if (DesignBuilder::restamp_process(v.ap, v.ver, ed->key_tmpl, com.proc_scope, &stat)) return;
  char text[120];
  snprintf(text, sizeof text, "Statements saved; the process keeps its old module (PROCESS rewrite, status %u)", stat);
  sys_err_log(text);
  if (ed->msgs) la_add_text(ed->msgs, 0, 1, text, strlen(text));
}

// END writes the lines when anything changed, CANCEL writes nothing. 0 when
// the write failed: the editor stays up with its lines.
int save(se_ed_blk* ed, uint32_t key) {
  if (key == LK_END && ed->changed) {
    se_options(ed, "Saving Statements", "Please Wait", true);
    SHOW_BLK b = ed->show;
    b.show_flags = SHOW_REFRESH;
    editors_seams.se_show(&b, nullptr);
    std::vector<ie_rec> recs;
    uint32_t seq = 0;
    for (se_line* l : se_lines(ed)) {
      ie_rec r(l->rec, l->rec + kStmtSize);
      seq = stmt_seq(static_cast<uint32_t>(recs.size() + 1), seq);
      st_le32(r.data(), STMT_SEQ, seq);
      if (token_verb(stmt_view(r.data()).verb())) cnv_token(r.data(), se_ver, 2, 1, &l->tok);
      recs.push_back(std::move(r));
    }
    const std::vector<ie_rec> before = ie_scan(ed->stmt_arb, 0, ed->key_tmpl, kStmtSize, kStmtKeyPrefix);
    for (const ie_rec& r : before)
      if (!ie_del(ed->stmt_arb, r.data(), kStmtSize)) {
        const uint32_t stat = ed->stmt_arb->arb_stat;
        put_back(ed, before);
        se_normal_options(ed);
        return save_failed(ed, "save() - fm_del", stat), 0;
      }
    for (const ie_rec& r : recs)
      if (!editors_seams.se_stmt_put(ed->stmt_arb, r.data(), kStmtSize)) {
        const uint32_t stat = ed->stmt_arb->arb_stat;
        put_back(ed, before);
        se_normal_options(ed);
        return save_failed(ed, "save() - fm_write", stat), 0;
      }
    restamp(ed);
  }
  se_normal_options(ed);
  return 1;
}

// Leaves a range operation.
void cancel(se_ed_blk* ed) {
  ed->rehilite = true;
  ed->xcopy_target = false;
  ed->state = SE_NORMAL;
  se_normal_options(ed);
}

void clear(se_ed_blk* ed) {
  se_free_lines(ed);
  ed->first_shown = 1;
  asm_scr(ed);
  ed->cur_row = 2, ed->cur_col = 1;
}

void restore(se_ed_blk* ed) {
  se_free_lines(ed);
  process_stmts(ed);
  asm_scr(ed);
}

// Key 107: lines inserted one after another until one ends with CANCEL.
void insert_lines(se_ed_blk* ed) {
  for (;;) {
    if (ed->cur_row > ed->srows + 1) {
      ed->first_shown += 5;
      ed->cur_row -= 5;
    }
    insert(ed);
    if (ed->key == LK_CANCEL) break;
    ++ed->cur_row;
  }
  if (ed->cur_row > 2) --ed->cur_row;
  ed->state = SE_NORMAL;
  ed->rehilite = true;
  se_normal_options(ed);
  asm_scr(ed);
}

bool is_view_only(PCB* pcb) {
  const uint8_t* mode = pcb ? pi_input_mode(pcb) : nullptr;
  return mode && *mode == 3;
}

// Keys that would change the lines, refused on a view-only run.
bool changes_lines(uint32_t k) {
  return k == 1 || k == 5 || k == K_EDIT || k == K_RANGE || k == K_INSERT || k == 6 || k == 10 || k == 11;
}

// One key of the editor's own; an unknown one beeps.
void edit_key(se_ed_blk* ed, PCB* pcb, uint32_t k) {
  switch (k) {
    case K_HELP_OPT: help(ed, pcb); break;
    case K_AUDIT: audit_menu_show(ed); break;
    case 1: toolbox(ed, pcb); break;
    case K_EDIT: edit(ed); break;
    case K_INSERT: insert_lines(ed); break;
    case 10:
      clear(ed);
      ed->changed = true;
      break;
    case 11:
      restore(ed);
      ed->changed = false;
      break;
    case LK_CANCEL: cancel(ed); break;
    case K_RANGE: del_move_copy(ed); break;
    case K_EXEC: exec(ed); break;
    case K_PASTE_COPY:
    case K_PASTE_MOVE: use_buf(ed, k); break;
    case K_RESPECIFY:
      // Lines from another event point have no range here to respecify.
      if (ed->xcopy_target) ed->beep = true;
      else respecify(ed);
      break;
    case 6: external_copy(ed, pcb, ed->ctx); break;
    case 4: search(ed, 0); break;
    case 5: search(ed, 1); break;
    case K_BROWSE: browse_zel(ed, pcb, ed->ctx); break;
    case K_PREV_IMAGE: browse_pop(ed); break;
    default: ed->beep = true; break;
  }
}

// The key loop until END or CANCEL ends the run: 1, or 0 when a nested
// external-copy editor was left with CANCEL.
int key_loop(se_ed_blk* ed, PCB* pcb) {
  loop l{ed};
  for (;;) {
    ed->view_only = is_view_only(pcb);
    hilight_range(ed);
    l.read();
    sane_cursor(ed);
    const uint32_t raw = ed->key;
    option_override(ed);
    const uint32_t k = ed->key;
    if (scroll_key(k)) {
      scroll(ed, k);
      continue;
    }
    if (ed->state == SE_AUDIT_ADDED || ed->state == SE_AUDIT_CHANGED) {
      ed->state = SE_NORMAL;
      asm_scr(ed);
    }
    if ((k == LK_END || k == LK_CANCEL) && !range_state(ed->state) && !nested()) {
      ed->ctx[SEC_CHANGED] = ed->changed ? 1 : 0;
      if (save(ed, k)) return 1;
      continue;
    }
    if (ed->view_only && changes_lines(k)) {
      if (range_state(ed->state)) ed->state = SE_NORMAL;
      ed->beep = true;
      continue;
    }
    if (k != K_XCOPY) edit_key(ed, pcb, k);
    else if (xcopy(ed, raw)) return raw == LK_CANCEL ? 0 : 1;
  }
}

// Steps 4-6 of the start: surfaces, windows, pages. 0 or a start status.
int make_screen(se_ed_blk* ed) {
  SRF_BLK sb{0, ed->rows, ed->cols};
  ed->srf = WM_CREATE_SRF(&sb, com.sys_scope);
  SRF_BLK sb2{0, com.scr_rows - 3, com.scr_cols};
  ed->srf2 = ed->srf ? WM_CREATE_SRF(&sb2, com.sys_scope) : nullptr;
  if (!ed->srf || !ed->srf2) return SE_ST_SURFACE;
  WND_BLK w;
  const int S = ed->srows, R = ed->rows, W = ed->cols;
  struct {
    se_pane* p;
    int row, rows;
  } panes[] = {{&ed->ctx_pane, 1, 1},  {&ed->stmt_pane, 2, S},   {&ed->opt_pane, R - 1, 2},
               {&ed->opt_help, 2, S},  {&ed->ep_help, 2, S},     {&ed->warn_ap, 2, 1},
               {&ed->warn_file, 2, 1}, {&ed->search_pane, 2, 1}, {&ed->replace_pane, 2, 1}};
  for (auto& p : panes) {
    p.p->wnd = make_window(&w, p.row, 1, p.rows, W, ed->srf);
    if (!p.p->wnd) return SE_ST_ATTACH;
    p.p->attached = true;
    p.p->text.assign(size_t(p.rows) * size_t(W), ' ');
  }
  return 0;
}

// A help page's line and the screen row it stands on.
struct help_line {
  int row;
  const char* text;
};

constexpr help_line kOptHelp[] = {
    {3, "STATEMENT EDITOR OPTION KEY DEFINITIONS"},
    {6, "RETURN  -  RETURN           End     -  END             Cancel   -  CANCEL"},
    {8, "First   -  SCROLL FIRST     Add     -  ADD MODE        Search   -  USER 4"},
    {9, "Last    -  SCROLL LAST      Delete  -  DELETE MODE     Replace  -  USER 5"},
    {10, "Prev    -  SCROLL PREV      Change  -  CHANGE MODE     Clear    -  USER 10"},
    {11, "Next    -  SCROLL NEXT      Move    -  USER 1          Restore  -  USER 11"},
    {12, "Up      -  SCROLL UP        Copy    -  USER 2          Errors   -  USER 12"},
    {13, "Down    -  SCROLL DOWN      Xcopy   -  USER 3          Help     -  HELP"},
    {15, "Save    -  USER 0      Upper/Lower  -  USER 6  Skip Replacement -  USER 8"},
    {16, "Print   -  PRT SCREEN    Repsecify  -  USER 7      Replace All  -  USER 9"},
};

constexpr help_line kEpHelp[] = {
    {3, "EVENT POINT DESCRIPTION MAPPING"},
    {6, "01 - Start of Process      21 - Start of Frame         41 - Pre-display/Verify"},
    {7, "02 - Set Default Values    22 - Select Image           42 - Pre-display"},
    {8, "03 - Post PCF Read         23 - Display                43 - Post Display"},
    {9, "04 - Pre-PCF Update        24 - Option Intercept       44 - Verify"},
    {10, "05 - Post PCF Update       25 - End of Frame           61 - Pre-invocation"},
    {11, "06 - End of Process                                    62 - Post Invocation"},
    {12, "09 - Query Pre-execute"},
    {13, "07 - Query Pre-select      10 - Query Post Execute     01 - Subroutine"},
    {14, "08 - Query Post Select     11 - Set Extended Values"},
};

// Text at the start of a pane's row, cut at the pane's width.
void put_line(se_pane& p, int width, int row, const char* text) {
  const size_t n = std::min(strlen(text), size_t(width));
  memcpy(p.text.data() + size_t(row - 1) * size_t(width), text, n);
}

// The help pages (lines below the window left out), the warnings in their
// attribute, and the search and replace prompts.
void fill_pages(se_ed_blk* ed) {
  const int W = ed->cols;
  for (const help_line& h : kOptHelp)
    if (h.row <= ed->srows) put_line(ed->opt_help, W, h.row, h.text);
  for (const help_line& h : kEpHelp)
    if (h.row <= ed->srows) put_line(ed->ep_help, W, h.row, h.text);
  put_line(ed->warn_ap, W, 1, "WARNING - Application not found in application file");
  put_line(ed->warn_file, W, 1, "WARNING - File not found");
  for (se_pane* p : {&ed->warn_ap, &ed->warn_file}) {
    CHR_BLK c{};
    c.row = 1, c.col = 1, c.rows = 1, c.cols = W, c.value = 0x240;
    p->chr.push_back(c);
  }
  // The prompts: "Search For" with its input at column 31; " OLD =" and
  // "NEW =" with theirs at 8 and 48.
  ed->search_str.fill(' '), ed->old_str.fill(' '), ed->new_str.fill(' ');
  put_line(ed->search_pane, W, 1, "Search For");
  ed->search_pane.itm.push_back(se_alpha_item(1, 31, 30, ed->search_str.data()));
  put_line(ed->replace_pane, W, 1, " OLD =");
  memcpy(ed->replace_pane.text.data() + 41, "NEW =", 5);
  ed->replace_pane.itm.push_back(se_alpha_item(1, 8, 30, ed->old_str.data()));
  ed->replace_pane.itm.push_back(se_alpha_item(1, 48, 30, ed->new_str.data()));
}

// The pages over the statement window: written once, then detached.
int write_pages(se_ed_blk* ed) {
  fill_pages(ed);
  for (se_pane* p : {&ed->opt_help, &ed->ep_help, &ed->warn_ap, &ed->warn_file, &ed->search_pane, &ed->replace_pane}) {
    if (!wm_write_reg(p->wnd, reinterpret_cast<const uint8_t*>(p->text.data()), p->itm, p->chr)) return SE_ST_REGION;
    if (!wm_detach(p->wnd, 0)) return SE_ST_DETACH;
    p->attached = false;
  }
  // The context line, in reverse.
  char* ctx = ed->ctx_pane.text.data();
  set_context_line(ctx, ed->ctx, ed->cols);
  CHR_BLK c{};
  c.row = 1, c.col = 1, c.rows = 1, c.cols = ed->cols, c.value = 0x80;
  ed->ctx_pane.chr.assign(1, c);
  if (!wm_write_reg(ed->ctx_pane.wnd, reinterpret_cast<const uint8_t*>(ctx), {}, ed->ctx_pane.chr)) return SE_ST_REGION;
  return 0;
}

// The module's part of step 3: the run's control block and application.
void run_statics(se_ed_blk* ed, PCB* pcb) {
  the_pcb = pcb;
  memcpy(se_ap, ed->ctx + SEC_AP, 3);
  memcpy(se_ver, ed->ctx + SEC_VER, 2);
  clean_slate = 1;
}

// Steps 9-14 of the start: the statement file, the cut buffer, the kept
// files, the key template, and the lines loaded and drawn. 0, or the
// status the context receives.
int open_run(se_ed_blk* ed) {
  uint32_t stat = 0;
  ed->stmt_arb = open_stmt_file(ed, &stat);
  if (!ed->stmt_arb) return int(stat % 256 ? stat % 256 : 255);
  ed->cut_arb = create_cut_buffer();
  if (!ed->cut_arb) return 255;
  if (const int st = se_open_dict(se_ap, se_ver)) return st;
  key_template(ed);
  se_options(ed, "Accessing Statements", "Please Wait", true);
  SHOW_BLK once = ed->show;
  once.show_flags = SHOW_REFRESH;
  editors_seams.se_show(&once, nullptr);
  se_normal_options(ed);
  // A nested run shows its messages through the outer run's file.
  if (!ed->msgs) ed->msgs = la_create_fi(79, com.proc_scope);
  if (!process_stmts(ed)) return 255;
  asm_scr(ed);
  if (const uint32_t msg = ld_le32(ed->ctx, SEC_START_MSG); msg && ed->msgs) la_add_msg(ed->msgs, &msg, 3, {});
  return 0;
}

// The start of a nested external-copy run on the outer run's block: its
// screen, windows, work files, audit display and typed strings serve; the
// lines, the range, the browse stack and the files are the run's own (the
// outer run's come back with its block).
int start_nested(se_ed_blk* ed, PCB* pcb) {
  run_statics(ed, pcb);
  ed->lines = {};
  ed->n_lines = 0;
  ed->stmt_arb = ed->cut_arb = nullptr;
  ed->state = SE_NORMAL;
  ed->range_first = ed->range_last = 0;
  ed->rehilite = ed->changed = ed->xcopy_target = false;
  ed->cut_count = 0;
  ed->browse_stack.clear();
  ed->search_line = 0, ed->search_col = 0, ed->search_row = 0;
  memset(ed->dstmt_last, 0, kStmtSize);
  ed->bold = ed->ctx[SEC_TYPE] == 3;
  return open_run(ed);
}

// Steps 3-14 of the start; 0, or the status the context receives.
int start(se_ed_blk* ed, PCB* pcb) {
  run_statics(ed, pcb);
  ed->rows = com.scr_rows < 24 ? 21 : com.scr_rows - 3;
  ed->cols = std::max<int>(com.scr_cols, kSeLineMin);
  ed->srows = ed->rows - 3;
  ed->line_width = uint16_t(ed->cols);
  ed->line.assign(size_t(ed->cols) + 1, ' ');
  ed->row_prefix.resize(size_t(ed->srows));
  ed->row_verb.resize(size_t(ed->srows));
  ed->row_opnd.resize(size_t(ed->srows));
  ed->bold = ed->ctx[SEC_TYPE] == 3;
  if (const int st = make_screen(ed)) return st;
  if (const int st = write_pages(ed)) return st;
  se_options(ed, "", "", false);
  if (!audit_init(ed)) sys_err_log("Audit init failed date mask compile");
  audit_menu_init(ed);
  SHOW_BLK& b = ed->show;
  b = SHOW_BLK{};
  b.show_flags = SHOW_REFRESH | SHOW_INPUT;
  memcpy(b.keymap_name, "DATA ENTRY", 10);
  b.main_srf = ed->srf->id;
  b.pop_srf = ed->srf2->id;
  b.curs_type = CURS_MAIN;
  b.main_pos = {2, 1};
  return open_run(ed);
}

int rt_se_edit(RT_CALL& c) {
  // The context is the caller's 64-byte record: anything else is refused.
  if (!c.args[0].addr || c.args[0].len != kSeContextSize) return 0;
  return se_edit(c.pcb, c.args[0].addr);
}

}  // namespace

TWND* make_window(WND_BLK* blk, int row, int col, int rows, int cols, TSRF* srf) {
  INIT_WND(blk, row, col, rows, cols, 0);
  return WM_ATTACH(blk, srf, com.sys_scope);
}

std::vector<se_line*> se_lines(se_ed_blk* ed) {
  std::vector<se_line*> out;
  for (auto* l = static_cast<se_line*>(ed->lines.head); l; l = static_cast<se_line*>(l->link.next)) out.push_back(l);
  return out;
}

se_line* se_line_at(se_ed_blk* ed, int row) {
  if (row < 2) return nullptr;
  const uint32_t want = ed->first_shown + uint32_t(row - 2);
  uint32_t n = 1;
  for (auto* l = static_cast<se_line*>(ed->lines.head); l; l = static_cast<se_line*>(l->link.next), ++n)
    if (n == want) return l;
  return nullptr;
}

void se_renumber(se_ed_blk* ed) {
  uint32_t n = 0;
  for (se_line* l : se_lines(ed)) st_le32(l->rec, STMT_SEQ, ++n);
  ed->n_lines = n;
}

void se_free_lines(se_ed_blk* ed) {
  for (se_line* l : se_lines(ed)) OLD_LINE(l, &ed->lines);
  ed->n_lines = 0;
}

int process_stmts(se_ed_blk* ed) {
  ed->cur_row = 2, ed->cur_col = 1;
  se_free_lines(ed);
  ed->state = SE_NORMAL;
  ed->colour = 1;
  ed->first_shown = 1;
  const uint32_t named = ld_le32(ed->ctx, SEC_LINE);
  uint32_t n = 0;
  for (ie_rec& r : ie_scan(ed->stmt_arb, 0, ed->key_tmpl, kStmtSize, kStmtKeyPrefix)) {
    se_tok_kept tok{};
    if (token_verb(stmt_view(r.data()).verb())) cnv_token(r.data(), se_ver, 1, 1, &tok);
    se_line* node = nullptr;
    if (!NEW_LINE(&node, r.data(), &ed->lines)) return sys_err(kModule, __LINE__, "process_stmts() - NEW_LINE"), 0;
    node->tok = tok;
    st_le32(node->rec, STMT_SEQ, ++n);
  }
  ed->n_lines = n;
  if (n) clean_slate = 0;
  if (named >= 1 && named <= n) {
    const int S = ed->srows;
    ed->first_shown = named;
    const uint32_t back = std::min<uint32_t>(uint32_t(S / 2), named - 1);
    ed->first_shown -= back;
    ed->cur_row = 2 + int(back);
    while (ed->first_shown > 1 && n - ed->first_shown + 2 < uint32_t(S)) --ed->first_shown, ++ed->cur_row;
  }
  return 1;
}

void se_cleanup(se_ed_blk* ed) {
  audit_menu_clr(ed);
  for (se_pane* p : {&ed->ctx_pane, &ed->stmt_pane, &ed->opt_pane, &ed->opt_help, &ed->ep_help, &ed->warn_ap,
                     &ed->warn_file, &ed->help_pane, &ed->search_pane, &ed->replace_pane})
    if (p->wnd) wm_detach(p->wnd, 1), p->wnd = nullptr;
  if (ed->stmt_arb) FM_CLOSE(ed->stmt_arb, ARB_CLOSE_NOW), ed->stmt_arb = nullptr;
  if (ed->msgs) FM_CLOSE(ed->msgs, ARB_SCRATCH), ed->msgs = nullptr;
  se_close_dict();
  for (TSRF** s : {&ed->srf, &ed->srf2})
    if (*s) wm_destroy_srf(*s), *s = nullptr;
}

namespace {

// What the module keeps for the edit run going on. A run started from
// within another (browse, external copy) puts back all of it when it ends,
// so the outer run goes on with its own application, control block and
// files; the inner one opens files of its own.
struct se_module_state {
  PCB* pcb = the_pcb;
  char ap[3] = {se_ap[0], se_ap[1], se_ap[2]}, ver[2] = {se_ver[0], se_ver[1]};
  uint8_t slate = clean_slate;
  ARB* files[4] = {cur_delem_arb, lang_delem_arb, cur_dtoken_arb, lang_dtoken_arb};
  const uint8_t* context = se_cur_context;
  se_module_state() { cur_delem_arb = lang_delem_arb = cur_dtoken_arb = lang_dtoken_arb = nullptr; }
  ~se_module_state() {
    the_pcb = pcb;
    memcpy(se_ap, ap, 3), memcpy(se_ver, ver, 2);
    clean_slate = slate;
    cur_delem_arb = files[0], lang_delem_arb = files[1], cur_dtoken_arb = files[2], lang_dtoken_arb = files[3];
    se_cur_context = context;
  }
};

}  // namespace

se_ed_blk* xcopy_ed = nullptr;

int se_edit(PCB* pcb, uint8_t* ctx) {
  load_zel_spellings();
  int result = 0;
  {
    const se_module_state outer;
    // A nested external-copy run takes the outer run's block.
    se_ed_blk* const taken = nested() ? xcopy_ed : nullptr;
    std::unique_ptr<se_ed_blk> own;
    se_ed_blk* ed = taken;
    if (!ed) own = std::make_unique<se_ed_blk>(), ed = own.get();
    ed->ctx = ctx;
    ctx[SEC_STATUS] = 0;
    if (const int st = taken ? start_nested(ed, pcb) : start(ed, pcb)) {
      ctx[SEC_STATUS] = uint8_t(st);
    } else {
      // The image editor's client requests read the context of the run.
      se_cur_context = ctx;
      result = key_loop(ed, pcb);
    }
    se_free_lines(ed);
    if (ed->cut_arb) FM_CLOSE(ed->cut_arb, ARB_SCRATCH), ed->cut_arb = nullptr;
    if (!taken) {
      se_cleanup(ed);
    } else {
      // The screen stays the outer run's; only this run's files go.
      if (ed->stmt_arb && !FM_CLOSE(ed->stmt_arb, ARB_CLOSE_NOW))
        sys_err(kModule, __LINE__, "se_edit() - mem stmt close");
      ed->stmt_arb = nullptr;
      se_close_dict();
    }
  }
  if (editors_seams.se_returned) editors_seams.se_returned(ctx, result);
  return result;
}

const char* se_get_ver(const char* ap) { return ap ? ap + 3 : nullptr; }

void se_register() { rt_add_fn({"SE_EDIT", rt_se_edit, 1, 0}); }

}  // namespace kivo
