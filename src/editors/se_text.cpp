// A STMT record as the editor's line and back: the line of a record with
// the row's items and characteristic runs, and the checked reading of a
// typed line into the record.
//
// Invariant: fields are shown and read only through stmt_layout's per-type
// code, so a line shown and read back gives the same record.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "compiler/em_item.h"
#include "compiler/stmt_view.h"
#include "editors/se_edit.h"
#include "foundation/bytes.h"
#include "foundation/com.h"

namespace kivo {

namespace {

constexpr char kBold[] = "BOLD    ", kNoBold[] = "NO BOLD ";
constexpr int kVerbCol = 7, kCommentEnd = 70;

bool is_comment_or_label(int verb) { return verb == VERB_COMMENT || verb == VERB_COMMENT2 || verb == VERB_LABEL; }

bool is_free_text(int verb) {
  return verb == VERB_COMMENT || verb == VERB_COMMENT2 || verb == VERB_CANCEL || verb == VERB_ERROR ||
         verb == VERB_MESSAGE || verb == VERB_WARNING;
}

bool is_occ(uint16_t t) {
  return t == XT_OCC || t == XT_OCC2 || t == XT_NUMBER || t == XT_LOOP_INDEX || t == XT_LOOP_BOUND;
}

int shown_verb(const uint8_t* rec) {
  const int v = stmt_view(rec).verb();
  return v < kVerbCount ? v : VERB_LABEL;
}

// The defaults of a new line's fields (flags 0x02, 0x04, 0x08, 0x80).
void put_defaults(const xme_stmt& f, uint8_t* opnd) {
  uint8_t* out = opnd + f.rec_off;
  if (f.flags & XF_DEFAULT) {
    if (f.type == XT_AP) memcpy(out, se_ap, 3);
    if (is_occ(f.type)) st_le16(out, 0, 1), st_le16(out, 2, OCC_NUMBER);
    if (f.type == XT_INVOC) *out = 2;
    if (f.type == XT_DIGIT3 || f.type == XT_DIGIT2) *out = 0;
  }
  if (f.type == XT_YN && (f.flags & XF_YES)) *out = '1';
  if (f.type == XT_YN && (f.flags & XF_NO)) *out = '0';
  if (f.type == XT_DIGIT9 && (f.flags & XF_ONE)) *out = 1;
}

// Rows are kept from 1; the copies grow to hold `row`.
void ensure_row(se_ed_blk* ed, int row) {
  const size_t n = static_cast<size_t>(row);
  if (ed->row_prefix.size() < n) ed->row_prefix.resize(n), ed->row_verb.resize(n), ed->row_opnd.resize(n);
}

void add_run(se_ed_blk* ed, int row, int col, int cols, uint32_t value, int item_col) {
  if (cols <= 0) return;
  CHR_BLK b{};
  b.row = row;
  b.col = col;
  b.rows = 1;
  b.cols = cols;
  b.value = value;
  b.item_row = item_col ? row : 0;
  b.item_col = item_col;
  ed->stmt_chr.push_back(b);
}

// Notes what the check needs of one field, in layout order.
void note_field(const xme_stmt* f, const uint8_t* opnd, se_chk* c) {
  auto put = [f](const xme_stmt*& first, const xme_stmt*& second) {
    if (!first) first = f;
    else if (!second) second = f;
  };
  switch (f->type) {
    case XT_AP: put(c->ap1, c->ap2); break;
    case XT_FIELD: put(c->fld1, c->fld2); break;
    case XT_OCC:
    case XT_OCC2: put(c->occ1, c->occ2); break;
    case XT_FILE:
      if (!c->file) c->file = f;
      break;
    case XT_PROC: c->proc = f; break;
    case XT_ARITH: c->op_pm = opnd[f->rec_off] == 'P' || opnd[f->rec_off] == 'M'; break;
    case XT_AREA:
    case XT_AREA4:
      c->area = f;
      c->area_field = opnd[f->rec_off] == AREA_FIELD;
      break;
  }
}

// A "C" line whose verb is no verb: kept as a comment holding the typed
// verb, a blank and columns 16-70; a column after 70 has no room.
int keep_as_comment(const se_ed_blk* ed, uint8_t* rec, int* err_col) {
  const char* l = ed->line.data();
  for (int c = kCommentEnd + 1; c <= ed->line_width; ++c)
    if (l[c - 1] != ' ') return *err_col = c, 0;
  st_le16(rec, STMT_VERB, VERB_COMMENT);
  uint8_t* opnd = rec + STMT_OPND;
  memcpy(opnd, l + kVerbCol - 1, kVerbLen);
  opnd[kVerbLen] = ' ';
  memcpy(opnd + kVerbLen + 1, l + kOpndCol - 1, kCommentEnd - kOpndCol + 1);
  return 1;
}

}  // namespace

TITM se_alpha_item(int row, int col, int width, char* addr) {
  CITM c;
  ALPHA_PREP(&c);
  c.citm_row = row;
  SET_ITM(&c, static_cast<uint16_t>(width), reinterpret_cast<uint8_t*>(addr), col);
  TITM t{};
  t.tl_row = t.br_row = row;
  t.tl_col = col;
  t.br_col = col + width - 1;
  t.cnv = c.citm_cnv;
  return t;
}

int se_gen_stmt(se_ed_blk* ed, uint8_t* rec, int row, int verb_off) {
  if (ed->line.size() < ed->line_width) ed->line.resize(ed->line_width);
  char* l = ed->line.data();
  memset(l, ' ', ed->line_width);
  const int verb = shown_verb(rec);
  if (stmt_view(rec).verb() < kVerbCount) memcpy(l, rec + STMT_PREFIX, kSePrefixLen);
  if (!verb_off) {
    const char* spell = stmt_verb_spell(verb);
    if (ed->bold && verb == VERB_BRIGHT) spell = kBold;
    if (ed->bold && verb == VERB_DIM) spell = kNoBold;
    memcpy(l + kVerbCol - 1, spell, kVerbLen);
    if (const char* t = zel_spell_tbl[verb]) memcpy(l + kOpndCol - 1, t, std::min(strlen(t), kSeOpndLen));
  }
  if (row) {
    ensure_row(ed, row);
    if (!is_comment_or_label(verb))
      ed->stmt_itm.push_back(se_alpha_item(row, 1, kSePrefixLen, ed->row_prefix[row - 1].data()));
    ed->stmt_itm.push_back(se_alpha_item(row, kVerbCol, kSeVerbLen, ed->row_verb[row - 1].data()));
    asm_stmt_chr(ed, rec, row);
  }
  uint8_t* opnd = rec + STMT_OPND;
  for (const xme_stmt* f = xme_stmt_desc[verb]; f->type; ++f) {
    if (f->type == XT_FILLER) continue;
    if (row)
      ed->stmt_itm.push_back(
          se_alpha_item(row, kOpndCol + f->scr_col, f->scr_width, ed->row_opnd[row - 1].data() + f->scr_col));
    if (ed->state == SE_NEW_LINE) put_defaults(*f, opnd);
    stmt_show_field(*f, opnd, l);
  }
  if (row) {
    memcpy(ed->row_prefix[row - 1].data(), l, kSePrefixLen);
    memcpy(ed->row_verb[row - 1].data(), l + kVerbCol - 1, kSeVerbLen);
    memcpy(ed->row_opnd[row - 1].data(), l + kOpndCol - 1, kSeOpndLen);
  }
  return 1;
}

void asm_stmt_chr(se_ed_blk* ed, const uint8_t* rec, int row) {
  std::erase_if(ed->stmt_chr, [row](const CHR_BLK& b) { return b.row == row; });
  const int verb = shown_verb(rec);
  const uint32_t base = ed->upper ? 0x340F : 0x300F, other = ed->upper ? 0x300F : 0x340F;
  const uint32_t text = is_free_text(verb) ? other : base;
  const uint16_t st = ed->state;
  const uint32_t hi = st == SE_RANGE_SHOWN ? 0x40 : 0;
  const uint32_t sep = hi;
  const bool typing = st == SE_EDIT_LINE || st == SE_NEW_LINE;
  if (is_comment_or_label(verb)) {
    add_run(ed, row, 1, 6, sep, 0);
  } else {
    add_run(ed, row, 1, 5, ((base & ~0x1001u) | (typing ? 0x1041 : 0)) | hi, 1);
    add_run(ed, row, 6, 1, sep, 0);
  }
  add_run(ed, row, kVerbCol, 8, ((text & ~0x1005u) | (st == SE_EDIT_VERB ? 0x1045 : 0)) | hi, kVerbCol);
  add_run(ed, row, 15, 1, sep, 0);
  // Operand fields and the uncovered runs, in column order.
  std::vector<const xme_stmt*> parts;
  for (const xme_stmt* f = xme_stmt_desc[verb]; f->type; ++f)
    if (f->scr_width) parts.push_back(f);
  std::sort(parts.begin(), parts.end(), [](auto* a, auto* b) { return a->scr_col < b->scr_col; });
  for (const xme_stmt* f : parts) {
    const int col = kOpndCol + f->scr_col;
    if (f->type == XT_FILLER) add_run(ed, row, col, f->scr_width, sep, 0);
    else add_run(ed, row, col, f->scr_width, ((text & ~0x1005u) | (typing ? 0x1045 : 0)) | hi, col);
  }
}

namespace {

// Reads the verb's fields into opnd, noting their states and what the
// check reads; the leftmost column of a bad or missing field, or 0, with
// its fault.
int read_fields(const se_ed_blk* ed, const char* l, int verb, uint8_t* opnd, se_chk& chk, int* states,
                se_fault* fault) {
  int n = 0, bad = 0;
  for (const xme_stmt* f = xme_stmt_desc[verb]; f->type; ++f) {
    if (f->type == XT_FILLER) continue;
    const int state = stmt_read_field(*f, l, verb, opnd);
    states[n++] = state;
    note_field(f, opnd, &chk);
    const int col = kOpndCol + f->scr_col;
    const bool missing = !ed->accept && state != FLD_PRESENT && (f->flags & XF_REQUIRED);
    if ((state == FLD_INVALID || missing) && (!bad || col < bad))
      bad = col, *fault = state == FLD_INVALID ? SE_FAULT_TEXT : SE_FAULT_REQUIRED;
  }
  return bad;
}

// The state of the field at screen column `col`; FLD_PRESENT for none.
int state_at(int verb, const int* states, int col) {
  int n = 0;
  for (const xme_stmt* f = xme_stmt_desc[verb]; f->type; ++f) {
    if (f->type == XT_FILLER) continue;
    if (kOpndCol + f->scr_col == col) return states[n];
    ++n;
  }
  return FLD_PRESENT;
}

// A field put in "0LA", or one of its own, is shown again with "---".
void show_again_if_replaced(se_ed_blk* ed, uint8_t* rec, const se_chk& chk, const se_chk_out& out, bool checked) {
  const uint8_t* opnd = rec + STMT_OPND;
  const char* ap1 = chk.ap1 ? reinterpret_cast<const char*>(opnd + chk.ap1->rec_off) : nullptr;
  if (!out.replaced &&
      !(checked && ap1 && chk.fld1 && is_pdf(ap1, reinterpret_cast<const char*>(opnd + chk.fld1->rec_off))))
    return;
  const uint16_t st = ed->state;
  ed->state = SE_NORMAL;
  se_gen_stmt(ed, rec, 0, 0);
  ed->state = st;
}

// se_degen_stmt on a copy of the record, which its caller keeps only when
// the line is stored.
int degen(se_ed_blk* ed, uint8_t* rec, int* err_col, int* second_col) {
  ed->warning = ed->file_warning = ed->fault = 0;
  if (ed->line.size() < static_cast<size_t>(ed->line_width) + 1) ed->line.resize(ed->line_width + 1, ' ');
  const char* l = ed->line.data();
  uint8_t* opnd = rec + STMT_OPND;
  memset(opnd, ' ', kStmtOpndLen);
  // A "C" line, and any line that key 88 accepts, skips the check.
  const bool checked = l[0] != 'C' && !ed->accept;
  if (checked && !stmt_prefix_ok(l)) return ed->fault = SE_FAULT_PREFIX, *err_col = 1, 0;
  memcpy(rec + STMT_PREFIX, l, kSePrefixLen);
  const int verb = se_line_verb(ed, l);
  if (verb < 0 && checked) return ed->fault = SE_FAULT_VERB, *err_col = kVerbCol, 0;
  if (verb < 0) return keep_as_comment(ed, rec, err_col);
  st_le16(rec, STMT_VERB, static_cast<uint16_t>(verb));
  // The fields' states, the required ones and what the check reads.
  se_chk chk;
  chk.rec = rec;
  chk.verb = verb;
  int states[24];
  se_fault fault = SE_FAULT_NONE;
  int bad = read_fields(ed, l, verb, opnd, chk, states, &fault);
  se_chk_out out;
  if (checked) {
    validate(chk, &out);
    if (out.err_col && (!bad || out.err_col < bad)) bad = out.err_col, fault = out.fault;
  }
  if (bad) {
    int left = 0;
    if (!opt_req(rec, states, &left) && left && left < bad)
      bad = left, fault = state_at(verb, states, left) == FLD_INVALID ? SE_FAULT_TEXT : SE_FAULT_COMBINATION;
    ed->fault = fault;
    *err_col = bad;
    *second_col = out.second_col;
    return 0;
  }
  show_again_if_replaced(ed, rec, chk, out, checked);
  if (out.warn_col) {
    *err_col = out.warn_col;
    ed->warning = 1;
    ed->file_warning = chk.file && out.warn_col == kOpndCol + chk.file->scr_col;
  }
  return 1;
}

}  // namespace

int se_line_verb(const se_ed_blk* ed, const char* l) {
  if (ed->bold && memcmp(l + kVerbCol - 1, kBold, kVerbLen) == 0) return VERB_BRIGHT;
  if (ed->bold && memcmp(l + kVerbCol - 1, kNoBold, kVerbLen) == 0) return VERB_DIM;
  return stmt_find_verb(l + kVerbCol - 1);
}

int se_degen_stmt(se_ed_blk* ed, uint8_t* rec, int* err_col, int* second_col) {
  *err_col = *second_col = 0;
  uint8_t work[kStmtSize];
  memcpy(work, rec, kStmtSize);
  if (!degen(ed, work, err_col, second_col)) return 0;
  memcpy(rec, work, kStmtSize);
  return 1;
}

int alp_proc_type(char* buf, size_t len, int type, int upper) {
  memset(buf, ' ', len);
  if (type < 0 || type >= 13 || !com.ptype_names[type].ptr) return 0;
  const cstr& name = com.ptype_names[type];
  const size_t n = std::min<size_t>(name.len, len);
  memcpy(buf, name.ptr, n);
  if (upper)
    for (size_t i = 0; i < n; ++i) buf[i] = static_cast<char>(toupper(static_cast<unsigned char>(buf[i])));
  size_t k = n;
  while (k > 0 && buf[k - 1] == ' ') --k;
  return static_cast<int>(k);
}

}  // namespace kivo
