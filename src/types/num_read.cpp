// Display text to stored number: the mask-driven reading first, then the
// free-form grammar.
//
// The mask-driven reading accepts everything the formatter shows for the
// mask: the zones' literals with blanks around them, a sign position holding
// its sign or left out, the currency symbol or its '$', fill characters and
// a sign-less mask's '-' in front of the digits, fill after the decimals.
// Nothing is stored until the value passed every check.
#include <cstring>

#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "types/num_internal.h"
#include "types/pd_word.h"

namespace kivo {

using numi::mask_layout;
using numi::work_value;

namespace {

// Digits as typed: the significant ones kept (leading zeros of the integer
// part dropped), every one counted.
struct digit_run {
  char d[2 * kPdMaxLen];
  int kept = 0, typed = 0;
  bool integer = true;
  void add(char ch) {
    ++typed;
    if (integer && kept == 0 && ch == '0') return;
    if (kept < static_cast<int>(sizeof d)) d[kept] = ch;
    ++kept;
  }
  bool empty() const { return typed == 0; }
};

// The digits read and the sign, before they become a packed value.
struct reading {
  digit_run int_digits, dec_digits;
  bool negative = false;
  char open = 0;  // bracket opened in the text
  bool closed = false;
  uint32_t status = 1;
};

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

struct cursor {
  const char* t;
  int pos, end;  // reading forward from pos, backward from end
};

// One mask token: a character, or a two-letter "cr"/"dr".
struct token {
  const char* m;
  int len;
};

void note_sign(reading* r, char mask_ch, bool neg) {
  if (mask_ch == '(' || mask_ch == '<') r->open = mask_ch;
  else if (mask_ch == ')' || mask_ch == '>') r->closed = true;
  if (neg) r->negative = true;
}

int tokens_of(const char* m, int len, token* out) {
  int n = 0;
  for (int i = 0; i < len; ++i) {
    const bool word = (m[i] == 'c' || m[i] == 'd') && i + 1 < len && m[i + 1] == 'r';
    out[n++] = {m + i, word ? 2 : 1};
    if (word) ++i;
  }
  return n;
}

// Takes `form` at the cursor's front (forward) or back; an empty form is
// taken without reading.
bool take_form(cursor* at, bool forward, const char* form, int len) {
  if (len == 0) return true;
  const int from = forward ? at->pos : at->end - len;
  if (from < at->pos || from + len > at->end || memcmp(at->t + from, form, static_cast<size_t>(len)) != 0) return false;
  if (forward) at->pos += len;
  else at->end -= len;
  return true;
}

// One token against the text. A sign position takes its sign (negative) or
// is left out; "cr"/"dr" take the mask's letters or the word of the same
// sign (negative), the other word, or nothing; '$' the symbol, '$' or
// nothing; '.' also the decimal separator.
bool match_token(const token& k, bool forward, cursor* at, reading* r) {
  const char ch = k.m[0];
  if (k.len == 2) {
    const bool credit = ch == 'c';
    if (take_form(at, forward, k.m, 2) || take_form(at, forward, com.drcr + (credit ? 2 : 0), 2)) {
      r->negative = true;
      return true;
    }
    take_form(at, forward, com.drcr + (credit ? 0 : 2), 2);
    return true;
  }
  switch (ch) {
    case '$':
      if (!take_form(at, forward, com.currency, com.currency_len > 3 ? 3 : com.currency_len))
        take_form(at, forward, "$", 1);
      return true;
    case '-':
    case '(':
    case '<':
    case ')':
    case '>':
      if (take_form(at, forward, k.m, 1)) note_sign(r, ch, ch != ')' && ch != '>');
      return true;
    case '.':
      return take_form(at, forward, ".", 1) || take_form(at, forward, reinterpret_cast<const char*>(&com.dec_sep), 1);
    default: return take_form(at, forward, k.m, 1);
  }
}

// Matches a part of the mask from the front (forward) or from the back of the
// text; blanks between tokens are passed over.
bool match_part(const mask_layout& L, int part, bool forward, cursor* at, reading* r) {
  if (L.span[part] == 0) return true;
  token toks[kNumMaskLen];
  const int n = tokens_of(L.m + L.start[part], L.span[part], toks);
  for (int i = 0; i < n; ++i) {
    const token& k = toks[forward ? i : n - 1 - i];
    if (k.m[0] == ' ') continue;
    if (forward)
      while (at->pos < at->end && at->t[at->pos] == ' ') ++at->pos;
    else
      while (at->end > at->pos && at->t[at->end - 1] == ' ') --at->end;
    if (!match_token(k, forward, at, r)) return false;
  }
  return true;
}

// Fill in front of the digits: blanks, '*', leading zeros, separators and,
// for a mask without sign, one '-'.
void read_leading_fill(const num_cnv* c, cursor* at, reading* r, bool* any_digit) {
  while (at->pos < at->end) {
    const char ch = at->t[at->pos];
    const bool sep = c->has_group && ch == static_cast<char>(com.thou_sep);
    if (ch == '-' && c->sign_kind == NUM_SIGN_NONE && !r->negative) r->negative = true;
    else if (ch == '0') *any_digit = true;
    else if (ch != ' ' && ch != '*' && !sep) break;
    ++at->pos;
  }
}

bool read_run(const num_cnv* c, cursor* at, reading* r) {
  bool any = false;
  read_leading_fill(c, at, r, &any);
  const char* t = at->t;
  while (at->pos < at->end) {
    const char ch = t[at->pos];
    if (is_digit(ch)) {
      r->int_digits.add(ch);
      ++at->pos;
    } else if (c->has_group && ch == static_cast<char>(com.thou_sep) && !r->int_digits.empty() &&
               at->pos + 3 < at->end && is_digit(t[at->pos + 1]) && is_digit(t[at->pos + 2]) &&
               is_digit(t[at->pos + 3])) {
      ++at->pos;
    } else {
      break;
    }
  }
  if (r->int_digits.typed > c->msk_int) r->status = CV_NUM_TOO_BIG;
  if (c->has_point && at->pos < at->end && t[at->pos] == static_cast<char>(com.dec_sep)) {
    ++at->pos;
    while (at->pos < at->end && is_digit(t[at->pos]) && r->dec_digits.typed < c->msk_dec)
      r->dec_digits.add(t[at->pos++]);
    while (at->pos < at->end && t[at->pos] == '*') ++at->pos;
  }
  return any || !r->int_digits.empty() || !r->dec_digits.empty();
}

bool read_by_mask(const num_cnv* c, const char* t, int n, reading* r) {
  mask_layout L;
  if (!numi::scan_mask(c, &L)) return false;
  cursor at{t, 0, n};
  if (!match_part(L, NUM_PART_LEAD, true, &at, r) || !match_part(L, NUM_PART_SIGN, true, &at, r)) return false;
  while (at.pos < at.end && t[at.pos] == ' ') ++at.pos;
  if (!read_run(c, &at, r) || r->status != 1) return false;
  if (!match_part(L, NUM_PART_AFTER, true, &at, r) || !match_part(L, NUM_PART_TRAIL, false, &at, r)) return false;
  for (int i = at.pos; i < at.end; ++i)
    if (t[i] != ' ') return false;
  const bool open = r->open != 0;
  return open == r->closed;
}

// Free-form: [blanks] [- | ( | <] [blanks] digits [sep digits] [- | ) | >]
// [blanks], the closing bracket required when one was opened.
uint32_t read_free(const num_cnv* c, const char* t, int n, reading* r) {
  int i = 0;
  auto blanks = [&] {
    while (i < n && t[i] == ' ') ++i;
  };
  blanks();
  char open = 0;
  if (i < n && (t[i] == '-' || t[i] == '(' || t[i] == '<')) {
    r->negative = true;
    open = t[i] == '-' ? 0 : t[i];
    ++i;
    blanks();
  }
  while (i < n && is_digit(t[i])) r->int_digits.add(t[i++]);
  if (i < n && t[i] == static_cast<char>(com.dec_sep)) {
    ++i;
    while (i < n && is_digit(t[i])) r->dec_digits.add(t[i++]);
  }
  if (r->int_digits.empty() && r->dec_digits.empty()) return CV_NUM_BAD_TEXT;
  if (!r->negative && i < n && t[i] == '-') {
    r->negative = true;
    ++i;
  } else if (open && i < n && t[i] == (open == '(' ? ')' : '>')) {
    open = 0;
    ++i;
  }
  blanks();
  if (i < n || open) return CV_NUM_BAD_TEXT;
  if (r->int_digits.kept > c->msk_int) return CV_NUM_TOO_BIG;
  return r->dec_digits.typed > c->msk_dec ? CV_NUM_TOO_MANY_DEC : 1;
}

// Kind 8 keeps the decimals entered, but zeros closing them (a mask's '0'
// positions) give way when the value would not fit otherwise.
void drop_zero_decimals(const num_cnv* c, work_value* w) {
  const int room = 2 * (c->int_len - 1) - 1;
  while (w->dec > 0 && (w->p[kPdMaxLen - 1] >> 4) == 0 &&
         (w->dec > c->elem_lo || SIG_DIGITS(w->p, kPdMaxLen, nullptr) > room)) {
    pd_shft(w->p, kPdMaxLen, -1);
    --w->dec;
  }
}

// The digits read, as a work value with the element's decimals (kind 8:
// with the decimals entered).
uint32_t to_work(const num_cnv* c, const reading& r, work_value* w) {
  if (r.int_digits.kept + r.dec_digits.kept > 2 * kPdMaxLen - 1) return CV_NUM_TOO_BIG;
  pdw::u128 mag = 0;
  for (int i = 0; i < r.int_digits.kept; ++i) mag = mag << 4 | static_cast<unsigned>(r.int_digits.d[i] - '0');
  for (int i = 0; i < r.dec_digits.kept; ++i) mag = mag << 4 | static_cast<unsigned>(r.dec_digits.d[i] - '0');
  pdw::put<pdw::u128>(w->p, kPdMaxLen, mag, r.negative && mag != 0);
  w->dec = r.dec_digits.kept;
  if (c->kind == NUM_PD_VAR) {
    drop_zero_decimals(c, w);
    if (w->dec > c->elem_lo) return CV_NUM_TOO_MANY_DEC;
  } else {
    if (c->elem_lo != w->dec && !pd_shft(w->p, kPdMaxLen, c->elem_lo - w->dec)) return CV_NUM_TOO_BIG;
    // Without rounding the integer digits are those typed.
    const bool exact = r.dec_digits.kept <= c->elem_lo;
    w->dec = c->elem_lo;
    if (exact) return r.int_digits.kept > c->elem_hi ? CV_NUM_TOO_BIG : 1;
  }
  if (SIG_DIGITS(w->p, kPdMaxLen, nullptr) - w->dec > c->elem_hi) return CV_NUM_TOO_BIG;
  return 1;
}

bool is_blank(const char* t, int n) {
  for (int i = 0; i < n; ++i)
    if (t[i] != ' ') return false;
  return true;
}

// Blank text: the reference value when one applies, else zero.
int store_blank(num_cnv* c) {
  if (c->text_held) {
    memset(c->int_addr, ' ', c->int_len);
    return 1;
  }
  const int width = numi::stored_width(c->kind, c->int_len);
  if (width == 0) {
    c->cnv_status = CV_NUM_TOO_BIG;
    return 0;
  }
  if (c->ref_blank && c->aux_addr) {
    memcpy(c->int_addr, c->aux_addr, static_cast<size_t>(width));
    return 1;
  }
  work_value zero{};
  pd_cvp(zero.p, kPdMaxLen, 0);
  zero.dec = 0;
  c->cnv_status = numi::store_value(c, zero, c->int_addr);
  return c->cnv_status == 1;
}

int fail(num_cnv* c, uint32_t status) {
  c->cnv_status = status;
  return 0;
}

// Stores through the number kind, a text-held field going back to text.
int store(num_cnv* c, const work_value& w) {
  if (!c->text_held) {
    c->cnv_status = numi::store_value(c, w, c->int_addr);
    return c->cnv_status == 1;
  }
  uint8_t area[256];
  num_cnv n = *c;
  n.int_len = static_cast<uint16_t>(numi::stored_width(c->kind, c->int_len));
  if (c->int_len > sizeof area || n.int_len == 0) return fail(c, CV_NUM_TOO_BIG);
  const uint32_t st = numi::store_value(&n, w, area);
  if (st != 1) return fail(c, st);
  if (!dyn_ntoa(area, n.int_len, c->int_len, c->kind, w.dec)) return fail(c, CV_NUM_TOO_BIG);
  memcpy(c->int_addr, area, c->int_len);
  return 1;
}

}  // namespace

int num_etoi(num_cnv* c) {
  c->cnv_status = 1;
  if (!c->int_addr) return fail(c, CV_NO_INT_ADDR);
  if (!numi::is_kind(c->kind)) {
    sys_err("CVNUM", __LINE__, "num_etoi entered default in switch");
    return fail(c, CV_BAD_CNV_TYPE);
  }
  const char* t = c->ext_addr;
  const int n = c->ext_len;
  if (is_blank(t, n)) return store_blank(c);
  reading r;
  r.dec_digits.integer = false;
  if (!read_by_mask(c, t, n, &r)) {
    const uint32_t too_big = r.status;
    r = reading{};
    r.dec_digits.integer = false;
    const uint32_t st = read_free(c, t, n, &r);
    if (st != 1) return fail(c, too_big != 1 && st == CV_NUM_BAD_TEXT ? too_big : st);
  }
  work_value w{};
  const uint32_t st = to_work(c, r, &w);
  if (st != 1) return fail(c, st);
  return store(c, w);
}

}  // namespace kivo
