// Stored number to display text through the numeric mask.
//
// The text is assembled in a bounded buffer (a 60-character mask whose '$'
// signs each become a 3-character symbol still fits); a text longer than the
// display is "?" with CV_NUM_NO_FIT, never cut. The stored value is only
// read: a text-held field is converted from a copy.
#include <algorithm>
#include <cstring>

#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "types/num_internal.h"
#include "types/pd_word.h"

namespace kivo {

uint8_t cv_200_behavior = 1;
uint8_t cv_220_behavior = 1;

using numi::mask_layout;
using numi::work_value;

namespace {

constexpr int kAssembly = 4 * kNumMaskLen + 16;

// A bounded text under assembly; `over` once anything did not fit.
struct text_buf {
  char b[kAssembly];
  int n = 0;
  bool over = false;
  void put(char ch) {
    if (n < kAssembly) b[n++] = ch;
    else over = true;
  }
  void put(const char* s, int len) {
    if (len > kAssembly - n) {
      over = true;
      return;
    }
    memcpy(b + n, s, static_cast<size_t>(len));
    n += len;
  }
  void blanks(int k) {
    if (k > kAssembly - n) {
      over = true;
      return;
    }
    memset(b + n, ' ', static_cast<size_t>(k));
    n += k;
  }
};

bool is_sign_char(char ch) { return ch == '(' || ch == ')' || ch == '<' || ch == '>' || ch == '-'; }

// A sign character of a positive value: a blank in zone 1, the trailing zone,
// and the leading-sign zone (or, with credit/debit display, the zone after
// the digits); nothing elsewhere.
bool positive_sign_blank(const num_cnv* c, int zone) {
  if (zone == NUM_PART_LEAD || zone == NUM_PART_TRAIL) return true;
  return c->drcr ? zone == NUM_PART_AFTER : zone == NUM_PART_SIGN;
}

// Currency kind 2 shows one of its two '$': the leading one with flag 0.
bool currency_shown(const num_cnv* c, int zone) {
  if (c->cur_kind != NUM_CUR_BOTH) return true;
  const bool before = zone == NUM_PART_LEAD || zone == NUM_PART_SIGN;
  return before == (com.currency_flag == 0);
}

// The last `count` digits of a magnitude, most significant first; zeros in
// front of its 31 when `count` asks for more (a zero with many decimals).
void digits_of(pdw::u128 mag, int count, char* out) {
  for (int i = count - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + static_cast<int>(static_cast<uint32_t>(mag) & 0xF));
    mag >>= 4;
  }
}

// Digits of a BCD magnitude (0 for zero).
int digit_count(pdw::u128 mag) {
  const uint64_t hi = static_cast<uint64_t>(mag >> 64), lo = static_cast<uint64_t>(mag);
  const int bits = hi ? 128 - __builtin_clzll(hi) : lo ? 64 - __builtin_clzll(lo) : 0;
  return (bits + 3) / 4;
}

// The display of a leading position that gets no digit; 0 = dropped.
char leading_fill(char mask_ch) {
  switch (mask_ch) {
    case '8': return ' ';
    case '*': return '*';
    case '0': return '0';
    default: return 0;
  }
}

struct laid_run {
  char b[kNumMaskLen + 2];
  int n = 0;
  int dropped = 0;  // '9' positions left out
};

// The integer positions, right to left: digits first, then fills. A ','
// shows the separator while digits remain on its left, else follows the
// position on its right.
void lay_integers(const mask_layout& L, const char* digits, int int_digits, bool minus, laid_run* r) {
  const char* m = L.m + L.start[NUM_PART_DIGITS];
  const int end = L.point >= 0 ? L.point - L.start[NUM_PART_DIGITS] : L.span[NUM_PART_DIGITS];
  char rev[kNumMaskLen + 2];
  int n = 0, k = int_digits, split = 0;
  bool minus_due = minus && !cv_200_behavior;
  char right = '9';
  for (int j = end - 1; j >= 0; --j) {
    const char mc = m[j];
    if (k > 0) {
      rev[n++] = mc == ',' ? static_cast<char>(com.thou_sep) : digits[--k];
      if (mc != ',') right = mc;
      split = n;
      continue;
    }
    const char shape = mc == ',' ? right : mc;
    if (mc != ',') right = mc;
    // The older layout lays the '-' as a character of the digit string.
    if (minus_due) {
      rev[n++] = '-';
      minus_due = false;
      continue;
    }
    const char fill = mc == ',' && shape == '0' ? static_cast<char>(com.thou_sep) : leading_fill(shape);
    if (fill) rev[n++] = fill;
    else ++r->dropped;
  }
  // The newer layout writes the '-' just before the digits and gives up the
  // leftmost leading position for it.
  if (minus && cv_200_behavior) {
    if (r->dropped > 0) --r->dropped;
    else if (n > split) --n;
    memmove(rev + split + 1, rev + split, static_cast<size_t>(n - split));
    rev[split] = '-';
    ++n;
  }
  for (int i = n - 1; i >= 0; --i) r->b[r->n++] = rev[i];
}

void lay_decimals(const mask_layout& L, const char* digits, int dec, laid_run* r) {
  if (L.point < 0) return;
  r->b[r->n++] = static_cast<char>(com.dec_sep);
  const int end = L.start[NUM_PART_DIGITS] + L.span[NUM_PART_DIGITS];
  int k = 0;
  for (int j = L.point + 1; j < end; ++j) {
    if (k < dec) {
      r->b[r->n++] = digits[k++];
      continue;
    }
    const char fill = leading_fill(L.m[j]);
    if (fill) r->b[r->n++] = fill;
    else ++r->dropped;
  }
}

// The credit/debit layout closes the number up to the right. The older
// layout puts every dropped position before the leading-sign zone. The newer
// one keeps the digits in the column of a negative display: it takes the
// sign characters of the mask (compute_msk_chars) from those blanks, and
// with cv_220_behavior gives them back when a positive value leaves its
// leading signs out. The rest of the blanks follow the text.
int drcr_lead_blanks(const num_cnv* c, int dropped, bool negative) {
  if (!cv_200_behavior) return dropped;
  const int s = compute_msk_chars(c);
  if (cv_220_behavior) return negative ? std::max(0, dropped - s) : dropped;
  return std::max(0, dropped - s);
}

struct shown {
  pdw::u128 mag;  // the rounded value's digits
  int dec;
  bool negative, zero;
  int int_digits;
};

bool fill_no_fit(num_cnv* c) {
  memset(c->ext_addr, '?', c->ext_len);
  c->cnv_status = CV_NUM_NO_FIT;
  return false;
}

// Steps of rounding and fitting; false when the value cannot be shown.
bool round_to_mask(const num_cnv* c, const mask_layout& L, work_value w, shown* s) {
  if (w.dec > L.dec_pos) {
    if (!pd_shft(w.p, kPdMaxLen, L.dec_pos - w.dec)) return false;
    w.dec = L.dec_pos;
  }
  pdw::operand<pdw::u128> x;
  pdw::take<pdw::u128>(w.p, kPdMaxLen, pdw::neg_mask(), x);
  const int digits = digit_count(x.mag);
  const int sig = std::max({digits, 1, w.dec});
  s->mag = x.mag;
  s->dec = w.dec;
  s->zero = digits == 0;
  s->negative = x.neg && digits > 0;
  s->int_digits = sig - w.dec;
  if (s->int_digits > L.int_pos) return false;
  // A mask without sign needs a free position for the '-'.
  return !(s->negative && c->sign_kind == NUM_SIGN_NONE && s->int_digits >= L.int_pos);
}

bool assemble(const num_cnv* c, const mask_layout& L, const shown& s, text_buf* t) {
  char digits[kNumMaskLen + 2];  // at most the mask's digit positions
  digits_of(s.mag, s.int_digits + s.dec, digits);
  laid_run run;
  const bool minus = s.negative && c->sign_kind == NUM_SIGN_NONE;
  lay_integers(L, digits, s.int_digits, minus, &run);
  lay_decimals(L, digits + s.int_digits, s.dec, &run);

  char zone[4 * kNumMaskLen];
  auto copy_part = [&](int part) {
    if (L.span[part] == 0) return;
    const int k = mskcpy(c, L.m + L.start[part], L.span[part], part, s.negative, zone, sizeof zone);
    if (k < 0) t->over = true;
    else t->put(zone, k);
  };
  copy_part(NUM_PART_LEAD);
  const int lead = c->drcr ? drcr_lead_blanks(c, run.dropped, s.negative) : 0;
  t->blanks(lead);
  copy_part(NUM_PART_SIGN);
  t->put(run.b, run.n);
  copy_part(NUM_PART_AFTER);
  copy_part(NUM_PART_TRAIL);
  return !t->over;
}

bool show_value(num_cnv* c, const mask_layout& L, const work_value& w) {
  shown s;
  if (!round_to_mask(c, L, w, &s)) return fill_no_fit(c);
  if (c->blank_zero && s.zero) return true;
  text_buf t;
  if (!assemble(c, L, s, &t)) return fill_no_fit(c);
  int n = t.n;
  while (n > 0 && t.b[n - 1] == ' ') --n;
  if (n > c->ext_len) return fill_no_fit(c);
  memcpy(c->ext_addr, t.b, static_cast<size_t>(n));
  return true;
}

// The number of a text-held field, converted from a copy of its text.
bool load_text_held(const num_cnv* c, work_value* w) {
  uint8_t copy[256];
  if (c->int_len > sizeof copy) return false;
  memcpy(copy, c->int_addr, c->int_len);
  if (!dyn_aton(copy, c->int_len, c->kind, c->elem_lo)) return false;
  num_cnv n = *c;
  n.text_held = 0;
  n.int_len = static_cast<uint16_t>(numi::stored_width(c->kind, c->int_len));
  return n.int_len && numi::load_value(&n, copy, w);
}

}  // namespace

int mskcpy(const num_cnv* c, const char* m, int m_len, int zone, bool negative, char* out, int cap) {
  int n = 0;
  auto put = [&](const char* s, int len) {
    if (n + len > cap) return false;
    memcpy(out + n, s, static_cast<size_t>(len));
    n += len;
    return true;
  };
  for (int i = 0; i < m_len; ++i) {
    const char ch = m[i];
    bool ok = true;
    if (ch == '$') {
      if (currency_shown(c, zone)) ok = put(com.currency, std::min<int>(com.currency_len, sizeof com.currency));
    } else if ((ch == 'c' || ch == 'd') && i + 1 < m_len && m[i + 1] == 'r') {
      // "cr" shows the credit word for a negative value, "dr" the debit word.
      const bool credit = (ch == 'c') == negative;
      ok = put(com.drcr + (credit ? 2 : 0), 2);
      ++i;
    } else if (is_sign_char(ch)) {
      if (negative) ok = put(&ch, 1);
      else if (positive_sign_blank(c, zone)) ok = put(" ", 1);
    } else if (ch != '_') {
      ok = put(&ch, 1);
    }
    if (!ok) return -1;
  }
  return n;
}

int num_itoe(num_cnv* c) {
  c->cnv_status = 1;
  if (!c->int_addr) {
    memset(c->ext_addr, c->addr_mode == 2 ? ' ' : '?', c->ext_len);
    c->cnv_status = CV_NO_INT_ADDR;
    return 0;
  }
  if (!numi::is_kind(c->kind)) {
    sys_err("CVNUM", __LINE__, "num_etoi entered default in switch");
    memset(c->ext_addr, '?', c->ext_len);
    c->cnv_status = CV_BAD_CNV_TYPE;
    return 0;
  }
  memset(c->ext_addr, ' ', c->ext_len);
  mask_layout L;
  if (!numi::scan_mask(c, &L)) {
    memset(c->ext_addr, '?', c->ext_len);
    c->cnv_status = CV_BAD_NUM_MASK;
    return 0;
  }
  work_value w{};
  const bool loaded = c->text_held ? load_text_held(c, &w) : numi::load_value(c, c->int_addr, &w);
  if (!loaded) return fill_no_fit(c);
  if (!c->text_held && numi::equals_reference(c, c->int_addr)) return 1;
  return show_value(c, L, w) ? 1 : 0;
}

}  // namespace kivo
