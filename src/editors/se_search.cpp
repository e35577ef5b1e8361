// Searching the lines for a string (option 4, also inside a range, where a
// match moves the range end) and replacing one inside operand fields
// (option 5, each occurrence confirmed, or all at once with option 9).
//
// Invariants: matching is exact (case-sensitive); a replacement stays
// inside one operand field and never cuts a non-blank character off the
// field's end: such an occurrence is skipped with a beep.
#include <algorithm>
#include <cstring>
#include <string>

#include "compiler/stmt_view.h"
#include "editors/se_edit.h"
#include "editors/stmt_line.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"

namespace kivo {

namespace {

constexpr const char* kModule = "SE";
constexpr uint32_t kHelpOpt = 280, kHelpItem = 276;
constexpr const char* kTrailing = "To Indicate Trailing Spaces, Place a Single Underline After the Last Space";

bool range_state(uint16_t s) {
  return s == SE_DELETE_RANGE || s == SE_MOVE_RANGE || s == SE_MOVE_TARGET || s == SE_COPY_RANGE || s == SE_COPY_TARGET;
}

// A prompt page over row 2 with its inputs, shown until ENTER or CANCEL:
// the key that ended it.
uint32_t read_prompt(se_ed_blk* ed, se_pane& p, int col) {
  if (!p.wnd || !wm_reattach(p.wnd, ed->srf, {2, 1})) return sys_err(kModule, __LINE__, "search() - wm_reattach"), 0;
  p.attached = true;
  const int row = ed->cur_row, ccol = ed->cur_col;
  uint32_t k = 0;
  for (;;) {
    p.chr.clear();
    for (const TITM& it : p.itm) {
      CHR_BLK c{};
      c.row = 1, c.col = it.tl_col, c.rows = 1, c.cols = it.br_col - it.tl_col + 1,
      c.value = ed->upper ? 0x340F : 0x300F;
      c.item_row = 1, c.item_col = it.tl_col;
      p.chr.push_back(c);
    }
    wm_del_reg(p.wnd, 0);
    p.wnd->reg_no = 1;
    if (!wm_write_reg(p.wnd, reinterpret_cast<const uint8_t*>(p.text.data()), p.itm, p.chr))
      sys_err(kModule, __LINE__, "search() - wm_write_reg");
    ed->cur_row = 2, ed->cur_col = col;
    se_read(ed);
    k = ed->key;
    if (k == 6) ed->upper = !ed->upper;
    else if (k == kHelpOpt || k == kHelpItem) help(ed, the_pcb);
    else if (k == LK_ENTER || k == LK_CANCEL || k == LK_END) break;
    else ed->beep = true;
  }
  wm_detach(p.wnd, 0);
  p.attached = false;
  ed->cur_row = row, ed->cur_col = ccol;
  ed->upper = 1;
  return k;
}

// A one-row message over row 2 until a key: the key.
uint32_t message(se_ed_blk* ed, const char* text) {
  const size_t W = size_t(ed->cols);
  std::string t(W, ' ');
  t.replace(0, std::min(strlen(text), W), text, std::min(strlen(text), W));
  WND_BLK w;
  TWND* wnd = make_window(&w, 2, 1, 1, int(W), ed->srf);
  if (!wnd) return sys_err(kModule, __LINE__, "search() - wm_reattach failed"), uint32_t(LK_CANCEL);
  CHR_BLK c{};
  c.row = 1, c.col = 1, c.rows = 1, c.cols = int32_t(W), c.value = 0x40;
  wm_write_reg(wnd, reinterpret_cast<const uint8_t*>(t.data()), {}, {&c, 1});
  ed->beep = true;
  se_read(ed);
  wm_detach(wnd, 1);
  return ed->key;
}

// The line `l`'s text: whole, or only its operand fields.
const char* text_of(se_ed_blk* ed, se_line* l, bool operands) {
  se_gen_stmt(ed, l->rec, 0, operands ? 1 : 0);
  return ed->line.data();
}

// Where a search or replace begins: the cursor's line and column, or just
// after the last match when the cursor still stands on it.
void search_start(se_ed_blk* ed, uint32_t* from, int* col) {
  se_line* l = se_get_cur_line(ed);
  *from = l ? se_line_no(ed, l) : 1;
  *col = l ? ed->cur_col : 1;
  if (l && l->id == ed->search_line && ed->cur_col + 1 == ed->search_col) *col = ed->search_col;
}

// Shows line number `n` with the cursor at `col`, bold, the row shown bold
// before back to normal.
void show_match(se_ed_blk* ed, uint32_t n, int col) {
  if (ed->search_row) upd_chr(ed, ed->search_row, 0x40, 0);
  const uint32_t S = uint32_t(ed->srows);
  if (n < ed->first_shown || n >= ed->first_shown + S) {
    std::vector<se_line*> all = se_lines(ed);
    se_center_around_line(ed, 0, all[n - 1]);
  }
  ed->cur_row = 2 + int(n - ed->first_shown);
  ed->cur_col = col;
  ed->search_row = ed->cur_row;
  upd_chr(ed, ed->cur_row, 0x40, 1);
  ed->search_line = se_line_at(ed, ed->cur_row)->id, ed->search_col = col + 1;
}

struct match {
  se_line* line = nullptr;
  uint32_t n = 0;
  int col = 0;
};

// The next occurrence from line number `from_n` at column `from_col`.
match next_match(se_ed_blk* ed, uint32_t from_n, int from_col, const char* pat, int pat_len, bool operands) {
  uint32_t n = 0;
  for (se_line* l : se_lines(ed)) {
    if (++n < from_n) continue;
    const int start = n == from_n ? std::max(from_col, 1) : 1;
    const int W = ed->line_width;
    if (start > W) continue;
    const char* t = text_of(ed, l, operands);
    const int at = is_sub_str(t + start - 1, W - start + 1, pat, pat_len);
    if (at > 0) return {l, n, start + at - 1};
  }
  return {};
}

void replace_all(se_ed_blk* ed);
void end_replace(se_ed_blk* ed, bool last);

}  // namespace

size_t se_eff_len(const char* s, size_t n) {
  while (n > 0 && s[n - 1] == ' ') --n;
  return n;
}

int is_sub_str(const char* text, int text_len, const char* pat, int pat_len) {
  const size_t n = se_eff_len(pat, size_t(std::max(pat_len, 0)));
  if (!n || text_len < int(n)) return -1;
  // A final underline after other characters stands for a blank.
  std::string p(pat, n);
  if (n > 1 && p.back() == '_') p.back() = ' ';
  const std::string_view t(text, size_t(text_len));
  const size_t at = t.find(p);
  return at == std::string_view::npos ? -1 : int(at) + 1;
}

int chk_replace(const uint8_t* rec, char* line, int col, int old_len, const char* new_text, int new_len) {
  int verb = stmt_view(rec).verb();
  if (verb >= kVerbCount) verb = VERB_LABEL;
  const int at = col - kOpndCol;  // within the operand area
  for (const xme_stmt* f = xme_stmt_desc[verb]; f->type; ++f) {
    if (f->type == XT_FILLER || !f->scr_width) continue;
    const int a = f->scr_col, e = f->scr_col + f->scr_width;
    if (at < a || at >= e) continue;
    if (at + old_len > e) return 0;
    char* fld = line + kOpndCol - 1 + a;
    const int w = e - a, off = at - a;
    std::string after(fld + off + old_len, size_t(w - off - old_len));
    std::string out(fld, size_t(off));
    out.append(new_text, size_t(new_len)).append(after);
    // What would fall off the field's end must be blank.
    if (out.size() > size_t(w) && out.find_first_not_of(' ', size_t(w)) != std::string::npos) return 0;
    out.resize(size_t(w), ' ');
    memcpy(fld, out.data(), size_t(w));
    return 1;
  }
  return 0;
}

namespace {

// How a walk over the matches ended: done, RETURN on a new search, or the
// match taken as the range's end.
enum class walk_end { done, again, range_end };

// The match ends the range; in a target state it is the target only (the
// range cut stays what it was).
void end_range_at(se_ed_blk* ed, const match& m, uint16_t state) {
  se_center_around_line(ed, 0, m.line);
  ed->cur_col = m.col;
  if (state != SE_MOVE_TARGET && state != SE_COPY_TARGET) ed->range_last = stmt_view(m.line->rec).seq();
  ed->state = state;
  ed->rehilite = true;
  se_range_prompt(ed);
}

// No further match: the screen the search started from comes back when a
// match was shown; true when RETURN asks for a new search.
bool no_more_matches(se_ed_blk* ed, bool shown, int orig_row, int orig_col, uint32_t orig_first) {
  if (shown) {
    ed->first_shown = orig_first;
    asm_scr(ed);
    ed->search_row = 0;
    ed->cur_row = orig_row, ed->cur_col = orig_col;
  }
  se_options(ed, "", "RETURN To Begin New Search            Cancel (Cancel Search)", true);
  const uint32_t r = message(
      ed, shown ? "Last Occurrence of String Already on Screen" : "Search String Not Found - Cancel to Continue");
  return r == LK_ENTER;
}

// Shows match after match of pat while RETURN is pressed.
walk_end walk_matches(se_ed_blk* ed, const char* pat, bool in_range, uint16_t state) {
  uint32_t from = 1;
  int col = 1;
  search_start(ed, &from, &col);
  const int orig_row = ed->cur_row, orig_col = ed->cur_col;
  const uint32_t orig_first = ed->first_shown;
  bool shown = false;
  for (;;) {
    const match m = next_match(ed, from, col, pat, 30, false);
    if (!m.line) return no_more_matches(ed, shown, orig_row, orig_col, orig_first) ? walk_end::again : walk_end::done;
    if (in_range) {
      end_range_at(ed, m, state);
      return walk_end::range_end;
    }
    show_match(ed, m.n, m.col);
    shown = true;
    se_read(ed);
    if (ed->key != LK_ENTER) return walk_end::done;
    from = m.n, col = m.col + 1;
  }
}

}  // namespace

int search(se_ed_blk* ed, int replace) {
  const bool in_range = range_state(ed->state);
  const uint16_t state = ed->state;
  for (;;) {
    se_options(ed,
               replace ? "RETURN To Begin / Continue Replace     Cancel (Cancel Search)    6)Upper/Lower"
                       : "RETURN To Begin / Continue Search      Cancel (Cancel Search)    6)Upper/Lower",
               kTrailing, true);
    const uint32_t k = replace ? read_prompt(ed, ed->replace_pane, 8) : read_prompt(ed, ed->search_pane, 31);
    const char* pat = replace ? ed->old_str.data() : ed->search_str.data();
    if (k != LK_ENTER || !se_eff_len(pat, 30)) break;
    if (replace) {
      replace_all(ed);
      break;
    }
    const walk_end end = walk_matches(ed, pat, in_range, state);
    if (end == walk_end::range_end) return 1;
    if (ed->search_row) upd_chr(ed, ed->search_row, 0x40, 0), ed->search_row = 0;
    if (end != walk_end::again) break;
  }
  ed->state = state;
  if (in_range) ed->rehilite = true, se_range_prompt(ed);
  else se_normal_options(ed);
  return 1;
}

namespace {

// Shows the occurrence and waits for RETURN, 8 (skip), 9 (all), CANCEL or END.
uint32_t ask_replace(se_ed_blk* ed, const match& m) {
  show_match(ed, m.n, m.col);
  se_options(ed, "RETURN To Perform Replacement               8)Skip Replacement",
             "CANCEL (Cancel Replace)                     9)Replace All Without Verification", true);
  for (;;) {
    se_read(ed);
    const uint32_t k = ed->key;
    if (k == LK_ENTER || k == 8 || k == 9 || k == LK_CANCEL || k == LK_END) return k;
    ed->beep = true;
  }
}

// Replaces each occurrence of OLD by NEW in operand fields, confirmed one
// by one until option 9.
void replace_all(se_ed_blk* ed) {
  memset(ed->dstmt_last, 0, kStmtSize);
  const char* old_s = ed->old_str.data();
  const int old_len = int(se_eff_len(old_s, 30));
  const int new_len = int(se_eff_len(ed->new_str.data(), 30));
  std::string new_text(ed->new_str.data(), size_t(new_len));
  if (new_len > 1 && new_text.back() == '_') new_text.back() = ' ';
  uint32_t from = 1;
  int col = 1;
  search_start(ed, &from, &col);
  bool all = false;
  for (;;) {
    const match m = next_match(ed, from, col, old_s, 30, true);
    if (!m.line) break;
    from = m.n, col = m.col + 1;
    // The whole line with the occurrence replaced.
    se_gen_stmt(ed, m.line->rec, 0, 0);
    std::vector<char> line = ed->line;
    if (!chk_replace(m.line->rec, line.data(), m.col, old_len, new_text.data(), new_len)) {
      ed->beep = true;
      continue;
    }
    if (!all) {
      const uint32_t k = ask_replace(ed, m);
      if (k == 8) continue;
      if (k == LK_CANCEL || k == LK_END) return end_replace(ed, false);
      all = k == 9;
    }
    if (ed->search_row) upd_chr(ed, ed->search_row, 0x40, 0), ed->search_row = 0;
    const se_replace_end r = replace_line(ed, m.line, line);
    if (r == SE_REPL_END) return end_replace(ed, false);
    // The search goes on after the new text, which may hold OLD again.
    if (r == SE_REPL_DONE) ed->changed = true, col = m.col + new_len;
    asm_scr(ed);
  }
  end_replace(ed, true);
}

// The end of a replace: the bold row back to normal; after the last
// occurrence "Cancel To End Replace" until a key.
void end_replace(se_ed_blk* ed, bool last) {
  if (ed->search_row) upd_chr(ed, ed->search_row, 0x40, 0), ed->search_row = 0;
  asm_scr(ed);
  if (!last) return;
  se_options(ed, "", "Cancel To End Replace", true);
  se_read(ed);
}

}  // namespace

}  // namespace kivo
