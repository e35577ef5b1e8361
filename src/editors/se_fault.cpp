// What the statement editor says when it refuses a typed line: one message
// per fault of the check (se_fault), on the message row of the next show,
// with the text that was refused and, for a value of the wrong kind, the
// help of the field's kind. The messages are 103400 + 10 x (fault - 1);
// a warning's, 103530 (an application) and 103540 (a file).
//
// Invariant: the refused line is the one in ed->line; nothing of the
// record is read, since a refused record stays as it was.
#include <cstring>
#include <string>
#include <vector>

#include "editors/se_edit.h"
#include "fm/la.h"

namespace kivo {

namespace {

constexpr uint32_t kMsgFirstFault = 103400;
constexpr uint32_t kMsgNoApplication = 103530, kMsgNoFile = 103540;
constexpr int kPrefixCols = 5, kVerbCol = 7, kApCols = 3;

std::string trimmed(const char* p, size_t n) {
  std::string s(p, n);
  s.erase(s.find_last_not_of(' ') + 1);
  s.erase(0, s.find_first_not_of(' '));
  return s;
}

// The text of the line's columns `col` .. col + width - 1 (from 1), trimmed.
std::string columns(const se_ed_blk* ed, int col, int width) {
  if (col < 1 || size_t(col - 1 + width) > ed->line.size()) return "";
  return trimmed(ed->line.data() + col - 1, size_t(width));
}

// The operand field of `verb` at screen column `col`; null for none.
const xme_stmt* field_at(int verb, int col) {
  if (verb < 0 || verb >= kVerbCount) return nullptr;
  for (const xme_stmt* f = xme_stmt_desc[verb]; f->type; ++f)
    if (f->type != XT_FILLER && kOpndCol + f->scr_col == col) return f;
  return nullptr;
}

std::string help_of(const xme_stmt* f) {
  char text[kMsgTextMax + 1];
  const uint32_t msg = f ? se_type_help(f->type) : 0;
  return msg && la_get_str(text, sizeof text, msg) ? text : "";
}

std::string verb_word(int verb) {
  const char* v = stmt_verb_spell(verb);
  return v ? trimmed(v, kVerbLen) : "";
}

// "---" on the line stands for "0LA".
std::string application(const se_ed_blk* ed, int col) {
  const std::string ap = columns(ed, col, kApCols);
  return ap == "---" ? "0LA" : ap;
}

// The message's parameters for `fault` at `col`.
std::vector<std::string> parameters(const se_ed_blk* ed, se_fault fault, int col, int second) {
  const int verb = se_line_verb(ed, ed->line.data());
  const xme_stmt* f = field_at(verb, col);
  const std::string typed = f ? columns(ed, col, f->scr_width) : "";
  switch (fault) {
    case SE_FAULT_PREFIX: return {columns(ed, 1, kPrefixCols)};
    case SE_FAULT_VERB: return {columns(ed, kVerbCol, int(kVerbLen))};
    case SE_FAULT_TEXT: return {typed, help_of(f)};
    case SE_FAULT_REQUIRED: return {help_of(f)};
    case SE_FAULT_FIELD: return {typed, second ? application(ed, second) : ""};
    case SE_FAULT_TYPE: return {typed, verb_word(verb)};
    case SE_FAULT_SUBROUTINE: return {typed, std::string(se_ap, kApCols)};
    case SE_FAULT_COMBINATION: return {verb_word(verb)};
    default: return {typed};
  }
}

}  // namespace

void se_say_warning(se_ed_blk* ed, int col) {
  if (!ed->msgs) return;
  const xme_stmt* f = field_at(se_line_verb(ed, ed->line.data()), col);
  std::string typed = f ? columns(ed, col, f->scr_width) : "";
  if (!ed->file_warning && typed == "---") typed = "0LA";
  const cstr param{uint16_t(typed.size()), typed.data()};
  const uint32_t msg = ed->file_warning ? kMsgNoFile : kMsgNoApplication;
  la_add_msg(ed->msgs, &msg, 1, {&param, 1});
}

void se_say_fault(se_ed_blk* ed, se_fault fault, int col, int second) {
  if (!ed->msgs || fault == SE_FAULT_NONE || fault > SE_FAULT_COMBINATION) return;
  std::vector<std::string> texts = parameters(ed, fault, col, second);
  std::vector<cstr> params;
  for (std::string& t : texts) params.push_back({uint16_t(t.size()), t.data()});
  const uint32_t msg = kMsgFirstFault + 10 * uint32_t(fault - 1);
  la_add_msg(ed->msgs, &msg, 1, params);
}

}  // namespace kivo
