// Lines from another event point (external copy through a nested editor),
// the browse of what a line names (another process, a field, a file)
// through the design application's processes, and the pass file ZELEPASS
// those processes read and write.
//
// Invariants: ZELEPASS lives in the system scope of this engine (each
// designer's engine has its own); the editor writes its context there
// before a design process runs and reads the answer back after it. A
// nested editor's cut lines are copies: the nested run's files are gone
// when it returns.
#include <algorithm>
#include <cstring>

#include "compiler/pcb.h"
#include "compiler/stmt_view.h"
#include "editors/editors.h"
#include "editors/ie_internal.h"
#include "editors/se_edit.h"
#include "editors/stmt_line.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"
#include "types/element.h"
#include "types/element_view.h"

namespace kivo {

uint8_t xcopy_opt = 0;
ARB* xcopy_buf_arb = nullptr;
uint32_t xcopy_buf_rec_cnt = 0;

namespace {

constexpr const char* kModule = "SE";

ARB* pass_open(const char* ver) {
  FDB f;
  INIT_FDB(&f, FS_MEMORY, kSeContextSize, 0, nullptr, 0);
  INIT_SRC_PATH(&f.path, "0AD", ver, "ZELEPASS", PATH_DATA);
  if (FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return f.fdb_arb;
  if (f.fdb_stat != FM_NO_FILE) return nullptr;
  INIT_FDB(&f, FS_MEMORY, kSeContextSize, 0, nullptr, 0);
  INIT_SRC_PATH(&f.path, "0AD", ver, "ZELEPASS", PATH_DATA);
  if (FM_CREATE(&f, com.sys_scope, 1, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return f.fdb_arb;
  return nullptr;
}

// The first record into `rec` (held with `hold`): 1, or 0 when none.
int pass_first(ARB* a, uint8_t* rec, bool hold) {
  uint8_t key[kSeContextSize] = {};
  a->arb_rec = key;
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return 0;
  a->arb_rec = rec, a->arb_len = kSeContextSize, a->arb_mod = hold ? ARB_HOLD : 0;
  return fm_rdnxt(a);
}

// The source's context line on row 1, reverse bold, over the outer run's
// own: the window, or null when it does not attach.
TWND* source_line(se_ed_blk* ed, const uint8_t* ctx) {
  WND_BLK w;
  TWND* wnd = make_window(&w, 1, 1, 1, ed->cols, ed->srf);
  if (!wnd) return sys_err(kModule, __LINE__, "external_copy() - wm_attach"), nullptr;
  std::vector<char> text(size_t(ed->cols), ' ');
  set_context_line(text.data(), ctx, ed->cols);
  CHR_BLK c{};
  c.row = 1, c.col = 1, c.rows = 1, c.cols = ed->cols, c.value = 0xC0;
  if (!wm_write_reg(wnd, reinterpret_cast<const uint8_t*>(text.data()), {}, {&c, 1}))
    sys_err(kModule, __LINE__, "external_copy() - wm_write_reg failed");
  return wnd;
}

void sanitize(char* s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!s[i]) s[i] = ' ';
}

}  // namespace

int se_pass_put(const char* ver, const uint8_t* rec) {
  ARB* a = pass_open(ver);
  if (!a) return 0;
  uint8_t* keep = a->arb_rec;
  uint8_t old[kSeContextSize];
  int ok;
  if (pass_first(a, old, true)) {
    a->arb_rec = const_cast<uint8_t*>(rec), a->arb_len = a->arb_var_len = kSeContextSize, a->arb_mod = 0;
    ok = fm_rewrite(a);
  } else {
    a->arb_rec = const_cast<uint8_t*>(rec), a->arb_len = a->arb_var_len = kSeContextSize, a->arb_mod = 0;
    ok = fm_write(a);
  }
  a->arb_rec = keep;
  if (!ok) sys_err(kModule, __LINE__, "external_copy() - error writing record");
  FM_CLOSE(a, 0);
  return ok;
}

int se_pass_get(const char* ver, uint8_t* rec) {
  ARB* a = pass_open(ver);
  if (!a) return 0;
  uint8_t* keep = a->arb_rec;
  const int ok = pass_first(a, rec, false);
  a->arb_rec = keep;
  FM_CLOSE(a, 0);
  return ok;
}

int get_fld_info(se_ed_blk* ed, se_line* l, char* ap, char* name) {
  int col = 0;
  const int type = get_xme_type(ed, l->rec, 0, ap, &col);
  if (memcmp(ap, "---", 3) == 0) memcpy(ap, "0LA", 3);
  if (type != XT_FIELD && type != XT_FILE) return 0;
  const char* opnd = ed->row_opnd[size_t(ed->cur_row - 2)].data();
  memcpy(name, opnd + (col - kOpndCol), type == XT_FIELD ? 22 : 8);
  return type;
}

namespace {

// The nested run goes on on this block and this screen, under the source's
// context line; the block comes back whole afterwards. se_edit's result.
int run_nested(se_ed_blk* ed, PCB* pcb, uint8_t* chosen) {
  const se_ed_blk outer = *ed;
  TWND* source = source_line(ed, chosen);
  const uint8_t outer_level = xcopy_opt;
  se_ed_blk* const outer_taken = xcopy_ed;
  xcopy_opt = 1, xcopy_ed = ed;
  const int result = se_edit(pcb, chosen);
  xcopy_opt = outer_level, xcopy_ed = outer_taken;
  if (source && !wm_detach(source, 1)) sys_err(kModule, __LINE__, "external_copy() - wm_detach");
  *ed = outer;
  return result;
}

// The nested editor's buffer: its lines (when it ended well), the buffer
// then scratched.
std::vector<ie_rec> take_nested_buffer(int result) {
  std::vector<ie_rec> cut;
  const uint8_t none[kStmtSize] = {};
  if (!xcopy_buf_arb) return cut;
  if (result == 1) cut = ie_scan(xcopy_buf_arb, 0, none, kStmtSize, 0);
  if (!FM_CLOSE(xcopy_buf_arb, ARB_SCRATCH)) sys_err(kModule, __LINE__, "external_copy() - fm__scratch");
  xcopy_buf_arb = nullptr, xcopy_buf_rec_cnt = 0;
  return cut;
}

// The lines wait in the cut buffer for "XCopy To Where?".
void await_target(se_ed_blk* ed, std::vector<ie_rec>& cut) {
  const uint8_t none[kStmtSize] = {};
  if (!ie_del_prefix(ed->cut_arb, none, kStmtSize, 0)) sys_err(kModule, __LINE__, "use_buf() - fm_del_all");
  ed->cut_count = 0;
  for (auto& r : cut) {
    st_le32(r.data(), STMT_SEQ, ++ed->cut_count);
    memcpy(r.data(), ed->key_tmpl, kStmtKeyPrefix);
    if (!ie_put(ed->cut_arb, r.data(), kStmtSize)) sys_err(kModule, __LINE__, "xcopy() - fm_write");
  }
  ed->state = SE_COPY_TARGET;
  ed->xcopy_target = true;
  ed->range_first = ed->range_last = 0;
  se_range_prompt(ed);
}

}  // namespace

void external_copy(se_ed_blk* ed, PCB* pcb, uint8_t* ctx) {
  char ver[3] = {char(ctx[SEC_VER]), char(ctx[SEC_VER + 1]), 0};
  sanitize(ver, 2);
  const int row = ed->cur_row, col = ed->cur_col;
  if (!se_pass_put(ver, ctx)) return;
  se_run_design(ed, pcb, "ZEL EDITOR (XCOPY)", 2, false);
  uint8_t chosen[kSeContextSize];
  if (!se_pass_get(ver, chosen) || chosen[SEC_STATUS] == 'E') {
    ed->cur_row = row, ed->cur_col = col;
    return;
  }
  chosen[SEC_STATUS] = 0, chosen[SEC_CHANGED] = 0, chosen[SEC_MEMORY] = 0;
  st_le32(chosen, SEC_LINE, 0), st_le32(chosen, SEC_START_MSG, 0);
  const int result = run_nested(ed, pcb, chosen);
  ed->cur_row = row, ed->cur_col = col;
  asm_scr(ed);
  std::vector<ie_rec> cut = take_nested_buffer(result);
  if (!cut.empty()) await_target(ed, cut);
}

int xcopy(se_ed_blk* ed, uint32_t raw_key) {
  if (raw_key == LK_CANCEL) return 1;
  se_line* l = se_get_cur_line(ed);
  if (!l) return ed->beep = true, 0;
  const uint32_t n = stmt_view(l->rec).seq();
  if (xcopy_opt == 1) {
    ed->range_first = ed->range_last = n;
    xcopy_opt = 2;
    se_normal_options(ed);
    return 0;
  }
  ed->range_last = n;
  if (ed->range_first > ed->range_last) std::swap(ed->range_first, ed->range_last);
  // The range shown highlighted once, without input.
  hilight_range(ed);
  SHOW_BLK once = ed->show;
  once.show_flags = SHOW_REFRESH;
  once.curs_type = CURS_MAIN, once.main_pos = {ed->cur_row, ed->cur_col};
  editors_seams.se_show(&once, nullptr);
  const uint8_t none[kStmtSize] = {};
  if (!ie_del_prefix(ed->cut_arb, none, kStmtSize, 0)) sys_err(kModule, __LINE__, "xcopy() - fm_del_all");
  uint32_t count = 0;
  for (se_line* x : se_lines(ed)) {
    const uint32_t k = stmt_view(x->rec).seq();
    if (k < ed->range_first || k > ed->range_last) continue;
    if (!ie_put(ed->cut_arb, x->rec, kStmtSize)) return sys_err(kModule, __LINE__, "xcopy() - fm_write"), 1;
    ++count;
  }
  // The buffer goes to the outer editor, which scratches it.
  xcopy_buf_arb = ed->cut_arb, xcopy_buf_rec_cnt = count;
  ed->cut_arb = nullptr;
  xcopy_opt = 3;
  return 1;
}

namespace {

// The process type an invocation verb runs, 0 for other verbs.
int invoked_type(int verb) {
  switch (verb) {
    case VERB_MENU: return 1;
    case VERB_INPUT: return 2;
    case VERB_OUTPUT: return 3;
    case VERB_ACTION: return 4;
    case VERB_QUERY: return 5;
    case VERB_COPY:
    case VERB_SUBR:
    case VERB_GOSUB: return 6;
    case VERB_UPDATE: return 7;
    case VERB_JOB: return 8;
    case VERB_INQUIRY: return 9;
    case VERB_STATUS: return 10;
    case VERB_DISP: return 11;
    default: return 0;
  }
}

// The pass record of what line `l` names (1), or 0 when it names nothing
// browsable.
int browse_record(se_ed_blk* ed, se_line* l, uint8_t* pass) {
  const int verb = stmt_view(l->rec).verb();
  const uint8_t* op = l->rec + STMT_OPND;
  if (const int type = invoked_type(verb)) {
    // Another process: its application id and name; no owner, no event point.
    if (std::all_of(op + 3, op + 33, [](uint8_t c) { return c == ' '; })) return 0;
    memcpy(pass + SEC_AP, op, 3);
    if (memcmp(pass + SEC_AP, "   ", 3) == 0) memcpy(pass + SEC_AP, ed->ctx + SEC_AP, 3);
    memcpy(pass + SEC_PROC, op + 3, 30);
    pass[SEC_TYPE] = uint8_t(type);
    memset(pass + SEC_FRM_PART, 0, SEC_CHANGED - SEC_FRM_PART);
    return 1;
  }
  char ap[3], name[22];
  memset(name, ' ', sizeof name);
  const int type = get_fld_info(ed, l, ap, name);
  if (!type || !memcmp(ap, "   ", 3)) return 0;
  memcpy(pass + SEC_AP, ap, 3);
  memset(pass + SEC_PROC, ' ', 30);
  memset(pass + SEC_FRM_PART, 0, SEC_CHANGED - SEC_FRM_PART);
  pass[SEC_TYPE] = 255;
  if (type == XT_FILE) {
    memcpy(pass + SEC_PROC, name, 8);
    memcpy(pass + SEC_FRM_PART + 1, "FIL", 3);
    return 1;
  }
  // A field: the element says whether it is a work field and its file.
  bool opened = false;
  ARB* delem = se_delem_for(ap, &opened);
  uint8_t elem[kElementSize];
  const bool found = delem && se_read_elem(delem, name, elem);
  if (opened) FM_CLOSE(delem, 0);
  const bool work = found && elem[ELEM_CLASS] == '1';
  memcpy(pass + SEC_FRM_PART + 1, work ? "WRK" : "FLD", 3);
  if (found && !work) memcpy(pass + SEC_PROC, elem_view(elem).file(), 8);
  memcpy(pass + SEC_PROC + 8, name, 22);
  return 1;
}

}  // namespace

void browse_invoke(se_ed_blk* ed, PCB* pcb, uint8_t* ctx, se_line* l) {
  char ver[3] = {char(ctx[SEC_VER]), char(ctx[SEC_VER + 1]), 0};
  sanitize(ver, 2);
  uint8_t pass[kSeContextSize];
  memcpy(pass, ctx, kSeContextSize);
  if (l && browse_record(ed, l, pass)) {
    if (!se_pass_put(ver, pass)) return;
    se_run_design(ed, pcb, "ZEL EDITOR (BROWSE)", 6, false);
    asm_scr(ed);
    return;
  }
  // Nothing browsable: an event point chosen and shown in a nested run.
  if (!se_pass_put(ver, pass)) return;
  const int row = ed->cur_row, col = ed->cur_col;
  se_run_design(ed, pcb, "ZEL EDITOR (XCOPY)", 2, false);
  uint8_t chosen[kSeContextSize];
  if (se_pass_get(ver, chosen) && chosen[SEC_STATUS] != 'E') {
    chosen[SEC_STATUS] = 0, chosen[SEC_CHANGED] = 0, chosen[SEC_MEMORY] = 0;
    st_le32(chosen, SEC_LINE, 0), st_le32(chosen, SEC_START_MSG, 0);
    const uint8_t level = xcopy_opt;
    xcopy_opt = 0;
    se_edit(pcb, chosen);
    xcopy_opt = level;
  }
  ed->cur_row = row, ed->cur_col = col;
  asm_scr(ed);
}

}  // namespace kivo
