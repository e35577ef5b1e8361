// Ranges of lines: delete, move and copy through a two-step selection and
// the cut buffer; and browse jumps within the list (a loop's or read
// block's other end, a label) with the stack that PREV IMAGE undoes.
//
// Invariants: the cut buffer holds copies of the marked lines in order;
// a line pasted from it is a new line with this run's added stamp. The
// browse stack holds line ids, never nodes: a line deleted or moved since
// the jump is looked for in the list and, when gone, the entry is dropped.
#include <algorithm>
#include <cstring>

#include "compiler/stmt_view.h"
#include "editors/ie_internal.h"
#include "editors/se_edit.h"
#include "editors/stmt_line.h"
#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "screen/tm_keys.h"

namespace kivo {

namespace {

constexpr const char* kModule = "SE";
constexpr uint32_t kHelpOpt = 280;

const char* through_prompt(uint16_t st) {
  return st == SE_DELETE_RANGE ? "Delete Through What?     RETURN (Current Line)               4)Search"
         : st == SE_MOVE_RANGE ? "Move Through What?       RETURN (Current Line)               4)Search"
                               : "Copy Through What?       RETURN (Current Line)               4)Search";
}
const char* cancel_prompt(uint16_t st) {
  if (xcopy_opt) return "Cancel (Cancel XCopy)";
  return st == SE_DELETE_RANGE                         ? "Cancel (Cancel Delete)"
         : st == SE_MOVE_RANGE || st == SE_MOVE_TARGET ? "Cancel (Cancel Move)"
                                                       : "Cancel (Cancel Copy)";
}

uint32_t seq_of(const se_line* l) { return stmt_view(l->rec).seq(); }

// Puts the list in `order` and numbers it 1..n.
void relink(se_ed_blk* ed, const std::vector<se_line*>& order) {
  ed->lines.head = order.empty() ? nullptr : order.front();
  ed->lines.tail = order.empty() ? nullptr : order.back();
  for (size_t i = 0; i < order.size(); ++i) {
    order[i]->link.prev = i ? order[i - 1] : nullptr;
    order[i]->link.next = i + 1 < order.size() ? order[i + 1] : nullptr;
  }
  se_renumber(ed);
}

void back_to_normal(se_ed_blk* ed) {
  ed->state = SE_NORMAL;
  ed->xcopy_target = false;
  ed->range_first = ed->range_last = 0;
  ed->rehilite = true;
  se_normal_options(ed);
}

void empty_cut_buffer(se_ed_blk* ed) {
  const uint8_t none[kStmtSize] = {};
  if (ed->cut_arb && !ie_del_prefix(ed->cut_arb, none, kStmtSize, 0)) sys_err(kModule, __LINE__, "exec() - fm_del_all");
  ed->cut_count = 0;
}

}  // namespace

void se_range_prompt(se_ed_blk* ed) {
  if (ed->xcopy_target)
    se_options(ed, "XCopy To Where?          RETURN (Current Line)               4)Search",
               "CANCEL (Cancel XCopy)               7)Respecify Range", true);
  else if (ed->state == SE_MOVE_TARGET || ed->state == SE_COPY_TARGET)
    se_options(ed,
               ed->state == SE_MOVE_TARGET ? "Move To Where?           RETURN (Current Line)               4)Search"
                                           : "Copy To Where?           RETURN (Current Line)               4)Search",
               ed->state == SE_MOVE_TARGET ? "Cancel (Cancel Move)                7)Respecify Range"
                                           : "Cancel (Cancel Copy)                7)Respecify Range",
               true);
  else se_options(ed, through_prompt(ed->state), cancel_prompt(ed->state), true);
}

se_line* se_get_cur_line(se_ed_blk* ed) { return se_line_at(ed, ed->cur_row); }

uint32_t se_line_no(se_ed_blk* ed, const se_line* l) {
  uint32_t n = 0;
  for (se_line* x : se_lines(ed)) {
    ++n;
    if (x == l) return n;
  }
  return 0;
}

void del_move_copy(se_ed_blk* ed) {
  se_line* l = se_get_cur_line(ed);
  if (!l) return back_to_normal(ed), void(ed->beep = true);
  ed->range_first = ed->range_last = seq_of(l);
  ed->respecify_line = ed->first_shown;
  ed->respecify_row = ed->cur_row;
  ed->respecify_sno = seq_of(l);
  se_options(ed, through_prompt(ed->state), cancel_prompt(ed->state), true);
}

void respecify(se_ed_blk* ed) {
  ed->state = ed->state == SE_MOVE_TARGET || ed->state == SE_MOVE_RANGE ? SE_MOVE_RANGE
              : ed->state == SE_DELETE_RANGE                            ? SE_DELETE_RANGE
                                                                        : SE_COPY_RANGE;
  ed->first_shown = ed->respecify_line;
  ed->cur_row = ed->respecify_row;
  se_fill_view(ed);
  ed->range_first = ed->range_last = ed->respecify_sno;
  ed->rehilite = true;
  se_options(ed, through_prompt(ed->state), cancel_prompt(ed->state), true);
}

namespace {

// A delete of more than one line waits for RETURN; false when the delete
// was cancelled or respecified instead (the screen then handled).
bool confirm_delete(se_ed_blk* ed) {
  se_options(ed, "RETURN To Execute Delete", "Cancel (Cancel Delete)              7)Respecify Range", true);
  for (;;) {
    hilight_range(ed);
    se_read(ed);
    const uint32_t k = ed->key;
    if (k == LK_ENTER) return true;
    if (k == LK_CANCEL) {
      ed->first_shown = ed->respecify_line, ed->cur_row = ed->respecify_row;
      se_fill_view(ed);
      back_to_normal(ed);
      return false;
    }
    if (k == 7) {
      respecify(ed);
      return false;
    }
    if (k == kHelpOpt || k == 276) help(ed, the_pcb);
    else ed->beep = true;
  }
}

// The marked lines [lo, hi] into the cut buffer, in order; keep gets the
// others. False when the buffer cannot be written (reported).
bool cut_range(se_ed_blk* ed, uint32_t lo, uint32_t hi, std::vector<se_line*>& keep, std::vector<se_line*>& cut) {
  empty_cut_buffer(ed);
  for (se_line* x : se_lines(ed)) {
    const uint32_t n = seq_of(x);
    if (n < lo || n > hi) {
      keep.push_back(x);
      continue;
    }
    if (!ie_put(ed->cut_arb, x->rec, kStmtSize)) return sys_err(kModule, __LINE__, "exec() - fm_write"), false;
    ++ed->cut_count;
    cut.push_back(x);
  }
  return true;
}

}  // namespace

void exec(se_ed_blk* ed) {
  se_line* l = se_get_cur_line(ed);
  ed->range_last = l ? seq_of(l) : ed->n_lines;
  if (ed->range_first > ed->range_last) std::swap(ed->range_first, ed->range_last);
  const uint32_t lo = ed->range_first, hi = ed->range_last;
  const uint16_t st = ed->state;
  if (st == SE_DELETE_RANGE && hi > lo && !confirm_delete(ed)) return;
  std::vector<se_line*> keep;
  std::vector<se_line*> cut;
  if (!cut_range(ed, lo, hi, keep, cut)) return;
  if (st != SE_DELETE_RANGE) {
    ed->state = st == SE_MOVE_RANGE ? SE_MOVE_TARGET : SE_COPY_TARGET;
    se_range_prompt(ed);
    return;
  }
  for (se_line* x : cut) OLD_LINE(x, &ed->lines);
  relink(ed, keep);
  if (ed->first_shown > lo) ed->first_shown = ed->first_shown > hi ? ed->first_shown - (hi - lo + 1) : lo;
  se_fill_view(ed);
  ed->changed = true;
  back_to_normal(ed);
  asm_scr(ed);
}

void use_buf(se_ed_blk* ed, uint32_t key) {
  se_line* target = se_get_cur_line(ed);
  const bool move = key == 102;
  if (move && target && seq_of(target) >= ed->range_first && seq_of(target) <= ed->range_last) {
    ed->beep = true;
    return;
  }
  if (move) {
    for (se_line* x : se_lines(ed))
      if (seq_of(x) >= ed->range_first && seq_of(x) <= ed->range_last) OLD_LINE(x, &ed->lines);
    se_renumber(ed);
  }
  const uint8_t none[kStmtSize] = {};
  for (ie_rec& r : ie_scan(ed->cut_arb, 0, none, kStmtSize, 0)) {
    se_line* node = se_new_line_before(ed, target, r.data());
    if (!node) return sys_err(kModule, __LINE__, "use_buf() - fm_start");
    // The owner is the edited event point's (lines from another one too).
    memcpy(node->rec, ed->key_tmpl, kStmtKeyPrefix);
    audit_update_add(ed, node->rec);
  }
  se_renumber(ed);
  se_fill_view(ed);
  ed->changed = true;
  back_to_normal(ed);
  asm_scr(ed);
}

// ---- browse within the list ----

se_line* se_find_label(se_ed_blk* ed, const char* name, uint32_t* line_no) {
  uint32_t n = 0;
  for (se_line* x : se_lines(ed)) {
    ++n;
    if (n < ed->first_shown && ed->first_shown <= ed->n_lines) continue;
    if (stmt_view(x->rec).verb() == VERB_LABEL && memcmp(x->rec + STMT_OPND, name, 30) == 0) {
      if (line_no) *line_no = n;
      return x;
    }
  }
  // Above the window too.
  n = 0;
  for (se_line* x : se_lines(ed)) {
    ++n;
    if (stmt_view(x->rec).verb() == VERB_LABEL && memcmp(x->rec + STMT_OPND, name, 30) == 0) {
      if (line_no) *line_no = n;
      return x;
    }
  }
  return nullptr;
}

se_line* se_find_loop(se_ed_blk*, int verb, const char* key, size_t key_len, se_line* start, int forward) {
  for (se_line* x = start; x; x = static_cast<se_line*>(forward ? x->link.next : x->link.prev))
    if (stmt_view(x->rec).verb() == verb && memcmp(x->rec + STMT_OPND, key, key_len) == 0) return x;
  return nullptr;
}

void se_center_around_line(se_ed_blk* ed, int, se_line* line) {
  const uint32_t n = se_line_no(ed, line);
  if (!n) return;
  const uint32_t half = uint32_t(ed->srows / 2);
  ed->first_shown = n > half ? n - half : 1;
  ed->cur_row = 2 + int(n - ed->first_shown);
  se_fill_view(ed);
  ed->cur_row = 2 + int(n - ed->first_shown);
  asm_scr(ed);
}

void se_browse_stack(se_ed_blk* ed, se_line* target, se_line* cur) {
  if (cur) ed->browse_stack.push_back(cur->id);
  se_center_around_line(ed, 0, target);
}

void browse_zel(se_ed_blk* ed, PCB* pcb, uint8_t* ctx) {
  se_line* cur = se_get_cur_line(ed);
  if (!cur) return browse_invoke(ed, pcb, ctx, nullptr);
  const uint8_t* op = cur->rec + STMT_OPND;
  const char* text = reinterpret_cast<const char*>(op);
  const auto next = [](se_line* l) { return static_cast<se_line*>(l->link.next); };
  const auto prev = [](se_line* l) { return static_cast<se_line*>(l->link.prev); };
  se_line* target = nullptr;
  switch (stmt_view(cur->rec).verb()) {
    // A loop by its index (4 bytes), a read block by its file (application
    // id and name).
    case VERB_BEG_LOOP: target = se_find_loop(ed, VERB_END_LOOP, text, 4, next(cur), 1); break;
    case VERB_END_LOOP: target = se_find_loop(ed, VERB_BEG_LOOP, text, 4, prev(cur), 0); break;
    case VERB_BEG_READ: target = se_find_loop(ed, VERB_END_READ, text, 11, next(cur), 1); break;
    case VERB_END_READ: target = se_find_loop(ed, VERB_BEG_READ, text, 11, prev(cur), 0); break;
    case VERB_GOTO: target = se_find_label(ed, text, nullptr); break;
    case VERB_GOSUB:
      // A label of the list, else the subroutine of that name.
      if (!(target = se_find_label(ed, text + 3, nullptr))) return browse_invoke(ed, pcb, ctx, cur);
      break;
    default: return browse_invoke(ed, pcb, ctx, cur);
  }
  if (target) se_browse_stack(ed, target, cur);
}

void browse_pop(se_ed_blk* ed) {
  while (!ed->browse_stack.empty()) {
    const uint32_t id = ed->browse_stack.back();
    ed->browse_stack.pop_back();
    for (se_line* x : se_lines(ed))
      if (x->id == id) return se_center_around_line(ed, 0, x);
  }
  ed->beep = true;
}

}  // namespace kivo
