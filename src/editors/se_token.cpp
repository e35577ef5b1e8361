// The coded constants of SET, IF, AND and OR: a field whose values are the
// codes of a TOKEN group is compared with, or set to, a code; the line shows
// the token's text and the record stores the code's digits.
//
// Invariants: a constant that cannot be converted stays as it is, never
// half-converted; a code the user did not retype keeps its stored digits,
// whether or not its TOKEN record exists; the stored digits always fit the
// 22-byte constant and read as the compiler reads them (a blank-ended
// decimal, "-1" for no code).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "compiler/pc.h"
#include "compiler/stmt_view.h"
#include "editors/se_edit.h"
#include "fm/fm_open.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "types/element.h"
#include "types/element_view.h"

namespace kivo {

namespace {

// Operand offsets of the two-field comparison and move layouts.
enum : size_t { OP_AP1 = 4, OP_FLD1 = 7, OP_AP2 = 34, OP_CONST = 37 };
constexpr size_t kConstLen = 22;

// The element and TOKEN files of one application for one call.
struct tok_files {
  ARB* elem = nullptr;
  ARB* tok = nullptr;
  bool own = false;
  ~tok_files() {
    if (!own) return;
    if (elem) FM_CLOSE(elem, 0);
    if (tok) FM_CLOSE(tok, 0);
  }
};

bool open_files(const char* ap, const char* ver, int use_kept, tok_files* f) {
  if (use_kept && memcmp(ap, "0LA", 3) == 0)
    return f->elem = lang_delem_arb, f->tok = lang_dtoken_arb, f->elem && f->tok;
  if (use_kept && memcmp(ap, se_ap, 3) == 0) return f->elem = cur_delem_arb, f->tok = cur_dtoken_arb, f->elem && f->tok;
  f->own = true;
  f->elem = se_open_design(INIT_DELEM_FDB, ap, ver, com.mark_scope, nullptr);
  f->tok = f->elem ? se_open_design(INIT_DTOKEN_FDB, ap, ver, com.mark_scope, nullptr) : nullptr;
  return f->elem && f->tok;
}

// The code stored at the constant: digits from byte 37 (38 when 37 is
// blank) up to its end. False when there are none or they pass 32 bits.
bool stored_code(const uint8_t* c, int32_t* code) {
  size_t i = c[0] == ' ' ? 1 : 0;
  int64_t v = 0;
  size_t digits = 0;
  for (; i < kConstLen && c[i] >= '0' && c[i] <= '9'; ++i, ++digits) {
    v = v * 10 + (c[i] - '0');
    if (v > INT32_MAX) return false;
  }
  *code = static_cast<int32_t>(v);
  return digits > 0;
}

void to_text(uint8_t* c, const uint8_t* elem, ARB* tok) {
  const size_t at = c[0] == ' ' ? 1 : 0;
  if (c[at] == '-') {  // a stored -1: no code
    memset(c, ' ', kConstLen);
    return;
  }
  int32_t code = 0;
  const bool have = stored_code(c, &code);
  memset(c, ' ', kConstLen);
  const size_t width = std::min<size_t>(elem_view(elem).code_len(), kConstLen);
  uint8_t rec[kTokRecLen];
  tok_group_key(elem, rec);
  st_le32(rec, TOK_CODE, static_cast<uint32_t>(code));
  if (have && tok && pc_read(tok, 0, rec, kTokRecLen)) {
    memcpy(c, rec + TOK_TEXT, width);
    return;
  }
  if (!have || !tok || tok->arb_stat == FM_NOT_FOUND) {
    memset(c, '?', width);
    return;
  }
  checkstat(tok->arb_stat, "Bad token read ", "SE", __LINE__);
}

void to_code(uint8_t* c, const uint8_t* elem, ARB* tok) {
  if (std::all_of(c, c + kConstLen, [](uint8_t b) { return b == ' '; })) {
    memcpy(c, "-1", 2);
    return;
  }
  if (!tok) return;
  uint8_t rec[kTokRecLen];
  tok_group_key(elem, rec);
  memcpy(rec + TOK_TEXT, c, kConstLen);
  if (!pc_read(tok, 1, rec, kTokRecLen)) {
    if (tok->arb_stat != FM_NOT_FOUND) checkstat(tok->arb_stat, "Bad token read ", "SE", __LINE__);
    return;  // the constant stays as typed
  }
  const int32_t value = static_cast<int32_t>(ld_le32(rec, TOK_CODE));
  if (value < 0) return;  // no room for a sign; the check refuses it
  char digits[16];
  const int len = snprintf(digits, sizeof digits, "%d", value);
  const size_t width =
      std::min<size_t>(std::max<size_t>(size_t{elem_view(elem).hi()} + 1, static_cast<size_t>(len)), kConstLen);
  memset(c, ' ', kConstLen);
  memset(c, '0', width - static_cast<size_t>(len));
  memcpy(c + width - len, digits, static_cast<size_t>(len));
}

}  // namespace

void cnv_token(uint8_t* rec, const char* ver, int direction, int use_kept, se_tok_kept* kept) {
  const uint16_t verb = stmt_view(rec).verb();
  if (verb != VERB_SET && verb != VERB_IF && verb != VERB_AND && verb != VERB_OR) return;
  uint8_t* opnd = rec + STMT_OPND;
  if (memcmp(opnd + OP_AP2, "   ", 3) != 0) return;
  uint8_t* c = opnd + OP_CONST;
  if (direction == 2 && kept && kept->valid && memcmp(c, kept->shown, kConstLen) == 0 &&
      memcmp(opnd + OP_AP1, kept->field, sizeof kept->field) == 0) {
    memcpy(c, kept->stored, kConstLen);  // not retyped: the stored code stays
    return;
  }
  const char* ap = reinterpret_cast<const char*>(opnd + OP_AP1);
  tok_files f;
  if (!open_files(ap, ver, use_kept, &f)) return;
  uint8_t elem[kElementSize];
  if (!se_read_elem(f.elem, reinterpret_cast<const char*>(opnd + OP_FLD1), elem)) {
    if (f.elem->arb_stat != FM_NOT_FOUND) checkstat(f.elem->arb_stat, "Bad elem read ", "SE", __LINE__);
    return;
  }
  if (!elem_view(elem).is_token()) return;
  if (direction == 1) {
    uint8_t before[kConstLen];
    memcpy(before, c, kConstLen);
    to_text(c, elem, f.tok);
    if (kept) {
      kept->valid = 1;
      memcpy(kept->field, opnd + OP_AP1, sizeof kept->field);
      memcpy(kept->stored, before, kConstLen);
      memcpy(kept->shown, c, kConstLen);
    }
  } else if (direction == 2) {
    to_code(c, elem, f.tok);
  }
}

}  // namespace kivo
