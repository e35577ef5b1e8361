// The stored forms of a date besides text: binary words (types 6, 7),
// packed digits (9, 10) and universal text (15).
//
// Binary words are little-endian 32-bit: a date word (day number or day of
// year) when the element holds a date level, then a time word in hundredths
// of a second when it holds a time level. Packed dates hold the mask's
// tokens as digits, most significant first. A date that cannot be stored
// exactly (a part missing in the middle) is refused, never stored as garbage.
#include <algorithm>
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "types/date_internal.h"
#include "types/date_mask.h"
#include "types/pd.h"

namespace kivo {

namespace {

constexpr int32_t kUndefinedWord = -1;

bool holds_date(const std_date* d) { return d->first >= LVL_DAY; }
bool holds_time(const std_date* d) { return d->last <= LVL_HOUR && d->last >= 1; }

// Time word: hundredths since midnight; -1 when the hour is not given.
bool time_word(const std_date* d, int32_t* out) {
  if (date_part_held(d, LVL_HOUR) && d->at(LVL_HOUR) == kPartNotGiven) {
    for (int lvl = LVL_MINUTE; lvl >= d->last; --lvl)
      if (d->at(lvl) != kPartNotGiven) return false;
    *out = kUndefinedWord;
    return true;
  }
  for (int lvl = LVL_HOUR; lvl >= LVL_HSEC; --lvl)
    if (date_part_held(d, lvl) && d->at(lvl) < 0) return false;
  const int h = date_part_or_zero(d, LVL_HOUR), m = date_part_or_zero(d, LVL_MINUTE);
  const int s = date_part_or_zero(d, LVL_SECOND), t = date_part_or_zero(d, LVL_HSEC);
  *out = ((h * 60 + m) * 60 + s) * 100 + t;
  return true;
}

bool date_word(const std_date* d, int32_t* out) {
  const bool doy_form = d->type == DT_BIN_DOY;
  int32_t v = cv_get_days(d, doy_form);
  if (v < 0) return false;
  if (!doy_form && v > 0) {
    v -= 370;
    // The day numbering counts 1700, 1800, 1900, 2100 ... one day short, so
    // a few dates share a word with a neighbour (and 9999-12-31 reads as a
    // year past 9999). A date whose word reads back as another is refused,
    // never stored as that other date.
    int year = 0, doy = 0;
    const int want_year = date_full_year(d);
    const int want_doy =
        date_days_before(want_year, date_part_or_zero(d, LVL_MONTH)) + std::max(date_part_or_zero(d, LVL_DAY), 1);
    if (!date_from_day_number(v, &year, &doy) || year != want_year || doy != want_doy) return false;
  }
  *out = v;
  return true;
}

bool read_time(std_date* d, int32_t t) {
  if (t == kUndefinedWord) {
    for (int lvl = LVL_HOUR; lvl >= LVL_HSEC; --lvl) d->at(lvl) = kPartNotGiven;
    return true;
  }
  if (t < 0 || t / 360000 > 23) return false;
  d->at(LVL_HSEC) = static_cast<int8_t>(t % 100);
  d->at(LVL_SECOND) = static_cast<int8_t>((t / 100) % 60);
  d->at(LVL_MINUTE) = static_cast<int8_t>((t / 6000) % 60);
  d->at(LVL_HOUR) = static_cast<int8_t>(t / 360000);
  return true;
}

bool read_date(std_date* d, int32_t v) {
  if (v == 0) {
    for (int lvl = LVL_CENTURY; lvl >= LVL_DAY; --lvl) d->at(lvl) = 0;
    return true;
  }
  int year, doy;
  if (d->type == DT_BIN_DOY) {
    if (v < 0) return false;
    year = v / 1000;
    doy = v % 1000;
    if (d->first < LVL_CENTURY) year += 2000;
    if (d->first < LVL_YEAR && year != 2000) return false;
  } else if (!date_from_day_number(v, &year, &doy)) {
    return false;
  }
  if (year >= 10000) return false;
  if (d->first == LVL_YEAR && (year < 2000 || year > 2099)) return false;
  if (!date_set_doy(year, doy, &d->at(LVL_MONTH), &d->at(LVL_DAY))) return false;
  d->at(LVL_CENTURY) = static_cast<int8_t>(year / 100);
  d->at(LVL_YEAR) = static_cast<int8_t>(year % 100);
  return true;
}

// Digits of the mask's tokens, in mask order.
struct pd_token {
  int level;  // level the digits belong to; 0 for the day of year
  int width;
};

int pd_tokens(const std_date* d, pd_token* out, int max) {
  int n = 0;
  const int mlen = static_cast<int>(d->mask_len);
  for (int p = 0; p < mlen;) {
    const date_chunk c = cv_get_chunk(d->mask + p, mlen - p, 1);
    p += static_cast<int>(c.used);
    if (n >= max) break;
    if (is_level_code(c.code)) out[n++] = {c.code - '0', 2};
    else if (c.code == TK_MONTH_NAME || c.code == TK_MONTH_ABBR) out[n++] = {LVL_MONTH, 2};
    else if (c.code == TK_DOY) out[n++] = {0, 3};
  }
  return n;
}

// The digit nibbles of a packed field; false when a nibble is not a digit or
// the sign half is not a sign.
bool pd_digits(const uint8_t* p, int len, uint8_t* digits, bool* negative) {
  for (int i = 0; i < len; ++i) {
    const uint8_t hi = p[i] >> 4, lo = p[i] & 0x0F;
    if (hi > 9) return false;
    digits[2 * i] = hi;
    if (i == len - 1) {
      if (lo < 0xA) return false;
      *negative = lo == pd_neg_sign() || lo == 0xB || lo == 0xD;
    } else {
      if (lo > 9) return false;
      digits[2 * i + 1] = lo;
    }
  }
  return true;
}

}  // namespace

int ston_bin_date(std_date* d) {
  const int len = d->raw_len;
  if (len != 4 && len != 8) {
    sys_err("CVDAT", __LINE__, "cv_ston_date() - bad raw length");
    return 0;
  }
  int32_t words[2] = {0, 0};
  if (date_all_held(d, kPartNotGiven)) {
    words[0] = words[1] = kUndefinedWord;
  } else {
    // Eight bytes: date word then time word; four: whichever is held.
    const bool date = holds_date(d), time = holds_time(d);
    if (date && !date_word(d, &words[0])) return 0;
    if (time && (len == 8 || !date) && !time_word(d, &words[len == 8 ? 1 : 0])) return 0;
  }
  for (int i = 0; i < len / 4; ++i) st_le32(d->raw, 4 * i, static_cast<uint32_t>(words[i]));
  return 1;
}

int ntos_bin_date(std_date* d) {
  const int len = d->raw_len;
  if (len != 4 && len != 8) {
    sys_err("CVDAT", __LINE__, "cv_ntos_date() - bad raw length");
    return 0;
  }
  const int32_t w0 = static_cast<int32_t>(ld_le32(d->raw, 0));
  if (w0 == kUndefinedWord) {
    date_set_all(d, kPartNotGiven);
    return 1;
  }
  const bool date_present = d->first > LVL_HOUR || len == 8;
  const int32_t dw = date_present ? w0 : 0;
  const int32_t tw = date_present ? (len == 8 ? static_cast<int32_t>(ld_le32(d->raw, 4)) : 0) : w0;
  date_set_all(d, 0);
  if (dw == 0 && tw == 0) return 1;
  if (!read_date(d, dw) || !read_time(d, tw)) return 0;
  date_clear_unheld(d);
  return 1;
}

int ston_pd_date(std_date* d) {
  uint8_t* p = d->raw;
  const int len = d->raw_len;
  if (len < 1 || len > kPdMaxLen) {
    sys_err("CVDAT", __LINE__, "cv_ston_date() - bad raw length");
    return 0;
  }
  if (date_all_held(d, kPartNotGiven)) return pd_set(p, len, com.pd_minus1, kPdFastLen);
  if (!pd_set(p, len, com.pd_zero, kPdFastLen)) return 0;
  if (date_all_held(d, 0)) return 1;

  pd_token toks[32];
  const int n = pd_tokens(d, toks, 32);
  for (int i = 0; i < n; ++i) {
    const int v = toks[i].level ? d->at(toks[i].level) : date_doy_of(d);
    if (v < 0) return 0;  // a part not given or unknown has no digits
    const int limit = toks[i].width == 3 ? 1000 : 100;
    uint8_t digits[kPdFastLen];
    if (v >= limit || !pd_shftn(p, len, toks[i].width) || !pd_cvp(digits, kPdFastLen, v) ||
        !pd_add(p, len, digits, kPdFastLen)) {
      sys_err("CVDAT", __LINE__, "add_digits() - bad number of digits");
      return 0;
    }
  }
  return 1;
}

int ntos_pd_date(std_date* d) {
  const int len = d->raw_len;
  if (len < 1 || len > kPdMaxLen) {
    sys_err("CVDAT", __LINE__, "cv_ntos_date() - bad raw length");
    return 0;
  }
  uint8_t digits[2 * kPdMaxLen];
  bool negative = false;
  if (!pd_digits(d->raw, len, digits, &negative)) return 0;
  const int ndig = 2 * len - 1;
  if (pd_cmp(d->raw, len, com.pd_minus1, kPdFastLen) == 0) {
    date_set_all(d, kPartNotGiven);
    return 1;
  }
  if (pd_cmp(d->raw, len, com.pd_zero, kPdFastLen) == 0) {
    date_set_all(d, 0);
    return 1;
  }
  if (negative) return 0;

  pd_token toks[32];
  const int n = pd_tokens(d, toks, 32);
  int need = 0;
  for (int i = 0; i < n; ++i) need += toks[i].width;
  if (need > ndig) return 0;
  for (int i = 0; i < ndig - need; ++i)
    if (digits[i]) return 0;  // more digits than the mask gives

  date_set_all(d, kPartNotGiven);
  int pos = ndig - need, doy = -1;
  for (int i = 0; i < n; ++i) {
    int v = 0;
    for (int k = 0; k < toks[i].width; ++k) v = v * 10 + digits[pos++];
    if (toks[i].level) d->at(toks[i].level) = static_cast<int8_t>(v);
    else doy = v;
  }
  if (doy >= 0 && !date_set_doy(date_full_year(d), doy, &d->at(LVL_MONTH), &d->at(LVL_DAY))) return 0;
  for (int lvl = d->first; lvl >= d->last && lvl >= 1; --lvl)
    if (d->at(lvl) < 0) return 0;
  if (!date_check_parts(d)) return 0;
  date_clear_unheld(d);
  return 1;
}

int ston_uni_date(std_date* d) {
  char* out = reinterpret_cast<char*>(d->raw);
  if (d->raw_len < kUniversalLen) {
    sys_err("CVDAT", __LINE__, "cv_ston_date() - bad raw length");
    return 0;
  }
  memset(out, ' ', d->raw_len);
  if (date_all_held(d, kPartNotGiven)) return 1;
  if (date_all_held(d, 0)) {
    memset(out, '0', kUniversalLen);
    return 1;
  }
  for (int lvl = LVL_CENTURY; lvl >= LVL_HSEC; --lvl) {
    char* p = out + 2 * (8 - lvl);
    if (!date_part_held(d, lvl)) {
      p[0] = p[1] = '-';
      continue;
    }
    const int v = d->at(lvl);
    if (v < 0 || v > 99) return 0;
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
  }
  return 1;
}

namespace {

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// Reads the two-character parts, century down to hundredths; a part left as
// dashes or its placeholder letters is not held. Sets first and last held;
// a part that is not two digits makes the date inexact.
void read_uni_parts(std_date* d, const char* text, bool& exact) {
  int first = 0, last = 0;
  for (int lvl = LVL_CENTURY; lvl >= LVL_HSEC; --lvl) {
    const char* p = text + 2 * (8 - lvl);
    const char* ph = com.dt_letters + 2 * (8 - lvl);
    if ((p[0] == '-' && p[1] == '-') || strncasecmp(p, ph, 2) == 0 ||
        (lvl == LVL_MINUTE && strncasecmp(p, "nn", 2) == 0))
      continue;
    int v;
    if (is_digit(p[0]) && is_digit(p[1])) {
      v = (p[0] - '0') * 10 + (p[1] - '0');
      if (!first) first = lvl;
      last = lvl;
    } else {
      exact = false;
      v = is_digit(p[0]) ? (p[0] - '0') * 10 : (is_digit(p[1]) ? p[1] - '0' : 0);
    }
    d->at(lvl) = static_cast<int8_t>(v);
  }
  d->first = static_cast<uint8_t>(first);
  d->last = static_cast<uint8_t>(last);
}

// Clamps a held part into [lo, hi]; a clamped value is not exact.
void clamp_part(std_date* d, int lvl, int lo, int hi, bool& exact) {
  if (!date_part_held(d, lvl)) return;
  int8_t& v = d->at(lvl);
  if (v < lo) {
    v = static_cast<int8_t>(lo);
    exact = false;
  }
  if (v > hi) {
    v = static_cast<int8_t>(hi);
    exact = false;
  }
}

void clamp_uni_parts(std_date* d, bool& exact) {
  clamp_part(d, LVL_MONTH, 1, 12, exact);
  const int dim = date_part_held(d, LVL_MONTH)
                      ? date_days_in_month(d->at(LVL_CENTURY) * 100 + d->at(LVL_YEAR), d->at(LVL_MONTH))
                      : 31;
  clamp_part(d, LVL_DAY, 1, dim, exact);
  clamp_part(d, LVL_HOUR, 0, 23, exact);
  clamp_part(d, LVL_MINUTE, 0, 59, exact);
  clamp_part(d, LVL_SECOND, 0, 59, exact);
}

}  // namespace

int ntos_uni_date(std_date* d) {
  char text[kUniversalLen];
  const int n = d->raw_len < kUniversalLen ? d->raw_len : kUniversalLen;
  memset(text, ' ', sizeof text);
  memcpy(text, d->raw, n);
  bool blank = true;
  for (char ch : text) blank &= ch == ' ';
  if (blank) {
    date_set_all(d, kPartNotGiven);
    d->first = LVL_CENTURY;
    d->last = LVL_HSEC;
    return 1;
  }
  date_set_all(d, 0);
  bool exact = d->raw_len == kUniversalLen;
  read_uni_parts(d, text, exact);
  if (!d->first) return exact ? 1 : 0;
  bool all_zero = true;
  for (int8_t v : d->part) all_zero &= v == 0;
  if (!all_zero) clamp_uni_parts(d, exact);
  return exact ? 1 : 0;
}

}  // namespace kivo
