// The verb table and the 46 operand layouts as data, the per-verb lists
// built from them at start-up (fields, derived fillers, terminator), the
// occurrence rules and the reading of a statement line by field type.
//
// Layouts are written in the notation "offset+length column/width type
// [flags in hex]", fields separated by ';', so each line reads against the
// field list it was taken from. Fillers are never written: they are derived
// as whatever the fields leave uncovered, so a filler can never blank or keep
// bytes of a real field.
#include "compiler/stmt_layout.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"

namespace kivo {

const char* const verb_spell_tbl[kVerbCount + 1] = {
    "*       ", "**      ", "ACTION  ", "AND     ", "APPEND  ", "AT FIELD", "BEG AT  ", "BEG LOOP", "BEG READ",
    "BLANK   ", "BLINK   ", "BRIGHT  ", "CALC    ", "CALL    ", "CANCEL  ", "CLOSE   ", "CNV BIN ", "CNV FLT ",
    "CNV TEXT", "CNV ZONE", "COMPUTE ", "COPY    ", "CREATE  ", "DATE ADD", "DATE BTW", "DEFINE  ", "DELETE  ",
    "DIM     ", "DISPLAY ", "END     ", "END AT  ", "END LOOP", "END PROC", "END READ", "ERROR   ", "EXIT    ",
    "GOSUB   ", "GOTO    ", "IF      ", "IF EXIST", "INPUT   ", "INVERSE ", "LABEL   ", "LOGOUT  ", "MENU    ",
    "MESSAGE ", "NO INPUT", "NO TRACE", "NO ULINE", "NORMAL  ", "OK INPUT", "OPEN    ", "OR      ", "OUTPUT  ",
    "OVERFLOW", "PASS    ", "POSITION", "PRINT   ", "QUERY   ", "READ    ", "READNEXT", "RECEIVE ", "RESTORE ",
    "RETURN  ", "REWRITE ", "RUN     ", "SCAN    ", "SCRATCH ", "SELECT  ", "SET     ", "SET DATE", "SET DAY ",
    "SET MNTH", "SET TEMP", "SET TOT ", "STORE   ", "SUBR    ", "TIMEOUT ", "TOTAL   ", "VERSION ", "TRAP    ",
    "ULINE   ", "UNDEFINE", "WARNING ", "WRITE   ", "FREE ALL", "DEBUG   ", "UPDATE  ", "JOB     ", "INQUIRY ",
    "STATUS  ", "DISP    ", "FONT    ", "COLOR   ", "PICTURE ", "BROWSE  ", "VERIFY  ", "GETATTR ", "PUTATTR ",
    "DELATTR ", "MOVEATTR", "GETATTRS", "PUTATTRS", "DELATTRS", "REFRESH ", nullptr};

const xme_stmt* xme_stmt_desc[kVerbCount];
static_assert(kVerbCount == kOpcodeEntries && kVerbLen == kOpcodeWordLen);

namespace {

struct layout_src {
  const char* verbs;
  const char* fields;
};

// The shared operand fields of the two-field verbs (first field, second field).
#define TWO_FIELDS "0+4 43/3 4; 4+3 16/3 2 03; 7+23 20/22 3 01; 30+4 77/3 4; 34+3 50/3 2 02; "

// Layout n is entry n - 1.
constexpr layout_src kLayouts[kLayoutCount] = {
    {"0 1 14 34 45 47 79 83 104", "0+64 16/64 1"},
    {"2 40 44 53 58 76 87 88 89 90 91",
     "0+3 16/3 2 02; 3+30 20/30 6; 33+1 53/10 7 03; 34+1 71/1 11 0B; 35+1 79/1 8 03"},
    {"3 38 52", TWO_FIELDS "37+23 54/22 3; 60+1 47/2 9 01"},
    {"4", TWO_FIELDS "37+23 54/22 3; 60+1 47/1 12 83"},
    {"5 9 10 11 27 28 41 46 48 49 50 56 81 92 93 94 95", "0+4 43/3 4; 4+3 16/3 2 02; 7+23 20/22 3; 30+4 64/3 5"},
    {"6 30", "0+3 16/3 2 03; 3+8 20/8 14 01; 11+1 29/2 15 01; 12+4 59/3 4; 16+3 32/3 2 02; 19+23 36/22 3"},
    {"7", "0+4 16/2 16 01; 4+4 21/3 17 01; 8+4 28/3 17 01; 12+4 38/3 17 03"},
    {"8", "0+3 16/3 2 03; 3+8 20/8 14 01; 11+1 35/1 24 03; 12+23 58/22 3"},
    {"12", "0+4 16/2 16 01; 4+59 21/59 1 01"},
    {"13", "0+4 43/3 4; 4+3 16/3 2 02; 7+23 20/22 3; 30+1 57/1 11 0B; 31+1 65/1 11 0B; 32+1 73/1 8 03"},
    {"15", "0+3 16/3 2 03; 3+8 20/8 14 01; 11+1 45/1 11 07"},
    {"16 74", TWO_FIELDS "37+23 54/22 3 01"},
    {"17 18 19 66", "0+4 43/3 4; 4+3 16/3 2 03; 7+23 20/22 3 01; 30+4 77/3 4; 34+3 50/3 2 03; 37+23 54/22 3 01"},
    {"20 78", TWO_FIELDS "37+23 54/22 3 01; 60+1 47/1 10 01"},
    {"21", "0+3 16/3 2 03; 3+30 20/30 6 01"},
    {"22 51", "0+3 16/3 2 03; 3+8 20/8 14 01; 11+1 37/1 11 07; 12+1 45/1 8 03"},
    {"23 24", TWO_FIELDS "37+23 54/22 3 01; 60+1 47/1 18 01"},
    {"25 82", "0+4 43/3 4; 4+3 16/3 2 03; 7+23 20/22 3 01; 30+4 64/3 5"},
    {"26 33", "0+3 16/3 2 03; 3+8 20/8 14 01"},
    {"29 32 35 80 85", ""},
    {"31", "0+4 16/2 16 01"},
    {"36", "0+3 16/3 2; 3+30 20/30 6 01"},
    {"37 42", "0+30 16/30 1 01"},
    {"39 64 67 84", "0+3 16/3 2 03; 3+8 20/8 14 01; 11+1 45/1 8 03"},
    {"43", "0+1 24/1 11 07"},
    {"54", "0+30 16/30 1"},
    {"55", "0+4 43/3 4; 4+3 16/3 2 02; 7+23 20/22 3 01; 30+1 47/14 20 01; 31+1 71/1 11 0B"},
    {"57", "0+4 43/3 4; 4+3 16/3 2 03; 7+23 20/22 3 01; 30+4 50/3 13 01; 34+4 59/3 13 01; 38+4 71/3 13 01"},
    {"59 60", "0+3 16/3 2 03; 3+8 20/8 14 01; 11+1 35/1 24 03; 12+1 45/1 8 03; 13+23 58/22 3"},
    {"61", "0+4 43/3 4; 4+3 16/3 2 03; 7+23 20/22 3 01; 30+1 47/14 20 01; 31+1 71/1 11 0B"},
    {"62 75", "0+4 43/3 4; 4+3 16/3 2 03; 7+23 20/22 3 01; 30+1 47/14 19 01"},
    {"63", "0+4 43/3 4; 4+3 16/3 2; 7+23 20/22 3"},
    {"65", "0+4 43/3 4; 4+3 16/3 2 02; 7+23 20/22 3; 30+1 65/1 11 0B; 31+1 73/1 8 03"},
    {"68", "0+3 16/3 2 03; 3+8 20/8 14 01; 11+23 58/22 3"},
    {"69", TWO_FIELDS "37+23 54/22 3"},
    {"70", "0+4 43/3 4; 4+3 16/3 2 03; 7+23 20/22 3 01"},
    {"71 72", TWO_FIELDS "37+23 54/22 3; 60+1 47/1 21 03"},
    {"73",
     "0+4 25/3 13 01; 4+4 33/3 13 01; 8+4 37/4 23 01; 12+4 42/3 13 01; 16+4 77/3 4; 20+3 50/3 2 02; "
     "23+23 54/22 3; 46+5 16/5 22 01"},
    {"77", "0+30 16/30 1; 30+4 77/3 4; 34+3 50/3 2; 37+23 54/22 3"},
    {"86", "0+50 16/50 1"},
    {"96", "0+4 43/3 4; 4+3 16/3 2 03; 7+23 20/22 3 01; 30+1 52/14 20 01; 31+1 72/1 8 03"},
    {"97", "0+4 43/3 4; 4+3 16/3 2 03; 7+23 20/22 3 01; 30+3 50/3 2 02; 33+8 54/8 14 01; 41+14 63/14 1 01"},
    {"98", "0+3 16/3 2 02; 3+8 20/8 14 01; 11+14 29/14 1 01; 28+4 77/3 4; 32+3 50/3 2 02; 35+23 54/22 3"},
    {"99", "0+3 16/3 2 02; 3+8 20/8 14 01; 11+14 29/14 1 01"},
    {"100", "0+3 16/3 2 02; 3+8 20/8 14 01; 28+4 77/3 4; 32+3 50/3 2 02; 35+23 54/22 3"},
    {"101 102 103", "0+3 16/3 2 02; 3+8 20/8 14 01; 11+3 50/3 2 02; 14+8 54/8 14 01"},
};
#undef TWO_FIELDS

// Room for every verb's fields, fillers and terminator, after the leading
// group (one terminator) that no verb uses.
constexpr int kMaxEntries = 1 + kVerbCount * 24;
xme_stmt g_entries[kMaxEntries];
int8_t g_layout_of[kVerbCount];

unsigned take(const char** p, int base = 10) {
  char* end;
  unsigned long v = strtoul(*p, &end, base);
  assert(end != *p);
  *p = end;
  return static_cast<unsigned>(v);
}

// Parses one layout's fields into `out`; returns the count.
int parse_fields(const char* p, xme_stmt* out) {
  int n = 0;
  while (*p) {
    xme_stmt& e = out[n++];
    e.rec_off = static_cast<uint16_t>(take(&p));
    ++p;  // '+'
    e.rec_len = static_cast<uint16_t>(take(&p));
    e.scr_col = static_cast<uint16_t>(take(&p) - kOpndCol);
    ++p;  // '/'
    e.scr_width = static_cast<uint16_t>(take(&p));
    e.type = static_cast<uint16_t>(take(&p));
    while (*p == ' ') ++p;
    e.flags = (*p && *p != ';') ? static_cast<uint16_t>(take(&p, 16)) : 0;
    while (*p == ';' || *p == ' ') ++p;
  }
  return n;
}

// Appends one filler per uncovered run of `used` (record bytes when
// `record`, else columns).
int add_fillers(const bool* used, bool record, xme_stmt* out) {
  int n = 0;
  for (int i = 0; i < static_cast<int>(kStmtOpndLen);) {
    if (used[i]) {
      ++i;
      continue;
    }
    int j = i;
    while (j < static_cast<int>(kStmtOpndLen) && !used[j]) ++j;
    xme_stmt& f = out[n++];
    f = {};
    f.type = XT_FILLER;
    f.rec_off = f.scr_col = static_cast<uint16_t>(i);
    (record ? f.rec_len : f.scr_width) = static_cast<uint16_t>(j - i);
    i = j;
  }
  return n;
}

// Fillers of a list of `n` fields: the uncovered record bytes, then the
// uncovered operand columns (a field name's screen width is its 22 columns).
int derive_fillers(const xme_stmt* fields, int n, xme_stmt* out) {
  bool bytes[kStmtOpndLen] = {}, cols[kStmtOpndLen] = {};
  for (int i = 0; i < n; ++i) {
    for (int b = 0; b < fields[i].rec_len; ++b) bytes[fields[i].rec_off + b] = true;
    for (int c = 0; c < fields[i].scr_width; ++c) cols[fields[i].scr_col + c] = true;
  }
  int k = add_fillers(bytes, true, out);
  return k + add_fillers(cols, false, out + k);
}

struct layout_init {
  layout_init() {
    memset(g_layout_of, 0, sizeof g_layout_of);
    for (int l = 0; l < kLayoutCount; ++l)
      for (const char* p = kLayouts[l].verbs; *p;) {
        unsigned v = take(&p);
        assert(v < kVerbCount && g_layout_of[v] == 0);
        g_layout_of[v] = static_cast<int8_t>(l + 1);
        while (*p == ' ') ++p;
      }
    int at = 1;  // entry 0: the leading group's terminator
    for (int v = 0; v < kVerbCount; ++v) {
      assert(g_layout_of[v] != 0);
      xme_stmt_desc[v] = &g_entries[at];
      int n = parse_fields(kLayouts[g_layout_of[v] - 1].fields, &g_entries[at]);
      n += derive_fillers(&g_entries[at], n, &g_entries[at + n]);
      at += n + 1;  // the zero entry stays
      assert(at <= kMaxEntries);
    }
  }
} g_layout_init;

bool blank(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

void set_occ(uint8_t* out, int16_t value, uint16_t kind) {
  st_le16(out, OCC_VALUE, static_cast<uint16_t>(value));
  st_le16(out, OCC_KIND, kind);
}

// Index of the word at `text` among `n` words compared over the word's own
// length without trailing blanks, the rest of the field blank; or -1.
int find_word(const char* text, int width, const char* const* words, int n) {
  for (int i = 0; i < n; ++i) {
    if (!words[i]) continue;
    size_t l = strlen(words[i]);
    while (l > 0 && words[i][l - 1] == ' ') --l;
    if (l > 0 && static_cast<int>(l) <= width && memcmp(text, words[i], l) == 0 && blank(text + l, width - l)) return i;
  }
  return -1;
}

int read_relop(const char* text, uint8_t* out, bool in_ex_only) {
  const char* ops = com.rel_ops[0] > ' ' ? com.rel_ops : "EQGEGTLELTNEIN";
  if (text[0] == 'E' && text[1] == 'X') return *out = 8, FLD_PRESENT;
  for (int i = in_ex_only ? 6 : 0; i < 7; ++i)
    if (text[0] == ops[2 * i] && text[1] == ops[2 * i + 1]) return *out = static_cast<uint8_t>(i + 1), FLD_PRESENT;
  return FLD_INVALID;
}

// SET TEMP's five columns: digits 1-8 in one run between blanks.
int read_digit_run(const char* text, int width) {
  int i = 0;
  while (i < width && text[i] == ' ') ++i;
  int start = i;
  while (i < width && text[i] >= '1' && text[i] <= '8') ++i;
  if (i == start) return FLD_INVALID;
  return blank(text + i, width - i) ? FLD_PRESENT : FLD_INVALID;
}

// One digit between '0' and `hi`, stored as its value or (as_char) itself.
int read_digit(char c, char hi, bool as_char, char lo, uint8_t* out) {
  if (c < lo || c > hi) return FLD_INVALID;
  *out = static_cast<uint8_t>(as_char ? c : c - '0');
  return FLD_PRESENT;
}

// A one-byte word-like field: its state, the byte in *out.
int read_byte_field(const xme_stmt& f, const char* text, uint8_t* out) {
  const int w = f.scr_width;
  char c = text[0];
  switch (f.type) {
    case XT_INVOC: {
      int i = find_word(text, w, invoc_spell_tbl, 3);
      return i < 0 ? FLD_INVALID : (*out = static_cast<uint8_t>(i), FLD_PRESENT);
    }
    case XT_DIGIT3: return read_digit(c, '3', false, '0', out);
    case XT_DIGIT9: return read_digit(c, '9', false, '0', out);
    case XT_DIGIT2: return read_digit(c, '2', false, '0', out);
    case XT_DIGIT18: return read_digit(c, '8', true, '1', out);
    case XT_RELOP: return read_relop(text, out, false);
    case XT_IN_EX: return read_relop(text, out, true);
    case XT_ARITH: return strchr("+-*/PM", c) && c ? (*out = static_cast<uint8_t>(c), FLD_PRESENT) : FLD_INVALID;
    case XT_LS: return (c == 'L' || c == 'S') ? (*out = static_cast<uint8_t>(c), FLD_PRESENT) : FLD_INVALID;
    case XT_YN:
      if (c == 'Y' || c == 'y') return *out = '1', FLD_PRESENT;
      if (c == 'N' || c == 'n') return *out = '0', FLD_PRESENT;
      return FLD_INVALID;
    case XT_AREA4:
    case XT_AREA: {
      int i = find_word(text, w, area_spell_tbl, kAreaCount + 1);
      if (i < 1) return FLD_INVALID;
      uint8_t area = static_cast<uint8_t>(i);
      if (f.type == XT_AREA4 && area != 1 && area != 3 && area != 6 && area != 7) return FLD_INVALID;
      return *out = area, FLD_PRESENT;
    }
  }
  return FLD_INVALID;
}

bool is_byte_type(uint16_t t) {
  return t == XT_INVOC || t == XT_DIGIT3 || t == XT_RELOP || t == XT_ARITH || t == XT_YN || t == XT_DIGIT9 ||
         t == XT_IN_EX || t == XT_DIGIT18 || t == XT_AREA4 || t == XT_AREA || t == XT_LS || t == XT_DIGIT2;
}

int fail(stmt_error* err, int column, const char* what) {
  err->column = column;
  err->what = what;
  return 0;
}

}  // namespace

bool stmt_is_occ_type(uint16_t t) {
  return t == XT_OCC || t == XT_OCC2 || t == XT_NUMBER || t == XT_LOOP_INDEX || t == XT_LOOP_BOUND;
}

int stmt_read_field(const xme_stmt& f, const char* line, int verb, uint8_t* opnd) {
  const char* text = line + kOpndCol - 1 + f.scr_col;
  uint8_t* out = opnd + f.rec_off;
  const int w = f.scr_width;
  if (stmt_is_occ_type(f.type)) {
    bool keep_zero = verb == VERB_BEG_LOOP || (verb == VERB_CNV_TEXT && f.rec_off == 30);
    return get_occ(text, w, f.type, keep_zero, out);
  }
  const bool is_blank = blank(text, w);
  if (is_byte_type(f.type)) {
    // A blank Y/N or letter field keeps its blank; a blank coded byte is 0.
    *out = (f.type == XT_YN || f.type == XT_ARITH || f.type == XT_LS || f.type == XT_DIGIT18) ? ' ' : 0;
    return is_blank ? FLD_BLANK : read_byte_field(f, text, out);
  }
  switch (f.type) {
    case XT_AP: memcpy(out, memcmp(text, "---", 3) == 0 ? "0LA" : text, 3); break;
    case XT_DIGITS5:
      if (is_blank) break;
      memcpy(out, text, 5);
      return read_digit_run(text, w);
    case XT_FROM_INTO: {
      if (is_blank) break;
      int i = find_word(text, w, temp_spell_tbl, 3);
      if (i < 1) return FLD_INVALID;
      memcpy(out, i == 1 ? "FROM" : "INTO", 4);
      break;
    }
    default:  // text, field, process and file names: the characters as they stand
      memcpy(out, text, f.rec_len);
      break;
  }
  return is_blank ? FLD_BLANK : FLD_PRESENT;
}

const char* stmt_verb_spell(int v) {
  static const char kNone[kVerbLen] = {};
  if (v < 0 || v >= kVerbCount) return nullptr;
  return memcmp(opcode_tbl[v], kNone, kVerbLen) != 0 ? opcode_tbl[v] : verb_spell_tbl[v];
}

const char* se_get_verb_spell(int verb) { return verb >= 0 && verb < kVerbCount ? verb_spell_tbl[verb] : nullptr; }

int stmt_find_verb(const char* text) {
  for (int v = 0; v < kVerbCount; ++v)
    if (memcmp(text, stmt_verb_spell(v), kVerbLen) == 0) return v;
  return -1;
}

int stmt_layout_no(int verb) { return verb >= 0 && verb < kVerbCount ? g_layout_of[verb] : 0; }

int get_occ(const char* text, int width, uint16_t type, bool keep_zero, uint8_t* out) {
  set_occ(out, 0, OCC_NONE);
  int value = 0, digits = 0, letters = 0, seen = 0;
  bool minus = false;
  char name[2] = {' ', ' '};
  for (int i = 0; i < width; ++i) {
    char c = text[i];
    if (c == ' ') continue;
    ++seen;
    if (c == '-') {
      if (minus || digits || letters) return FLD_INVALID;
      minus = true;
    } else if (c >= '0' && c <= '9') {
      if (letters) return FLD_INVALID;
      value = value * 10 + (c - '0');
      ++digits;
    } else if (c >= 'A' && c <= 'Z') {
      // A letter first; a second only when it is I; never a third.
      if (digits || letters == 2 || (letters == 1 && c != 'I')) return FLD_INVALID;
      name[letters++] = c;
    } else {
      return FLD_INVALID;
    }
  }
  if (seen == 0) return FLD_BLANK;
  if (minus && (letters || type == XT_NUMBER || type == XT_LOOP_INDEX)) return FLD_INVALID;
  if (type == XT_LOOP_INDEX && !letters) return FLD_INVALID;
  if (letters) {
    out[0] = static_cast<uint8_t>(name[0]);
    out[1] = static_cast<uint8_t>(name[1]);
    st_le16(out, 2, OCC_INDEX);
    return FLD_PRESENT;
  }
  if (!digits) return FLD_INVALID;                   // a minus alone
  if (value == 0 && !keep_zero) return FLD_PRESENT;  // a typed 0 means none
  set_occ(out, static_cast<int16_t>(minus ? -value : value), OCC_NUMBER);
  return FLD_PRESENT;
}

void put_occ(const uint8_t* occ, char* out) {
  memset(out, ' ', 3);
  const uint16_t kind = ld_le16(occ, OCC_KIND);
  if (kind == OCC_INDEX) {
    out[0] = static_cast<char>(occ[OCC_VALUE]);
    out[1] = static_cast<char>(occ[OCC_VALUE + 1]);
    return;
  }
  if (kind != OCC_NUMBER) return;
  const int v = static_cast<int16_t>(ld_le16(occ, OCC_VALUE));
  if (v < -99 || v > 999) {
    memset(out, '?', 3);
    return;
  }
  out[0] = v < 0 ? '-' : static_cast<char>('0' + v / 100);
  const int m = v < 0 ? -v : v;
  out[1] = static_cast<char>('0' + m / 10 % 10);
  out[2] = static_cast<char>('0' + m % 10);
}

void stmt_show_field(const xme_stmt& f, const uint8_t* opnd, char* line) {
  char* text = line + kOpndCol - 1 + f.scr_col;
  const uint8_t* in = opnd + f.rec_off;
  const int w = f.scr_width;
  const uint8_t b = in[0];
  // A word of at most `len` characters (a built-in word is shorter), cut
  // or blank-filled to the width.
  auto word = [&](const char* p, size_t len) {
    memset(text, ' ', w);
    if (p) memcpy(text, p, std::min(strnlen(p, len), static_cast<size_t>(w)));
  };
  switch (f.type) {
    case XT_FILLER: return;
    case XT_AP: memcpy(text, memcmp(in, "0LA", 3) == 0 ? "---" : reinterpret_cast<const char*>(in), 3); return;
    case XT_OCC:
    case XT_OCC2:
    case XT_NUMBER:
    case XT_LOOP_INDEX:
    case XT_LOOP_BOUND: {
      char occ[3];
      put_occ(in, occ);
      memcpy(text, occ, std::min(w, 3));
      return;
    }
    case XT_INVOC:
      if (b < 3) word(invoc_spell_tbl[b], kInvocWordLen);
      return;
    case XT_DIGIT3:
    case XT_DIGIT9:
    case XT_DIGIT2: {
      const uint8_t hi = f.type == XT_DIGIT3 ? 3 : f.type == XT_DIGIT2 ? 2 : 9;
      text[0] = b <= hi ? static_cast<char>('0' + b) : ' ';
      return;
    }
    case XT_RELOP:
    case XT_IN_EX: {
      const char* ops = com.rel_ops[0] > ' ' ? com.rel_ops : "EQGEGTLELTNEIN";
      if (b >= 1 && b <= 7 && (f.type == XT_RELOP || b == 7)) word(ops + 2 * (b - 1), 2);
      if (b == 8) word("EX", 2);
      return;
    }
    case XT_YN: text[0] = b == '1' ? 'Y' : 'N'; return;
    case XT_AREA4:
    case XT_AREA:
      if (b >= 1 && b <= kAreaCount && (f.type == XT_AREA || b == 1 || b == 3 || b == 6 || b == 7))
        word(area_spell_tbl[b], kAreaWordLen);
      return;
    case XT_FROM_INTO:
      if (memcmp(in, "FROM", 4) == 0 || memcmp(in, "INTO", 4) == 0)
        word(temp_spell_tbl[in[0] == 'F' ? 1 : 2], kTempWordLen);
      return;
    case XT_ARITH:
    case XT_DIGIT18:
    case XT_LS: text[0] = b >= ' ' && b < 0x7F ? static_cast<char>(b) : ' '; return;
    default:  // text, names and SET TEMP's digits: the characters, no wider than the columns
      for (int i = 0; i < w; ++i) text[i] = i < f.rec_len && in[i] >= ' ' ? static_cast<char>(in[i]) : ' ';
      return;
  }
}

bool stmt_prefix_ok(const char* prefix) {
  size_t i = 0;
  while (i < 5 && (prefix[i] == 'T' || prefix[i] == 'F' || prefix[i] == '-')) ++i;
  return blank(prefix + i, 5 - i);
}

namespace {

// Whether 0-based line index `i` lies in a column some operand of the verb reads.
bool read_by_some(const xme_stmt* fields, int i) {
  for (const xme_stmt* f = fields; f->type != 0; ++f) {
    const int start = kOpndCol - 1 + f->scr_col;
    if (f->type != XT_FILLER && i >= start && i < start + f->scr_width) return true;
  }
  return false;
}

// A text or a name that fills its columns and runs on into a column no
// operand reads: its writer gave it more characters than it has columns,
// and the rest would be lost, or read as the next operand.
bool overruns(const xme_stmt* fields, const char* text, stmt_error* err) {
  for (const xme_stmt* f = fields; f->type != 0; ++f) {
    if (f->type != XT_TEXT && f->type != XT_FIELD && f->type != XT_PROC && f->type != XT_FILE) continue;
    const int start = kOpndCol - 1 + f->scr_col, past = start + f->scr_width;
    if (past >= kStmtLineLen || text[past - 1] == ' ' || text[past] == ' ' || read_by_some(fields, past)) continue;
    int end = past;
    while (end < kStmtLineLen && text[end] != ' ') ++end;
    fail(err, start + 1, "constant or name longer than its columns");
    err->length = end - start, err->width = f->scr_width;
    return true;
  }
  return false;
}

}  // namespace

int stmt_degen(const char* line, size_t len, uint8_t* rec, stmt_error* err) {
  if (len > kStmtLineLen) return fail(err, kStmtLineLen + 1, "line longer than 80 columns");
  char text[kStmtLineLen + 1];
  memset(text, ' ', sizeof text);  // one more: a name's column after its 22
  memcpy(text, line, len);
  *err = {};
  const char* prefix = text;
  if (prefix[0] != 'C' && !stmt_prefix_ok(prefix)) return fail(err, 1, "prefix must be T, F and - followed by blanks");
  int verb = stmt_find_verb(text + 6);
  if (verb < 0) return fail(err, 7, "verb not in the verb table");
  memcpy(rec + STMT_PREFIX, prefix, 5);
  rec[STMT_SPARE2] = ' ';
  st_le16(rec, STMT_VERB, static_cast<uint16_t>(verb));
  st_le16(rec, STMT_SPARE3, 0);
  uint8_t* opnd = rec + STMT_OPND;
  memset(opnd, ' ', kStmtOpndLen);
  if (overruns(xme_stmt_desc[verb], text, err)) return 0;
  int first_bad = 0;
  for (const xme_stmt* f = xme_stmt_desc[verb]; f->type != 0; ++f) {
    if (f->type == XT_FILLER) continue;
    int state = stmt_read_field(*f, text, verb, opnd);
    bool bad = state == FLD_INVALID || (state != FLD_PRESENT && (f->flags & XF_REQUIRED));
    int col = f->scr_col + kOpndCol;
    if (bad && (first_bad == 0 || col < first_bad)) first_bad = col;
  }
  if (first_bad) return fail(err, first_bad, "operand missing or not valid for the verb");
  return 1;
}

uint32_t stmt_seq(uint32_t n, uint32_t before) {
  uint32_t seq = std::max(n * kStmtSeqStep, before + 1);
  auto has_lf = [](uint32_t v) {
    for (int b = 0; b < 4; ++b, v >>= 8)
      if ((v & 0xFF) == '\n') return true;
    return false;
  };
  while (has_lf(seq)) ++seq;
  return seq;
}

}  // namespace kivo
