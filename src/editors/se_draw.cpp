// The statement editor's screen: the statement window drawn from the first
// line shown, the option lines, the context line and the highlight of rows.
//
// Invariants: the statement window is one region of S rows, rewritten whole;
// each row's items point into the row's own copies (se_ed_blk), which never
// move while the window shows them. A text longer than its line is clipped
// to the line, never placed before its first column.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "editors/se_edit.h"
#include "editors/stmt_line.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "screen/wm_region.h"

namespace kivo {

namespace {

constexpr const char* kModule = "SE";
constexpr int kOpndEnd = 79;  // the operand area ends at column 79

bool audit_state(uint16_t s) { return s == SE_AUDIT_ADDED || s == SE_AUDIT_CHANGED; }

void option_runs(se_ed_blk* ed, uint32_t value) {
  ed->opt_pane.chr.clear();
  for (int r = 1; r <= 2; ++r) {
    CHR_BLK c{};
    c.row = r, c.col = 1, c.rows = 1, c.cols = ed->cols, c.value = value;
    ed->opt_pane.chr.push_back(c);
  }
}

void option_value(se_ed_blk* ed, uint32_t value) {
  if (!ed->opt_pane.wnd) return;
  option_runs(ed, value);
  ed->opt_pane.wnd->reg_no = 1;
  for (const CHR_BLK& c : ed->opt_pane.chr)
    if (!wm_upd_chr(ed->opt_pane.wnd, &c, ~0u)) return sys_err(kModule, __LINE__, "cancel() - wm_upd_reg");
}

// The event point's name: its message, else three question marks.
std::string ep_name(int ep, int type) {
  uint32_t msg = 0;
  if (ep == 1) msg = type == 6 ? 1040 : 1030;
  else if (ep >= 2 && ep <= 10) msg = 1050 + 10 * uint32_t(ep - 2);
  else if (ep == 11) msg = 1250;
  else if (ep >= 21 && ep <= 25) msg = 1140 + 10 * uint32_t(ep - 21);
  else if (ep >= 41 && ep <= 44) msg = 1190 + 10 * uint32_t(ep - 41);
  else if (ep == 61) msg = 1230;
  else if (ep == 62) msg = 1240;
  char buf[81];
  if (msg && la_get_str(buf, sizeof buf, msg)) return buf;
  return "???";
}

}  // namespace

void se_options(se_ed_blk* ed, const char* l1, const char* l2, bool inverse) {
  se_pane& p = ed->opt_pane;
  if (!p.wnd) return;
  const size_t W = size_t(ed->cols);
  p.text.assign(2 * W, ' ');
  memcpy(p.text.data(), l1, std::min(strlen(l1), W));
  memcpy(p.text.data() + W, l2, std::min(strlen(l2), W));
  option_runs(ed, 0x100);
  p.wnd->reg_no = 1;
  if (!wm_write_reg(p.wnd, reinterpret_cast<const uint8_t*>(p.text.data()), {}, p.chr))
    return sys_err(kModule, __LINE__, "se_edit() - wm_write_reg");
  if (inverse) opt_inverse(ed);
}

void se_normal_options(se_ed_blk* ed) {
  // A nested external-copy run's are the prompt of its level.
  if (xcopy_opt == 1)
    return se_options(ed, "Start XCopy Where?       RETURN (Current Line)               4)Search",
                      "Cancel (Cancel XCopy)", true);
  if (xcopy_opt == 2)
    return se_options(ed, "End XCopy Where?         RETURN (Current Line)               4)Search",
                      "Cancel (Cancel XCopy)", true);
  se_options(ed, "", "1) Toolbox     2) Move     3) Copy     4) Search     5) Replace     6) XCopy", false);
}

void opt_standard(se_ed_blk* ed) { option_value(ed, 0x100); }
void opt_inverse(se_ed_blk* ed) { option_value(ed, 0x80); }

void asm_stmt(se_ed_blk* ed, int idx, uint8_t* rec) {
  const int row = idx + 1;
  if (audit_state(ed->state)) {
    se_gen_stmt(ed, rec, 0, 0);
    char stamp[kSeOpndLen + 1];
    const int n = audit_get_str(ed, rec, stamp, int(kSeOpndLen) - 2);
    char* l = ed->line.data();
    memset(l + kOpndCol - 1, ' ', size_t(kOpndEnd - kOpndCol + 1));
    if (n > 0) memcpy(l + kOpndEnd - n, stamp, size_t(n));
    CHR_BLK c{};
    c.row = row, c.col = 1, c.rows = 1, c.cols = ed->cols, c.value = 0;
    ed->stmt_chr.push_back(c);
    return;
  }
  // A line whose verb is being typed shows neither verb nor template.
  se_gen_stmt(ed, rec, row, ed->state == SE_EDIT_VERB);
}

void asm_scr(se_ed_blk* ed, int hot) {
  se_pane& p = ed->stmt_pane;
  const size_t W = size_t(ed->cols);
  const int S = ed->srows;
  ed->stmt_itm.clear();
  ed->stmt_chr.clear();
  p.text.assign(size_t(S) * W, ' ');
  if (!ed->n_lines) ed->first_shown = 1;
  ed->end_shown = false;
  const uint16_t state = ed->state;
  se_line* l = se_line_at(ed, 2);
  for (int r = 1; r <= S; ++r) {
    char* out = p.text.data() + size_t(r - 1) * W;
    if (!l) {
      memcpy(out, "[END]", 5);
      ed->end_shown = true;
      break;
    }
    // Rows other than the one being typed show as shown rows.
    ed->state = hot < 0 || hot == r + 1 || audit_state(state) ? state : uint16_t(SE_NORMAL);
    asm_stmt(ed, r - 1, l->rec);
    memcpy(out, ed->line.data(), std::min(W, size_t(ed->line_width)));
    l = static_cast<se_line*>(l->link.next);
  }
  ed->state = state;
  if (!p.wnd) return;
  if (!wm_del_reg(p.wnd, 0)) sys_err(kModule, __LINE__, "asm_scr() - wm_del_reg");
  p.wnd->reg_no = 1;
  if (!wm_write_reg(p.wnd, reinterpret_cast<const uint8_t*>(p.text.data()), ed->stmt_itm, ed->stmt_chr))
    sys_err(kModule, __LINE__, "process_stmts() - wm_write_reg");
}

int upd_chr(se_ed_blk* ed, int row, uint32_t bits, int set) {
  TWND* w = ed->stmt_pane.wnd;
  if (!w) return 0;
  w->reg_no = 1;
  bool first = true;
  for (CHR_BLK& c : ed->stmt_chr) {
    if (c.row != row - 1) continue;
    if (first) {
      first = false;
      continue;
    }
    c.value = set ? c.value | bits : c.value & ~bits;
    if (!wm_upd_chr(w, &c, ~0u)) return sys_err(kModule, __LINE__, "upd_chr() - wm_upd_chr"), 0;
  }
  return 1;
}

void hilight_range(se_ed_blk* ed) {
  const uint16_t st = ed->state;
  if (ed->rehilite) {
    ed->rehilite = false;
    asm_scr(ed);
  }
  const bool range = st == SE_DELETE_RANGE || st == SE_MOVE_RANGE || st == SE_MOVE_TARGET || st == SE_COPY_RANGE ||
                     st == SE_COPY_TARGET || xcopy_opt == 2 || xcopy_opt == 3;
  if (!range || !ed->stmt_pane.wnd) return;
  const uint32_t lo = std::min(ed->range_first, ed->range_last), hi = std::max(ed->range_first, ed->range_last);
  for (int r = 2; r <= ed->srows + 1; ++r) {
    const uint32_t n = ed->first_shown + uint32_t(r - 2);
    if (n >= lo && n <= hi && n <= ed->n_lines) upd_chr(ed, r, 0x40, 1);
  }
}

void set_context_line(char* buf, const uint8_t* ctx, int width) {
  const size_t W = size_t(width);
  memset(buf, ' ', W);
  std::string left(reinterpret_cast<const char*>(ctx + SEC_PROC), 30);
  left.erase(left.find_last_not_of(' ') + 1);
  const int ep = ctx[SEC_EP];
  char num[48];
  if (ep > 11) {
    snprintf(num, sizeof num, "(%d)%ld", ctx[SEC_FRM_PART], long(ld_le32(ctx, SEC_FRM_NO)));
    left += num;
  }
  if (ep > 25) {
    snprintf(num, sizeof num, ".%ld", long(ctx[SEC_IMG_NO]));
    left += num;
  }
  if (ep > 46) {
    snprintf(num, sizeof num, ".%ld", long(ld_le32(ctx, SEC_CHLD_NO)));
    left += num;
  }
  char type[31];
  const int tl = alp_proc_type(type, sizeof type - 1, ctx[SEC_TYPE], 0);
  std::string right(type, size_t(tl));
  right += "  (" + ep_name(ep, ctx[SEC_TYPE]) + ")";
  memcpy(buf, left.data(), std::min(left.size(), W));
  // A right part longer than the line starts at column 1, cut at its end.
  const size_t n = std::min(right.size(), W);
  memcpy(buf + (W - n), right.data(), n);
}

}  // namespace kivo
