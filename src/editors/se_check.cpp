// The dictionary check of a typed statement line: files and fields exist,
// occurrences stay within the field, field types suit the verb, constants
// convert to the field they meet; and the combinations of optional fields.
//
// Invariants: files opened for one check (another application's element
// or FILE file, a PROCESS or TOKEN file) are closed before it returns,
// whatever the result; the kept files stay open. Columns are screen
// columns. A warning keeps the line; an error refuses it.
#include <algorithm>
#include <cstring>
#include <string>

#include "compiler/design_records.h"
#include "compiler/pc.h"
#include "compiler/stmt_view.h"
#include "editors/se_edit.h"
#include "fm/fm_open.h"
#include "fm/fm_status.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "types/element.h"
#include "types/element_view.h"
#include "types/typed_value.h"

namespace kivo {

namespace {

constexpr uint8_t kNoKey = 255;
enum : uint8_t { KIND_SINGLE = 1, KIND_SEQUENTIAL = 2 };
enum : uint8_t { PTYPE_SUBROUTINE = 6 };

// A design file held for one check.
struct held {
  ARB* arb = nullptr;
  bool own = false;
  held() = default;
  held(const held&) = delete;
  held& operator=(const held&) = delete;
  ~held() {
    if (own && arb) FM_CLOSE(arb, 0);
  }
  void delem(const char* ap) { arb = se_delem_for(ap, &own); }
  void design(se_dfdb_init init, const char* ap) {
    arb = se_open_design(init, ap, se_ver, com.mark_scope, nullptr);
    own = true;
  }
};

struct checker {
  const se_chk& in;
  se_chk_out* out;
  uint8_t* opnd;
  uint8_t file_kind = 0;  // FI_ORG of a file verb's file, 0 not read

  char* text(const xme_stmt* f) const { return reinterpret_cast<char*>(opnd + f->rec_off); }
  static int col(const xme_stmt* f) { return kOpndCol + f->scr_col; }
  bool blank(const xme_stmt* f) const {
    return !f || std::all_of(text(f), text(f) + f->scr_width, [](char c) { return c == ' '; });
  }
  int fail(int column, se_fault fault, int second = 0) {
    out->err_col = column;
    out->second_col = second;
    out->fault = fault;
    return 0;
  }
  void warn(int column) {
    if (!out->warn_col) out->warn_col = column;
  }
  // The occurrence named, none counting as 1; false for index letters.
  bool occ_value(const xme_stmt* f, int* v) const {
    if (!f) return *v = 1, true;
    const occ_view occ(opnd + f->rec_off);
    if (occ.kind() == OCC_INDEX) return false;
    *v = occ.kind() == OCC_NUMBER ? occ.number() : 1;
    return true;
  }

  // The element `name` of `ap` through `file`, else of "0LA"; `ap_f` is
  // rewritten to "0LA" when found only there. 1 found.
  int lookup(const xme_stmt* ap_f, const xme_stmt* name_f, ARB* file, uint8_t* elem) {
    const char* name = text(name_f);
    if (file && se_read_elem(file, name, elem)) return 1;
    if (memcmp(text(ap_f), "0LA", 3) == 0) return 0;
    held lang;
    lang.delem("0LA");
    if (!lang.arb || !se_read_elem(lang.arb, name, elem)) return 0;
    memcpy(text(ap_f), "0LA", 3);
    out->replaced = true;
    return 1;
  }
  // An occurrence of a field reference: never negative, never above the
  // element's count (0: not repeated, any passes).
  int occ_ok(const xme_stmt* occ, const uint8_t* elem) {
    int v = 0;
    if (!occ || !occ_value(occ, &v)) return 1;
    const uint16_t count = elem_view(elem).occurs();
    if (v < 0 || (count != 0 && v > count)) return fail(col(occ), SE_FAULT_OCC);
    return 1;
  }

  // The application, field and occurrence operands as the check reads them.
  struct operands {
    const xme_stmt *ap1, *ap2, *fld1, *fld2, *occ1, *occ2;
  };
  int file_verb(const xme_stmt** ap1);
  int constant(const uint8_t* elem, const char* elem_ap);
  int subroutine();
  bool first_type_ok(const uint8_t* e) const;
  bool second_type_ok(const uint8_t* e1, const uint8_t* e2) const;
  int second_field(const operands& o, const uint8_t* e1);
  int fields(const operands& o, ARB* elem_file);
  int run();
};

bool is_file_verb(int v) {
  switch (v) {
    case VERB_BEG_AT:
    case VERB_BEG_READ:
    case VERB_CLOSE:
    case VERB_CREATE:
    case VERB_DELETE:
    case VERB_END_AT:
    case VERB_END_READ:
    case VERB_IF_EXIST:
    case VERB_OPEN:
    case VERB_READ:
    case VERB_READNEXT:
    case VERB_REWRITE:
    case VERB_SCRATCH:
    case VERB_SELECT:
    case VERB_WRITE: return true;
  }
  return false;
}

bool is_key_verb(int v) { return v == VERB_BEG_READ || v == VERB_READ || v == VERB_READNEXT || v == VERB_SELECT; }

bool alpha(uint8_t t) { return IS_ELEM_ALP(t); }
bool short_alpha(const uint8_t* e) {
  const elem_view el(e);
  const uint16_t n = el.size();
  return alpha(el.type()) && n >= 1 && n <= 4;
}
int family(uint8_t t) { return alpha(t) ? 1 : IS_ELEM_NUM(t) ? 2 : IS_ELEM_DATE(t) ? 3 : IS_ELEM_LOG(t) ? 4 : 0; }

// Step 3: the file named by a file verb, its kind and the key field.
int checker::file_verb(const xme_stmt** ap1) {
  const int verb = in.verb;
  const xme_stmt* key = is_key_verb(verb) ? in.fld1 : nullptr;
  const char* ap = text(*ap1);
  held fi;
  fi.design(INIT_DFI_FDB, ap);
  uint8_t rec[kFileRecSize];
  memset(rec, ' ', sizeof rec);
  memcpy(rec + FI_NAME, text(in.file), 8);
  if (!fi.arb || !pc_read(fi.arb, 0, rec, kFileRecSize)) {
    held e;
    e.delem(ap);
    warn(e.arb ? col(in.file) : col(*ap1));
    return 1;
  }
  const uint8_t kind = file_kind = rec[FI_ORG];
  const bool has_key = key && !blank(key);
  if (verb == VERB_BEG_AT && kind == KIND_SINGLE) warn(col(in.file));
  if (key && kind == KIND_SEQUENTIAL && has_key != (verb != VERB_READNEXT)) warn(col(key));
  if (key && kind == KIND_SINGLE && has_key) return fail(col(key), SE_FAULT_KEY);
  if (has_key && kind != KIND_SINGLE && kind != KIND_SEQUENTIAL) {
    held e;
    e.delem(ap);
    if (!e.arb) {
      warn(col(*ap1));
      return 1;
    }
    uint8_t elem[kElementSize];
    if (!lookup(*ap1, key, e.arb, elem) || elem_view(elem).key_role() >= kNoKey) return fail(col(key), SE_FAULT_KEY);
  }
  return 1;
}

// Step 11 for a constant: it converts to the first field's type, or is a
// token text of its table.
int checker::constant(const uint8_t* elem, const char* elem_ap) {
  const elem_view el(elem);
  const xme_stmt* k = in.fld2;
  const int second = in.ap2 ? col(in.ap2) : 0;
  if (blank(k)) return 1;
  std::string t(text(k), 22);
  t.erase(t.find_last_not_of(' ') + 1);
  t.erase(0, t.find_first_not_of(' '));
  const uint8_t type = el.type();
  if (el.is_token()) {
    held tok;
    tok.design(INIT_DTOKEN_FDB, elem_ap);
    uint8_t rec[kTokRecLen];
    tok_group_key(elem, rec);
    memcpy(rec + TOK_TEXT, text(k), 22);
    // A negative code has no stored form: the constant holds no sign.
    if (!tok.arb || !pc_read(tok.arb, 1, rec, kTokRecLen) || static_cast<int32_t>(ld_le32(rec, TOK_CODE)) < 0)
      return fail(col(k), SE_FAULT_CONSTANT, second);
    return 1;
  }
  if (in.verb == VERB_DATE_ADD) {
    const size_t d = t[0] == '-' || t[0] == '+' ? 1 : 0;
    const bool ok = t.size() > d && t.size() - d <= 4 && t.find_first_not_of("0123456789", d) == t.npos;
    return ok ? 1 : fail(col(k), SE_FAULT_CONSTANT, second);
  }
  bool ok = true;
  switch (family(type)) {
    case 1: break;
    case 2: {
      elem_number v;
      ok = elem_typed_number(elem, t, &v);
      break;
    }
    case 3:  // digits from the century on, as the compiler takes a date
      ok = t.size() >= 2 && t.size() <= 16 && t.size() % 2 == 0 && t.find_first_not_of("0123456789") == t.npos;
      break;
    default: {
      std::string v(std::max<uint16_t>(el.size(), 16), '\0');
      ok = elem_typed_value(elem, t, reinterpret_cast<uint8_t*>(v.data()));
    }
  }
  return ok ? 1 : fail(col(k), SE_FAULT_CONSTANT, second);
}

// Step 5: COPY names a SUBROUTINE of the edited application.
int checker::subroutine() {
  held pr;
  pr.design(INIT_DPROC_FDB, se_ap);
  uint8_t rec[kProcRecSize];
  memset(rec, ' ', sizeof rec);
  rec[PR_TYPE] = PTYPE_SUBROUTINE;
  memcpy(rec + PR_NAME, text(in.proc), 30);
  if (!pr.arb || !pc_read(pr.arb, 0, rec, kProcRecSize)) return fail(col(in.proc), SE_FAULT_SUBROUTINE);
  return 1;
}

// Step 10: the first field's type suits the verb.
bool checker::first_type_ok(const uint8_t* e) const {
  const uint8_t t1 = elem_view(e).type();
  const bool a1 = alpha(t1);
  switch (in.verb) {
    case VERB_SET_DATE:
    case VERB_DATE_ADD:
    case VERB_DATE_BTW: return IS_ELEM_DATE(t1);
    case VERB_COMPUTE:
    case VERB_TOTAL: return IS_ELEM_NUM(t1) || (a1 && in.op_pm);
    case VERB_SET_TOT:
    case VERB_TIMEOUT: return IS_ELEM_NUM(t1);
    case VERB_RETURN: return IS_ELEM_LOG(t1);
    case VERB_SET_TEMP:
    case VERB_CALL:
    case VERB_PRINT:
    case VERB_RUN:
    case VERB_SET_DAY:
    case VERB_SET_MNTH: return a1;
    case VERB_APPEND: return a1 || t1 == 3 || t1 == 4;
    case VERB_BEG_AT: return file_kind != KIND_SEQUENTIAL || IS_ELEM_NUM(t1) || IS_ELEM_LOG(t1);
    case VERB_CNV_BIN: return IS_ELEM_NUM(t1) || short_alpha(e);
  }
  return true;
}

// Step 12: the second field's type suits the verb and the first field.
bool checker::second_type_ok(const uint8_t* e1, const uint8_t* e2) const {
  const uint8_t t1 = elem_view(e1).type(), t2 = elem_view(e2).type();
  const bool a1 = alpha(t1);
  switch (in.verb) {
    case VERB_DATE_ADD: return IS_ELEM_NUM(t2);
    case VERB_DATE_BTW: return IS_ELEM_DATE(t2);
    case VERB_COMPUTE:
    case VERB_TOTAL: return a1 ? alpha(t2) : IS_ELEM_NUM(t2) || (in.op_pm && alpha(t2));
    case VERB_SET_TOT: return IS_ELEM_NUM(t2);
    case VERB_CNV_BIN: return a1 ? IS_ELEM_NUM(t2) : short_alpha(e2);
    case VERB_CNV_TEXT: return a1 || alpha(t2);
    case VERB_IF:
    case VERB_AND:
    case VERB_OR: return family(t1) == family(t2) && family(t1) != 0;
  }
  return true;
}

// Step 11 for a field: its application's element file, the field, its
// occurrence; then step 12.
int checker::second_field(const operands& o, const uint8_t* e1) {
  held e2h;
  e2h.delem(text(o.ap2));
  if (!e2h.arb) {
    warn(col(o.ap2));
    return 1;
  }
  uint8_t e2[kElementSize];
  if (!lookup(o.ap2, o.fld2, e2h.arb, e2)) return fail(col(o.fld2), SE_FAULT_FIELD, col(o.ap2));
  if (!occ_ok(o.occ2, e2)) return 0;
  return second_type_ok(e1, e2) ? 1 : fail(col(o.fld2), SE_FAULT_TYPE, col(o.ap2));
}

// Steps 7 to 12: the first field in `elem_file`, its occurrence and type,
// then the second operand.
int checker::fields(const operands& o, ARB* elem_file) {
  const int verb = in.verb;
  // 7, 8. The first field, its occurrence.
  uint8_t e[kElementSize];
  if (!lookup(o.ap1, o.fld1, elem_file, e)) {
    const bool record = (verb == VERB_STORE || verb == VERB_RESTORE) && in.area &&
                        opnd[in.area->rec_off] != AREA_FIELD && opnd[in.area->rec_off] != AREA_DEFAULT_FIELD;
    return record ? 1 : fail(col(o.fld1), SE_FAULT_FIELD, col(o.ap1));
  }
  if (!occ_ok(o.occ1, e)) return 0;
  // 9. MODE of "0LA" is not set by a statement.
  if (verb == VERB_SET && memcmp(text(o.ap1), "0LA", 3) == 0 && memcmp(text(o.fld1), "MODE                  ", 22) == 0)
    return fail(col(o.fld1), SE_FAULT_MODE);
  // 10. The first field's type.
  if (!first_type_ok(e)) return fail(col(o.fld1), SE_FAULT_TYPE, col(o.ap1));
  // 11. The second operand: a constant, or a field.
  if (!o.ap2 || !o.fld2 || !o.occ2) return 1;
  if (!blank(o.ap2)) return second_field(o, e);
  if (ld_le16(opnd + o.occ2->rec_off, 2) != OCC_NONE) return fail(col(o.occ2), SE_FAULT_CONST_OCC);
  if (verb == VERB_CNV_BIN) return 1;
  return constant(e, text(o.ap1));
}

int checker::run() {
  const int verb = in.verb;
  // 1. PASS, RECEIVE and VERIFY name a field only with the word FIELD.
  if ((verb == VERB_PASS || verb == VERB_RECEIVE || verb == VERB_VERIFY) && !in.area_field) return 1;
  operands o{in.ap1, in.ap2, in.fld1, in.fld2, in.occ1, in.occ2};
  // 2. PUTATTR and MOVEATTR: only the field after the file.
  if (verb == VERB_PUTATTR || verb == VERB_MOVEATTR) o.ap1 = o.ap2, o.ap2 = nullptr;
  // 3. The file verbs: the file, then their field as a first one.
  if (is_file_verb(verb)) {
    if (o.ap1 && in.file && !blank(o.ap1) && !blank(in.file) && !file_verb(&o.ap1)) return 0;
    o.ap1 = o.ap2, o.ap2 = nullptr;
    if (is_key_verb(verb)) o.fld1 = nullptr;
  }
  // 4. The first application's element file.
  if (!o.ap1 || blank(o.ap1)) return 1;
  held e1;
  e1.delem(text(o.ap1));
  if (!e1.arb) {
    warn(col(o.ap1));
    return 1;
  }
  // 5. COPY: a SUBROUTINE of the edited application.
  if (verb == VERB_COPY) return subroutine();
  // 6. No field to look up.
  if (!o.fld1) return 1;
  if (verb == VERB_AT_FIELD && blank(o.fld1)) return 1;
  return fields(o, e1.arb);
}

}  // namespace

int validate(const se_chk& in, se_chk_out* out) {
  *out = {};
  checker c{in, out, in.rec + STMT_OPND};
  return c.run();
}

namespace {

constexpr int V = FLD_PRESENT, B = FLD_BLANK;

// Each verb group's rule for its optional fields: -1 when the states fit,
// else the layout index of the field to blame.

// Occurrence, application, field, application field.
int field_verb_fault(const int* states) {
  const int occ = states[0], ap = states[1], fld = states[2], app = states[3];
  if (occ == B && ap == B && fld == B && app == B) return -1;
  if (ap == V && fld == V && (occ == V || occ == B) && (app == V || app == B)) return -1;
  if (ap == V && fld == B && occ == B && app == B) return -1;
  if (ap == FLD_INVALID) return 1;
  if (fld == FLD_INVALID || (fld == V && ap != V)) return 2;
  if (occ == FLD_INVALID || (occ == V && fld != V)) return 0;
  return 3;
}

// Occurrence, application, process; RETURN's process goes with its application.
int call_verb_fault(const int* states, int verb) {
  const int occ = states[0], ap = states[1], fld = states[2];
  if (ap == V && fld == V && occ != FLD_INVALID) return -1;
  if (ap == B && occ == B && (verb != VERB_RETURN || fld == B)) return -1;
  if (ap != V && ap != B) return 1;
  if (ap == V && fld != V) return 2;
  if (ap == B && verb == VERB_RETURN && fld != B) return 2;
  return 0;
}

// TIMEOUT: its seconds, then occurrence, application, process.
int timeout_fault(const int* states) {
  const int occ = states[1], ap = states[2], fld = states[3];
  if (ap == V && fld == V && occ != FLD_INVALID) return -1;
  if (ap == B && fld == B && occ == B) return -1;
  if (ap != V && ap != B) return 2;
  if (fld != V && (ap == V || fld != B)) return 3;
  return 1;
}

int optional_fault(int verb, const int* states) {
  switch (verb) {
    case VERB_AT_FIELD:
    case VERB_BLANK:
    case VERB_BRIGHT:
    case VERB_DIM:
    case VERB_DISPLAY:
    case VERB_INVERSE:
    case VERB_NO_INPUT:
    case VERB_NO_ULINE:
    case VERB_NORMAL:
    case VERB_OK_INPUT:
    case VERB_POSITION:
    case VERB_ULINE:
    case VERB_UNDEFINE: return field_verb_fault(states);
    case VERB_CALL:
    case VERB_RUN:
    case VERB_RETURN: return call_verb_fault(states, verb);
    case VERB_TIMEOUT: return timeout_fault(states);
    default: return -1;
  }
}

}  // namespace

int opt_req(const uint8_t* rec, const int* states, int* err_col) {
  const int verb = stmt_view(rec).verb();
  if (verb >= kVerbCount) return 1;
  const int fault = optional_fault(verb, states);
  if (fault < 0) return 1;
  // The columns of the verb's fields in layout order.
  const xme_stmt* f[24];
  int n = 0;
  for (const xme_stmt* e = xme_stmt_desc[verb]; e->type; ++e)
    if (e->type != XT_FILLER) f[n++] = e;
  *err_col = kOpndCol + f[fault]->scr_col;
  return 0;
}

int is_pdf(const char* ap, const char* name) {
  if (memcmp(ap, "0LA", 3) != 0) return 0;
  held lang;
  lang.delem("0LA");
  uint8_t elem[kElementSize];
  return lang.arb && se_read_elem(lang.arb, name, elem);
}

}  // namespace kivo
