// The text form of a date: stored digit text (types 3, 4) and display text,
// both driven by a compiled mask.
//
// Reading is strict about widths (a level takes exactly two characters) so
// that what was written reads back; the hour is refused above 23 whatever the
// form, so that no entry is accepted that the binary form cannot hold.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "types/date_internal.h"
#include "types/date_mask.h"

namespace kivo {

namespace {

const char* placeholder(int level) { return com.dt_letters + 2 * (8 - level); }
const char* doy_placeholder() { return com.dt_letters + 16; }

bool all_blank(const uint8_t* p, int n) {
  for (int i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// A number of `n` characters with blanks before or after; -1 when not one.
int read_number(const uint8_t* p, int n) {
  int i = 0, v = 0, digits = 0;
  while (i < n && p[i] == ' ') ++i;
  while (i < n && isdigit(p[i])) {
    v = v * 10 + (p[i++] - '0');
    ++digits;
  }
  while (i < n && p[i] == ' ') ++i;
  return (digits && i == n) ? v : -1;
}

// Index (from `from`) of the table word at p, matched without regard to case.
int match_word(const uint8_t* p, int avail, const char* table, int stride, const uint16_t* lens, int from, int to,
               int* len_out) {
  for (int i = from; i <= to; ++i) {
    const int n = lens ? lens[i] : stride;
    if (n > 0 && n <= avail && strncasecmp(reinterpret_cast<const char*>(p), table + i * stride, n) == 0) {
      *len_out = n;
      return i;
    }
  }
  return -1;
}

struct text_reader {
  std_date* d;
  const uint8_t* raw;
  int n;
  int pos = 0;
  int doy = kPartNotGiven;
  int ampm = -1;  // 0 am, 1 pm
  bool century_in_mask = false;

  int left() const { return n - pos; }

  bool level(int lvl) {
    if (left() < 2) {
      sys_err("CVDAT", __LINE__, "cv_ntos_date() - bad raw length");
      return false;
    }
    const uint8_t* p = raw + pos;
    pos += 2;
    if (lvl == LVL_CENTURY) century_in_mask = true;
    if (memcmp(p, placeholder(lvl), 2) == 0 || all_blank(p, 2)) {
      d->at(lvl) = kPartNotGiven;
      return true;
    }
    const int v = read_number(p, 2);
    if (v < 0) return false;
    d->at(lvl) = static_cast<int8_t>(v);
    return true;
  }

  bool day_of_year() {
    if (left() < 3) {
      sys_err("CVDAT", __LINE__, "cv_ntos_date() - bad raw length");
      return false;
    }
    const uint8_t* p = raw + pos;
    pos += 3;
    if (memcmp(p, doy_placeholder(), 3) == 0 || all_blank(p, 3)) return true;
    doy = read_number(p, 3);
    return doy >= 0 && doy <= 366;
  }

  bool am_pm() {
    int len;
    const int i = match_word(raw + pos, left(), com.ampm, 2, nullptr, 0, 1, &len);
    if (i < 0) return false;
    ampm = i;
    pos += 2;
    return true;
  }

  // A full name; in display entry fields names stand 10 wide.
  bool skip_pad(int len) {
    if (!(d->display && d->entry)) return true;
    for (int i = len; i < 10 && pos < n; ++i, ++pos)
      if (raw[pos] != ' ') return false;
    return true;
  }

  bool month(bool full) {
    int len;
    const int i = full ? match_word(raw + pos, left(), &com.month_names[0][0], 10, com.month_lens, 0, 12, &len)
                       : match_word(raw + pos, left(), &com.month_abbr[0][0], 3, nullptr, 0, 12, &len);
    if (i < 0) return false;
    pos += len;
    d->at(LVL_MONTH) = i == 0 ? kPartNotGiven : static_cast<int8_t>(i);
    return full ? skip_pad(len) : true;
  }

  bool day_name(bool full) {
    if (!full) {
      pos += left() < 3 ? left() : 3;
      return true;
    }
    int len;
    const int i = match_word(raw + pos, left(), &com.day_names[0][0], 10, com.day_lens, 0, 7, &len);
    if (i < 0) return false;
    pos += len;
    return skip_pad(len);
  }

  bool literal(const date_chunk& c) {
    for (uint32_t i = 0; i < c.text_len; ++i, ++pos) {
      const char want = c.text[i];
      if (pos >= n) {
        if (want != ' ') return false;
      } else if (raw[pos] != static_cast<uint8_t>(want)) {
        return false;
      }
    }
    return true;
  }

  bool chunk(const date_chunk& c) {
    if (is_level_code(c.code)) return level(c.code - '0');
    switch (c.code) {
      case TK_LITERAL: return literal(c);
      case TK_DOY: return day_of_year();
      case TK_AMPM: return am_pm();
      case TK_MONTH_ABBR: return month(false);
      case TK_MONTH_NAME: return month(true);
      case TK_DAY_ABBR: return day_name(false);
      case TK_DAY_NAME: return day_name(true);
      case TK_SUFFIX: pos += left() < 2 ? left() : 2; return true;
      default: return false;
    }
  }
};

// Case of a name token: 'U' upper, 'L' lower, 'C' capitalised.
void put_cased(char* out, const char* word, int n, uint8_t mod) {
  for (int i = 0; i < n; ++i) {
    const unsigned char ch = static_cast<unsigned char>(word[i]);
    const bool upper = mod == 'U' || (mod == 'C' && i == 0);
    out[i] = static_cast<char>(upper ? toupper(ch) : tolower(ch));
  }
}

const char* ordinal_suffix(int v) {
  if (v >= 4 && v <= 20) return "TH";
  switch (v % 10) {
    case 1: return "ST";
    case 2: return "ND";
    case 3: return "RD";
    default: return "TH";
  }
}

struct text_writer {
  const std_date* d;
  char* out;
  int n;
  int pos = 0;
  bool overflow = false;
  bool prev_level = false;

  void put(const char* s, int len) {
    if (pos + len > n) {
      overflow = true;
      len = n - pos;
    }
    if (len > 0) memcpy(out + pos, s, len);
    pos += len;
  }
  void fill(char ch, int len) {
    char buf[16];
    memset(buf, ch, sizeof buf);
    put(buf, len);
  }

  // A number in `w` digits: zero-filled, blank-padded, or unpadded on the
  // display of a field that is not an entry field.
  // A level right after another level ("8877", "4433") reads as one
  // number on the screen, so it is zero-filled there.
  bool joined = false;

  void number(int v, int w, uint8_t mod) {
    char buf[16];
    if (mod == 'Z' || (joined && d->display)) snprintf(buf, sizeof buf, "%0*d", w, v);
    else if (d->display && !d->entry) snprintf(buf, sizeof buf, "%d", v);
    else snprintf(buf, sizeof buf, "%*d", w, v);
    if (static_cast<int>(strlen(buf)) > w) overflow = true;
    put(buf, static_cast<int>(strlen(buf)));
  }

  void level(int lvl, uint8_t mod) {
    int v = d->at(lvl);
    if (v == kPartNotGiven) return put(placeholder(lvl), 2);
    if (v < 0) return fill('?', 2);
    if (lvl == LVL_HOUR && !d->h24) v = v == 0 ? 12 : (v > 12 ? v - 12 : v);
    number(v, 2, mod);
  }

  void day_of_year(uint8_t mod) {
    const int v = date_doy_of(d);
    if (v == kPartNotGiven) return put(doy_placeholder(), 3);
    if (v < 0) return fill('?', 3);
    number(v, 3, mod);
  }

  void name(const char* word, int len, int width, uint8_t mod) {
    char buf[16];
    put_cased(buf, word, len, mod);
    put(buf, len);
    if (width > len) fill(' ', width - len);
  }

  int name_width(int own) const { return (d->display && d->entry) ? 10 : own; }

  void chunk(const date_chunk& c) {
    const bool after_level = prev_level;
    prev_level = is_level_code(c.code);
    if (is_level_code(c.code)) {
      joined = after_level;
      return level(c.code - '0', c.mod);
    }
    switch (c.code) {
      case TK_LITERAL: return put(c.text, static_cast<int>(c.text_len));
      case TK_DOY: return day_of_year(c.mod);
      case TK_AMPM: {
        const int h = d->at(LVL_HOUR);
        if (h < kPartNotGiven) return fill('?', 2);
        return name(com.ampm + (h >= 12 ? 2 : 0), 2, 2, c.mod);
      }
      case TK_DAY_ABBR:
      case TK_DAY_NAME: {
        if (d->at(LVL_DAY) < kPartNotGiven) return fill('?', c.code == TK_DAY_ABBR ? 3 : name_width(3));
        const int i = date_weekday(d);
        if (c.code == TK_DAY_ABBR) return name(com.day_abbr[i], 3, 3, c.mod);
        return name(com.day_names[i], com.day_lens[i], name_width(com.day_lens[i]), c.mod);
      }
      case TK_MONTH_ABBR:
      case TK_MONTH_NAME: {
        const int m = d->at(LVL_MONTH);
        if (m < kPartNotGiven) return fill('?', c.code == TK_MONTH_ABBR ? 3 : name_width(5));
        const int i = (m >= 1 && m <= 12) ? m : 0;
        if (c.code == TK_MONTH_ABBR) return name(com.month_abbr[i], 3, 3, c.mod);
        return name(com.month_names[i], com.month_lens[i], name_width(com.month_lens[i]), c.mod);
      }
      case TK_SUFFIX: {
        const int v = d->doy ? date_doy_of(d) : d->at(LVL_DAY);
        if (v < 0) return fill(' ', 2);
        return name(ordinal_suffix(v), 2, 2, c.mod);
      }
      default: overflow = true;
    }
  }
};

}  // namespace

int ntos_alp_date(std_date* d) {
  const int n = d->raw_len;
  date_set_all(d, kPartNotGiven);
  if (all_blank(d->raw, n)) return 1;

  text_reader rd{d, d->raw, n};
  const char* m = d->mask;
  const int mlen = static_cast<int>(d->mask_len);
  for (int p = 0; p < mlen;) {
    const date_chunk c = cv_get_chunk(m + p, mlen - p, 1);
    p += static_cast<int>(c.used);
    if (!rd.chunk(c)) return 0;
  }
  if (rd.pos < n && !all_blank(d->raw + rd.pos, n - rd.pos)) return 0;

  // Empty: everything given is zero (an element whose mask lacks its
  // century goes on to the pivot even then).
  bool any_given = rd.doy >= 0, all_zero = rd.doy <= 0;
  for (int lvl = d->first; lvl >= d->last && lvl >= 1; --lvl) {
    if (d->at(lvl) < 0) continue;
    any_given = true;
    if (d->at(lvl) != 0) all_zero = false;
  }
  if (!any_given) return 1;  // undefined
  if (all_zero && !(d->first == LVL_CENTURY && !rd.century_in_mask)) {
    date_set_all(d, 0);
    return 1;
  }

  if (d->first == LVL_CENTURY && !rd.century_in_mask && d->at(LVL_YEAR) >= 0)
    d->at(LVL_CENTURY) = static_cast<int8_t>(date_century_for(d->at(LVL_YEAR)));
  if (rd.doy >= 0) {
    if (d->first >= LVL_YEAR && d->at(LVL_YEAR) < 0) return 0;
    if (d->first == LVL_CENTURY && d->at(LVL_CENTURY) < 0) return 0;
    if (!date_set_doy(date_full_year(d), rd.doy, &d->at(LVL_MONTH), &d->at(LVL_DAY))) return 0;
  }
  int8_t& hour = d->at(LVL_HOUR);
  if (!d->h24 && hour >= 0 && date_part_held(d, LVL_HOUR)) {
    if (hour < 1 || hour > 12) return 0;
    if (rd.ampm == 1 && hour < 12) hour = static_cast<int8_t>(hour + 12);
    if (rd.ampm == 0 && hour == 12) hour = 0;
  }
  if (!date_check_parts(d)) return 0;
  date_clear_unheld(d);
  return 1;
}

int ston_alp_date(std_date* d) {
  const int n = d->raw_len;
  char* out = reinterpret_cast<char*>(d->raw);
  memset(out, ' ', n);
  if (date_all_held(d, kPartNotGiven) && !(d->display && d->entry)) return 1;

  text_writer wr{d, out, n};
  const char* m = d->mask;
  const int mlen = static_cast<int>(d->mask_len);
  for (int p = 0; p < mlen;) {
    const date_chunk c = cv_get_chunk(m + p, mlen - p, 1);
    p += static_cast<int>(c.used);
    wr.chunk(c);
  }
  return wr.overflow ? 0 : 1;
}

}  // namespace kivo
