// The editor's help: the general help and the toolbox (processes of the
// design application run over the editor's screen under a recovery point),
// the one-line field help while a line is typed, and the operand field
// under the cursor.
//
// Invariants: whatever the help or toolbox process does, the editor's
// cursor, control block, surfaces and kept dictionary files are as they
// were when it returns; a help text longer than the line is cut to it.
#include <algorithm>
#include <cstring>
#include <string>

#include "compiler/pcb.h"
#include "compiler/stmt_view.h"
#include "editors/editors.h"
#include "editors/se_edit.h"
#include "editors/stmt_line.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/invoc.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/process.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr const char* kModule = "SE";
constexpr uint32_t kMsgPrefix = 103270, kMsgVerb = 103120, kMsgFirstType = 103030;
constexpr int kVerbCol = 7;

}  // namespace

void se_run_design(se_ed_blk* ed, PCB* pcb, const char* name, int type, bool one_shot, const char* ap) {
  INVOC v = pi_invoc;
  memcpy(v.ap_id(), ap, 3), memcpy(v.ver(), "00", 2);
  v.set_proc_type(uint8_t(type));
  memset(v.proc_nam(), ' ', kProcNameLen);
  memcpy(v.proc_nam(), name, strlen(name));
  if (one_shot) v.set_one_shot(1);
  const uint32_t srf = ih_put(HK_SURFACE, ed->srf), srf2 = ih_put(HK_SURFACE, ed->srf2);
  if (pcb && !pcb->pcb_handle) pcb->pcb_handle = ih_put(HK_PCB, pcb);
  v.set_parent_srf(0, srf);
  v.set_parent_srf(1, one_shot ? srf : srf2);
  v.set_parent_pcb(pcb ? pcb->pcb_handle : 0);
  const SHOW_BLK show = ed->show;
  const int row = ed->cur_row, col = ed->cur_col;
  PCB* saved_pcb = the_pcb;
  // The toolbox opens dictionary files of its own: the editor's are put by.
  ARB* kept[4] = {cur_delem_arb, lang_delem_arb, cur_dtoken_arb, lang_dtoken_arb};
  if (one_shot) cur_delem_arb = lang_delem_arb = cur_dtoken_arb = lang_dtoken_arb = nullptr;
  MARK(MARK_RECOVERY, [&] { pi_exec(&v); });
  if (one_shot) {
    se_close_dict();
    cur_delem_arb = kept[0], lang_delem_arb = kept[1], cur_dtoken_arb = kept[2], lang_dtoken_arb = kept[3];
  }
  the_pcb = saved_pcb;
  ih_drop(srf), ih_drop(srf2);
  ed->show = show;
  ed->cur_row = row, ed->cur_col = col;
}

void help(se_ed_blk* ed, PCB* pcb) { se_run_design(ed, pcb, "ZEL EDITOR (HELP)", 2, false); }

void toolbox(se_ed_blk* ed, PCB* pcb) { se_run_design(ed, pcb, "ZEL EDITOR (TOOLBOX)", 2, true); }

int get_xme_type(se_ed_blk* ed, const uint8_t* rec, int must_blank, char* ap, int* col) {
  memset(ap, ' ', 3);
  *col = 0;
  int verb = stmt_view(rec).verb();
  if (verb >= kVerbCount) verb = VERB_LABEL;
  if (ed->cur_row < 2 || ed->cur_row > ed->srows + 1) return 0;
  const int at = ed->cur_col - kOpndCol;
  if (at < 0) return 0;
  const char* opnd = ed->row_opnd[size_t(ed->cur_row - 2)].data();
  for (const xme_stmt* f = xme_stmt_desc[verb]; f->type; ++f) {
    if (f->type == XT_FILLER) continue;
    if (at >= f->scr_col && at < f->scr_col + f->scr_width) {
      *col = kOpndCol + f->scr_col;
      if (must_blank &&
          !std::all_of(opnd + f->scr_col, opnd + f->scr_col + f->scr_width, [](char c) { return c == ' '; }))
        return XT_FILLER;
      return f->type;
    }
    if (f->type == XT_AP && f->scr_col < at) memcpy(ap, opnd + f->scr_col, 3);
  }
  return 0;
}

uint32_t se_type_help(int type) { return type >= 1 && type <= 24 ? kMsgFirstType + 10 * uint32_t(type - 1) : 0; }

void kivo_help(int opnd, se_ed_blk* ed) {
  // 1. The message: the prefix, the verb, or the field under the cursor.
  uint32_t msg = 0;
  se_line* l = se_line_at(ed, ed->cur_row);
  if (opnd && ed->cur_col >= 1 && ed->cur_col <= 5) msg = kMsgPrefix;
  else if (!opnd && ed->cur_col >= kVerbCol && ed->cur_col < kVerbCol + 8) msg = kMsgVerb;
  else if (opnd && l) {
    char ap[3];
    int col = 0;
    const int type = get_xme_type(ed, l->rec, 0, ap, &col);
    msg = se_type_help(type);
  }
  if (!msg) return help(ed, the_pcb);
  // 2. The text with its prompt, centred in the line; a longer text is cut.
  const size_t W = size_t(ed->cols);
  char text[256];
  if (!la_get_str(text, sizeof text, msg)) {
    sys_err(kModule, __LINE__, "kivo_help - la_xlate failed");
    text[0] = 0;
  }
  std::string t = std::string(text) + "  ( RETURN to continue )";
  se_pane& p = ed->help_pane;
  p.text.assign(W, ' ');
  const size_t n = std::min(t.size(), W);
  memcpy(p.text.data() + (W - n) / 2, t.data(), n);
  CHR_BLK c{};
  c.row = 1, c.col = 1, c.rows = 1, c.cols = int32_t(W), c.value = 0x40;
  p.chr.assign(1, c);
  auto* base = static_cast<TSRF*>(com.base_srf);
  WND_BLK w;
  p.wnd = base ? make_window(&w, 2, 1, 1, int(W), base) : nullptr;
  if (!p.wnd) return sys_err(kModule, __LINE__, "Help message area allocation failed");
  wm_write_reg(p.wnd, reinterpret_cast<const uint8_t*>(p.text.data()), {}, p.chr);
  SHOW_BLK b = ed->show;
  b.show_flags = SHOW_REFRESH | SHOW_INPUT;
  b.curs_type = CURS_MAIN;
  b.main_pos = {ed->cur_row, ed->cur_col};
  if (!editors_seams.se_show(&b, nullptr)) sys_err(kModule, __LINE__, "kivo_help() - wm_show");
  wm_detach(p.wnd, 1);
  p.wnd = nullptr;
}

}  // namespace kivo
