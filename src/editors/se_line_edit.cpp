// Typing statements: CHANGE MODE over the rows shown (`edit`), ADD MODE one
// new line at a time (`insert`), and the audit stamps of added and changed
// lines with their display in place of the operands.
//
// Invariants: typing goes into the rows' copies (their items point there);
// a row is converted into its record only at ENTER, and a refused row keeps
// its record. CANCEL in CHANGE MODE puts back every record shown as it was
// when the mode began, also those an earlier ENTER converted. A line added
// in this run carries only its added stamp.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "editors/editors.h"
#include "editors/se_edit.h"
#include "editors/stmt_line.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"
#include "process/pi_pcf.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"
#include "types/date_convert.h"
#include "types/date_mask.h"
#include "types/std_date.h"

namespace kivo {

namespace {

constexpr const char* kModule = "SE";
constexpr uint32_t kKeyAccept = 88, kHelpItem = 276, kHelpOpt = 280;
constexpr uint32_t kErrBits = 0x324F, kSecondBits = 0x304F;
constexpr int kVerbCol = 7;

bool is_comment(int v) { return v == VERB_COMMENT || v == VERB_COMMENT2; }

// Reads one key with the cursor where ed->cur_row/cur_col say; the field
// marks of the last refusal go back first.
struct marks {
  se_ed_blk* ed;
  std::vector<CHR_BLK> saved;
  void put(int row, int col, uint32_t bits) {
    TWND* w = ed->stmt_pane.wnd;
    if (!w) return;
    for (CHR_BLK& c : ed->stmt_chr)
      if (c.row == row - 1 && col >= c.col && col < c.col + c.cols) {
        saved.push_back(c);
        CHR_BLK m = c;
        m.value |= bits;
        w->reg_no = 1;
        if (!wm_upd_chr(w, &m, ~0u)) sys_err(kModule, __LINE__, "wm_upd_chr");
        return;
      }
  }
  void undo() {
    TWND* w = ed->stmt_pane.wnd;
    for (CHR_BLK& c : saved)
      if (w) w->reg_no = 1, wm_upd_chr(w, &c, ~0u);
    saved.clear();
  }
};

void read_key(se_ed_blk* ed, marks& m, se_pane* page = nullptr) {
  SHOW_BLK& b = ed->show;
  b.show_flags = uint8_t(SHOW_REFRESH | SHOW_INPUT | (ed->beep ? uint32_t(SHOW_BEEP) : 0u));
  ed->beep = false;
  b.curs_type = CURS_MAIN;
  b.main_pos = {ed->cur_row, ed->cur_col};
  b.input_stat = 0;
  if (!editors_seams.se_show(&b, ed->msgs)) sys_err(kModule, __LINE__, "stmt_edit() wm_show");
  if (ed->msgs) wm_msg_clear(ed->msgs);  // a refusal's message stays up until the next key
  ed->key = b.input_stat == KEY_STATUS_KEY ? b.key_code : uint32_t(LK_CANCEL);
  if (b.curs_type == CURS_MAIN && b.main_pos.row > 0) ed->cur_row = b.main_pos.row, ed->cur_col = b.main_pos.col;
  ed->cur_row = std::clamp(ed->cur_row, 2, ed->srows + 1);
  ed->cur_col = std::clamp(ed->cur_col, 1, ed->cols - 1);
  m.undo();
  if (page && page->attached && page->wnd) wm_detach(page->wnd, 0), page->attached = false;
}

// The text line of screen row `row` from its copies.
void line_from_copies(se_ed_blk* ed, int row) {
  char* l = ed->line.data();
  memset(l, ' ', ed->line_width);
  const size_t i = size_t(row - 2);
  memcpy(l, ed->row_prefix[i].data(), kSePrefixLen);
  memcpy(l + kVerbCol - 1, ed->row_verb[i].data(), kSeVerbLen);
  memcpy(l + kOpndCol - 1, ed->row_opnd[i].data(), kSeOpndLen);
}

// Screen row `row`'s copies from the text line `l` (the inverse of
// line_from_copies).
void copies_from_line(se_ed_blk* ed, int row, const char* l) {
  const size_t i = size_t(row - 2);
  memcpy(ed->row_prefix[i].data(), l, kSePrefixLen);
  memcpy(ed->row_verb[i].data(), l + kVerbCol - 1, kSeVerbLen);
  memcpy(ed->row_opnd[i].data(), l + kOpndCol - 1, kSeOpndLen);
}

// The statement window written again from the copies of the rows that
// hold lines, so that what was typed or put there shows as it will be
// read.
void redraw_copies(se_ed_blk* ed) {
  TWND* w = ed->stmt_pane.wnd;
  if (!w) return;
  const size_t W = size_t(ed->cols);
  const uint32_t shown = ed->n_lines >= ed->first_shown ? ed->n_lines - ed->first_shown + 1 : 0;
  for (int row = 2; row <= ed->srows + 1 && uint32_t(row - 1) <= shown; ++row) {
    line_from_copies(ed, row);
    memcpy(ed->stmt_pane.text.data() + size_t(row - 2) * W, ed->line.data(), std::min(W, size_t(ed->line_width)));
  }
  wm_del_reg(w, 0);
  w->reg_no = 1;
  if (!wm_write_reg(w, reinterpret_cast<const uint8_t*>(ed->stmt_pane.text.data()), ed->stmt_itm, ed->stmt_chr))
    sys_err(kModule, __LINE__, "edit() - asm_scr");
}

// The SCAN key on an operand: the chosen text into the row's copy at the
// column given; false when nothing was chosen.
bool scan_into_row(se_ed_blk* ed) {
  const int col = zel_scan(1, ed);
  if (!col) return false;
  const int at = col - kOpndCol;
  if (at < 0 || at >= int(kSeOpndLen)) return false;
  const size_t n = std::min(size_t(scan_len), kSeOpndLen - size_t(at));
  memcpy(ed->row_opnd[size_t(ed->cur_row - 2)].data() + at, se_scan + SCAN_RESULT, n);
  redraw_copies(ed);
  return true;
}

// Reads the next key (ed->key) of a line being edited, after the warning
// `*page` was shown with it; true when it was help or the scan of a name
// into the row, served here.
bool line_key_served(se_ed_blk* ed, marks& m, se_pane** page) {
  read_key(ed, m, *page);
  *page = nullptr;
  const uint32_t k = ed->key;
  if (k == kHelpOpt || k == kHelpItem) {
    kivo_help(1, ed);
    return true;
  }
  if (k == LK_SCAN) {
    if (!scan_into_row(ed)) ed->beep = true;
    return true;
  }
  return false;
}

void show_warning(se_ed_blk* ed, se_pane** shown) {
  se_pane* p = ed->file_warning ? &ed->warn_file : &ed->warn_ap;
  if (p->wnd && !p->attached && wm_reattach(p->wnd, ed->srf, {2, 1})) p->attached = true;
  *shown = p;
}

// Converts screen row `row` into its line's record. 1 passed; 0 stopped at
// an error or at a first warning, with the cursor placed there.
enum row_result { ROW_OK, ROW_ERROR, ROW_WARNING };
row_result convert_row(se_ed_blk* ed, int row, uint8_t* rec, bool accept, marks& m, int* err, int* second) {
  line_from_copies(ed, row);
  ed->accept = accept ? 1 : 0;
  const int ok = se_degen_stmt(ed, rec, err, second);
  ed->accept = 0;
  if (!ok) {
    if (*second) m.put(row, *second, kSecondBits);
    m.put(row, *err, kErrBits);
    se_say_fault(ed, se_fault(ed->fault), *err, *second);
    ed->cur_row = row, ed->cur_col = std::max(*err, 1);
    ed->beep = true;
    return ROW_ERROR;
  }
  if (ed->warning && *err && memcmp(ed->dstmt_last, rec, kStmtSize) != 0) {
    memcpy(ed->dstmt_last, rec, kStmtSize);
    ed->cur_row = row, ed->cur_col = *err;
    ed->beep = true;
    se_say_warning(ed, *err);
    return ROW_WARNING;
  }
  return ROW_OK;
}

bool text_part_equal(const uint8_t* a, const uint8_t* b) {
  return memcmp(a + STMT_PREFIX, b + STMT_PREFIX, kStmtSize - STMT_PREFIX) == 0;
}

// A converted record against its copy from before: changed text gets the
// changed stamp; text changed back keeps the stamps it had.
void stamp_if_changed(se_ed_blk* ed, const uint8_t* saved, uint8_t* rec) {
  if (text_part_equal(rec, saved)) memcpy(rec + STMT_CHG_STAMP, saved + STMT_CHG_STAMP, STMT_PREFIX - STMT_CHG_STAMP);
  else audit_update_chg(saved, ed, rec);
}

// The case flag flipped on a row being typed: its runs take the other
// input value.
void flip_case(se_ed_blk* ed, const uint8_t* rec, int row) {
  ed->upper = !ed->upper;
  asm_stmt_chr(ed, rec, row - 1);
  ed->stmt_pane.wnd->reg_no = 1;
  wm_upd_reg(ed->stmt_pane.wnd, {}, ed->stmt_chr);
}

void user_id(char* out) {
  const uint8_t* u = the_pcb ? pi_user_id(the_pcb) : nullptr;
  if (u) memcpy(out, u, 3);
  else memcpy(out, com.user_id, 3);
}

// Removes the line being inserted.
void drop_line(se_ed_blk* ed, se_line* node) {
  OLD_LINE(node, &ed->lines);
  se_renumber(ed);
}

}  // namespace

se_line* se_new_line_before(se_ed_blk* ed, se_line* before, const uint8_t* rec) {
  se_line* node = nullptr;
  if (!NEW_LINE(&node, rec, &ed->lines)) return nullptr;
  if (!before || before == node) return node;
  // NEW_LINE appended it: move it in front of `before`.
  ut_remove_from_lst(node, &node->link, &ed->lines);
  auto* prev = static_cast<se_line*>(before->link.prev);
  node->link.prev = prev;
  node->link.next = before;
  before->link.prev = node;
  if (prev) prev->link.next = node;
  else ed->lines.head = node;
  return node;
}

namespace {

// The records of the rows shown, as they were before the edit.
using saved_rows = std::vector<std::pair<se_line*, std::vector<uint8_t>>>;

// Flips upper/lower case: the rows are read back from their copies first.
void flip_rows_case(se_ed_blk* ed, const saved_rows& saved) {
  int err = 0, second = 0;
  for (size_t i = 0; i < saved.size(); ++i) {
    line_from_copies(ed, int(i) + 2);
    se_degen_stmt(ed, saved[i].first->rec, &err, &second);
  }
  ed->upper = !ed->upper;
  asm_scr(ed);
}

// Stores every row shown (accept: without the check); false while a row
// is refused or warned about.
bool store_rows(se_ed_blk* ed, const saved_rows& saved, bool accept, marks& m, se_pane** page) {
  for (size_t i = 0; i < saved.size(); ++i) {
    const int row = int(i) + 2;
    uint8_t* rec = saved[i].first->rec;
    int err = 0, second = 0;
    const row_result r = convert_row(ed, row, rec, accept, m, &err, &second);
    stamp_if_changed(ed, saved[i].second.data(), rec);
    if (r == ROW_WARNING) show_warning(ed, page);
    if (r != ROW_OK) return false;
  }
  return true;
}

}  // namespace

void edit(se_ed_blk* ed) {
  ed->state = SE_EDIT_LINE;
  asm_scr(ed);
  memset(ed->dstmt_last, 0, kStmtSize);
  se_options(ed, "", "Return To Save Edited Statements      Cancel (Cancel Changes)    6)Upper/Lower", true);
  saved_rows saved;
  for (int r = 2; r <= ed->srows + 1; ++r)
    if (se_line* l = se_line_at(ed, r)) saved.push_back({l, std::vector<uint8_t>(l->rec, l->rec + kStmtSize)});
  marks m{ed, {}};
  se_pane* page = nullptr;
  bool entered = false;
  for (;;) {
    if (line_key_served(ed, m, &page)) continue;
    const uint32_t k = ed->key;
    if (k == 6) {
      flip_rows_case(ed, saved);
    } else if (k == LK_CANCEL) {
      for (auto& [l, rec] : saved) memcpy(l->rec, rec.data(), kStmtSize);
      break;
    } else if (k == LK_ENTER || k == kKeyAccept) {
      if ((entered = store_rows(ed, saved, k == kKeyAccept, m, &page))) break;
    } else {
      ed->beep = true;
    }
  }
  if (entered) ed->changed = true;
  ed->state = SE_NORMAL;
  ed->upper = 1;
  se_normal_options(ed);
  asm_scr(ed);
}

namespace {

// The verb typed (or scanned) on a new line: a verb spelled in the current
// language, BOLD and NO BOLD when the editor shows them; -1 not one.
int typed_verb(const se_ed_blk* ed) {
  char v[kSeVerbLen];
  memcpy(v, ed->row_verb[size_t(ed->cur_row - 2)].data(), kSeVerbLen);
  for (char& c : v) c = char(toupper(static_cast<unsigned char>(c)));
  if (ed->bold && memcmp(v, "BOLD    ", 8) == 0) return VERB_BRIGHT;
  if (ed->bold && memcmp(v, "NO BOLD ", 8) == 0) return VERB_DIM;
  return stmt_find_verb(v);
}

// Verb entry on the new line's row: the verb entered, -1 on CANCEL.
int read_new_verb(se_ed_blk* ed, marks& m) {
  ed->state = SE_EDIT_VERB;
  asm_scr(ed, ed->cur_row);
  ed->cur_col = kVerbCol;
  for (;;) {
    read_key(ed, m);
    const uint32_t k = ed->key;
    bool scanned = false;
    if (k == LK_SCAN) {
      // The chosen verb acts as if typed and entered.
      if (zel_scan(0, ed)) {
        memcpy(ed->row_verb[size_t(ed->cur_row - 2)].data(), se_scan + SCAN_RESULT, kSeVerbLen);
        scanned = true;
      } else {
        ed->beep = true;
      }
    }
    if (k == kHelpOpt || k == kHelpItem) {
      kivo_help(0, ed);
    } else if (k == 6) {
      ed->upper = !ed->upper, asm_scr(ed, ed->cur_row);
    } else if (k == LK_CANCEL) {
      return -1;
    } else if (k == LK_ENTER || scanned) {
      if (const int verb = typed_verb(ed); verb >= 0) return verb;
      m.put(ed->cur_row, kVerbCol, kErrBits), ed->beep = true;
      line_from_copies(ed, ed->cur_row);
      se_say_fault(ed, SE_FAULT_VERB, kVerbCol, 0);
    } else if (k != LK_SCAN) {
      ed->beep = true;
    }
  }
}

// Operand entry on the new line: true once the line is converted into its
// record, false on CANCEL.
bool read_new_operands(se_ed_blk* ed, marks& m, se_line* node, int verb) {
  st_le16(node->rec, STMT_VERB, uint16_t(verb));
  ed->state = SE_NEW_LINE;
  // Comments are free text: their rows take the unfolded value whenever
  // the flag is on, so the flag stays on for them too.
  ed->upper = 1;
  asm_scr(ed, ed->cur_row);
  ed->cur_col = is_comment(verb) || verb == VERB_LABEL ? kOpndCol : 1;
  se_pane* page = nullptr;
  for (;;) {
    if (line_key_served(ed, m, &page)) continue;
    const uint32_t k = ed->key;
    if (k == 6) {
      flip_case(ed, node->rec, ed->cur_row);
    } else if (k == LK_CANCEL) {
      ed->upper = 1;
      return false;
    } else if (k == LK_ENTER || k == kKeyAccept) {
      int err = 0, second = 0;
      const row_result r = convert_row(ed, ed->cur_row, node->rec, k == kKeyAccept, m, &err, &second);
      if (r == ROW_WARNING) show_warning(ed, &page);
      if (r == ROW_OK) return true;
    } else {
      ed->beep = true;
    }
  }
}

}  // namespace

void insert(se_ed_blk* ed) {
  se_options(ed, "", "RETURN To Execute Insert           Cancel (Cancel Insert)        6)Upper/Lower", true);
  se_line* before = se_line_at(ed, ed->cur_row);
  se_line* node = se_new_line_before(ed, before, ed->key_tmpl);
  if (!node) {
    ed->key = LK_CANCEL;
    return;
  }
  se_renumber(ed);
  // The new line on the cursor's row (the last row shown when past the list).
  const int row = std::min(ed->cur_row, int(ed->n_lines - ed->first_shown) + 2);
  ed->cur_row = std::max(row, 2);
  marks m{ed, {}};
  const int verb = read_new_verb(ed, m);
  if (verb < 0 || !read_new_operands(ed, m, node, verb)) return drop_line(ed, node);
  audit_update_add(ed, node->rec);
  ed->changed = true;
  ed->key = LK_ENTER;
  ed->upper = 1;
  ed->state = SE_NORMAL;
  asm_scr(ed);
}

namespace {

// The line on its row in editing, holding the replaced text; its row.
int open_for_edit(se_ed_blk* ed, se_line* l, const std::vector<char>& line) {
  if (const uint32_t n = se_line_no(ed, l); n < ed->first_shown || n >= ed->first_shown + uint32_t(ed->srows))
    se_center_around_line(ed, 0, l);
  const int row = 2 + int(se_line_no(ed, l) - ed->first_shown);
  ed->state = SE_EDIT_LINE;
  asm_scr(ed, row);
  copies_from_line(ed, row, line.data());
  redraw_copies(ed);
  se_options(ed, "Make Changes to Statement Then Press RETURN                 6)Upper/Lower",
             "Cancel (Cancel Replace)                                     8)Skip Replacement", true);
  return row;
}

// Keys on the line until it is stored, skipped or the replace is cancelled
// (the record then back as saved).
se_replace_end edit_until_stored(se_ed_blk* ed, se_line* l, int row, const uint8_t* saved, marks& m, se_pane** page,
                                 int err, int second) {
  for (;;) {
    if (line_key_served(ed, m, page)) continue;
    const uint32_t k = ed->key;
    if (k == 6) {
      flip_case(ed, l->rec, row);
    } else if (k == 8 || k == LK_CANCEL) {
      memcpy(l->rec, saved, kStmtSize);
      return k == 8 ? SE_REPL_SKIP : SE_REPL_END;
    } else if (k == LK_ENTER) {
      const row_result r = convert_row(ed, row, l->rec, false, m, &err, &second);
      if (r == ROW_WARNING) show_warning(ed, page);
      if (r != ROW_OK) continue;
      stamp_if_changed(ed, saved, l->rec);
      return SE_REPL_DONE;
    } else {
      ed->beep = true;
    }
  }
}

}  // namespace

se_replace_end replace_line(se_ed_blk* ed, se_line* l, const std::vector<char>& line) {
  uint8_t saved[kStmtSize];
  memcpy(saved, l->rec, kStmtSize);
  ed->line = line;
  int err = 0, second = 0;
  const int ok = se_degen_stmt(ed, l->rec, &err, &second);
  const bool warned = ok && ed->warning && err && memcmp(ed->dstmt_last, l->rec, kStmtSize) != 0;
  if (ok && !warned) {
    stamp_if_changed(ed, saved, l->rec);
    return SE_REPL_DONE;
  }
  const int row = open_for_edit(ed, l, line);
  marks m{ed, {}};
  se_pane* page = nullptr;
  ed->cur_row = row, ed->cur_col = std::max(err, 1);
  ed->beep = true;
  if (warned) {
    memcpy(ed->dstmt_last, l->rec, kStmtSize);
    show_warning(ed, &page);
  } else {
    if (second) m.put(row, second, kSecondBits);
    m.put(row, err, kErrBits);
    line_from_copies(ed, row);  // the drawing used the line buffer
    se_say_fault(ed, se_fault(ed->fault), err, second);
  }
  const se_replace_end end = edit_until_stored(ed, l, row, saved, m, &page, err, second);
  ed->state = SE_NORMAL;
  ed->upper = 1;
  asm_scr(ed);
  return end;
}

// ---- audit stamps ----

int audit_init(se_ed_blk* ed) {
  ss_clock now;
  os_kivo_time(&now);
  ss_clock_store(ed->stamp, now);
  char mask[kDateMaskLen];
  memset(mask, ' ', sizeof mask);
  if (!ut_get_date_msk(se_ap, se_ver, mask)) return 0;
  date_msk_blk b{};
  auto compile = [&b, &mask] {
    b = date_msk_blk{};
    b.len = sizeof mask;
    b.mask = mask;
    b.first = LVL_CENTURY;
    b.last = LVL_HSEC;
    b.type = DT_TEXT_ANY;
    b.h24 = 1;
    return cv_cmpl_date_msk(&b);
  };
  int width = compile();
  if (!width) {
    // An application mask that does not compile: the built-in one serves.
    sys_err_log("Audit init failed date mask compile");
    memset(mask, ' ', sizeof mask);
    memcpy(mask, kBuiltinDateMask, strlen(kBuiltinDateMask));
    width = compile();
  }
  if (!width) return 0;
  ed->date_mask.assign(mask, mask + b.len);
  ed->date_mask_len = uint32_t(width);
  ed->date_type = b.doy;
  ed->date_first = b.first ? b.first : uint8_t(LVL_CENTURY);
  ed->date_last = b.last ? b.last : uint8_t(LVL_DAY);
  ed->date_h24 = b.h24;
  return 1;
}

void audit_update_add(se_ed_blk* ed, uint8_t* rec) {
  memcpy(rec + STMT_ADD_STAMP, ed->stamp, 8);
  memset(rec + STMT_CHG_STAMP, 0xFF, 8);
  user_id(reinterpret_cast<char*>(rec + STMT_ADD_USER));
  memset(rec + STMT_CHG_USER, ' ', 3);
}

void audit_update_chg(const uint8_t*, se_ed_blk* ed, uint8_t* rec) {
  if (memcmp(rec + STMT_ADD_STAMP, ed->stamp, 8) == 0) return;
  memcpy(rec + STMT_CHG_STAMP, ed->stamp, 8);
  user_id(reinterpret_cast<char*>(rec + STMT_CHG_USER));
}

int audit_get_str(se_ed_blk* ed, const uint8_t* rec, char* buf, int width) {
  const bool added = ed->state == SE_AUDIT_ADDED;
  if (!added && ed->state != SE_AUDIT_CHANGED) return 0;
  const uint8_t* stamp = rec + (added ? STMT_ADD_STAMP : STMT_CHG_STAMP);
  const bool none = std::all_of(stamp, stamp + 8, [](uint8_t c) { return c == 0xFF; });
  std::string text;
  if (none && added) text = "Added prior to version 2.0";
  if (none && !added) return 0;
  if (!none) {
    text = added ? "Added " : "Changed ";
    std::string date(ed->date_mask_len, ' ');
    uint8_t bin[8];
    memcpy(bin, stamp, 8);
    date_cnv c{};
    c.int_addr = bin, c.int_len = 8, c.type = DT_BIN;
    c.ext_addr = date.data(), c.ext_len = uint16_t(date.size());
    c.dspl_mask = ed->date_mask.data(), c.dspl_mask_len = uint8_t(ed->date_mask.size());
    c.dspl_doy = ed->date_type, c.dspl_h24 = ed->date_h24;
    c.elem_hi = ed->date_first, c.elem_lo = ed->date_last;
    if (ed->date_mask.empty() || dat_itoe(&c) != 1)
      return sys_err(kModule, __LINE__, "Audit get string failed date conversion"), 0;
    date.erase(date.find_last_not_of(' ') + 1);
    const int left = width - int(text.size() + date.size());
    if (left <= 4 + 2) text = "Date format is too long";
    else
      text +=
          date + " by " + std::string(reinterpret_cast<const char*>(rec + (added ? STMT_ADD_USER : STMT_CHG_USER)), 3);
  }
  const size_t n = std::min(text.size(), size_t(width));
  memcpy(buf, text.data(), n);
  return int(n);
}

int audit_menu_init(se_ed_blk* ed) {
  se_pane& p = ed->audit_menu;
  WND_BLK w;
  p.wnd = make_window(&w, 10, 28, 5, 24, ed->srf);
  if (!p.wnd) return sys_err(kModule, __LINE__, "Audit menu init failed window attach"), 0;
  p.text.assign(5 * 24, ' ');
  auto put = [&p](int row, int col, const char* t) { memcpy(p.text.data() + (row - 1) * 24 + col - 1, t, strlen(t)); };
  put(1, 5, "VIEW AUDIT INFO");
  put(3, 2, "1) Show Add Info   ");
  put(4, 2, "2) Show Change Info");
  CHR_BLK c{};
  c.row = 1, c.col = 1, c.rows = 1, c.cols = 24, c.value = 0xC0;
  p.chr.assign(1, c);
  if (!wm_write_reg(p.wnd, reinterpret_cast<const uint8_t*>(p.text.data()), {}, p.chr))
    return sys_err(kModule, __LINE__, "Audit menu init failed write of window region"), 0;
  if (!wm_detach(p.wnd, 0)) return sys_err(kModule, __LINE__, "Audit menu init failed window detach"), 0;
  return 1;
}

void audit_menu_show(se_ed_blk* ed) {
  se_pane& p = ed->audit_menu;
  if (!p.wnd || !wm_reattach(p.wnd, ed->srf, {10, 28}))
    return sys_err(kModule, __LINE__, "Audit menu show failed while reattaching window");
  const int row = ed->cur_row, col = ed->cur_col;
  ed->cur_row = 13, ed->cur_col = 29;
  marks m{ed, {}};
  read_key(ed, m);
  ed->state = ed->key == 1 ? SE_AUDIT_ADDED : ed->key == 2 ? SE_AUDIT_CHANGED : SE_NORMAL;
  if (!wm_detach(p.wnd, 0)) sys_err(kModule, __LINE__, "Audit menu show failed while detaching window");
  ed->cur_row = row, ed->cur_col = col;
  asm_scr(ed);
}

void audit_menu_clr(se_ed_blk* ed) {
  if (ed->audit_menu.wnd) wm_detach(ed->audit_menu.wnd, 1);
  ed->audit_menu.wnd = nullptr;
}

}  // namespace kivo
