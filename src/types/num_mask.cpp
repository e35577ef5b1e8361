// The numeric mask grammar: four zones (before the digits, a leading-sign
// zone, the digits, after the digits), one digit run with its optional
// grouping and decimal point, signs, brackets and currency.
//
// One scan serves the check (`cv_num_msk`), the part positions that the
// formatter and the reading use (`part_of`), and the sign count of the
// credit/debit layout (`compute_msk_chars`).
#include <cstring>

#include "types/num_internal.h"

namespace kivo {

using numi::mask_layout;

namespace {

// Order of the digit characters in a run: '9's, then '8's, '*'s, '0's.
int rank_of(char ch) {
  switch (ch) {
    case '9': return 0;
    case '8': return 1;
    case '*': return 2;
    case '0': return 3;
    default: return -1;
  }
}

bool is_run_char(char ch) { return rank_of(ch) >= 0; }

struct scan_state {
  mask_layout* L;
  int zone = 1;
  bool run_seen = false, sign_seen = false, bracket_used = false;
  bool cur_before = false, cur_after = false;
  char open = 0;
};

// The integer positions of the run from `i`; the index after them, or -1.
int scan_integers(const char* m, int n, int i, mask_layout* L) {
  int rank = 0, group = 0;
  bool grouped = false;
  while (i < n) {
    const char ch = m[i];
    if (ch == ',') {
      if (group == 0 || group > 3 || (grouped && group != 3)) return -1;
      // The group after a comma is three run characters that keep the order.
      int r = rank;
      for (int k = 1; k <= 3; ++k) {
        const int rk = i + k < n ? rank_of(m[i + k]) : -1;
        if (rk < r) return -1;
        r = rk;
      }
      grouped = true;
      L->has_group = 1;
      group = 0;
      ++i;
      continue;
    }
    const int r = rank_of(ch);
    if (r < rank) break;
    if (grouped && group == 3) return -1;
    rank = r;
    ++group;
    ++L->int_pos;
    ++i;
  }
  if (grouped && group != 3) return -1;
  return i;
}

// The decimal positions after the run's '.': '0's, '*'s, '8's, then '9's.
int scan_decimals(const char* m, int n, int i, mask_layout* L) {
  int rank = 3;
  while (i < n) {
    const int r = rank_of(m[i]);
    if (r < 0 || r > rank) break;
    rank = r;
    ++L->dec_pos;
    ++i;
  }
  return i;
}

int scan_run(const char* m, int n, int i, mask_layout* L) {
  if (m[i] != '.') {
    i = scan_integers(m, n, i, L);
    if (i < 0) return -1;
  }
  if (i < n && m[i] == '.') {
    L->point = i;
    L->has_point = 1;
    i = scan_decimals(m, n, i + 1, L);
  }
  L->tot = static_cast<uint8_t>(L->int_pos + L->dec_pos);
  return i;
}

void enter_part(mask_layout* L, int part, int at) {
  L->start[part] = at;
  L->span[part] = 0;
}

// Zone numbers map to the parts: 1 -> 1, 2 -> 2, 3 -> 4 (after the digits),
// 4 -> 5.
int part_of_zone(int zone) { return zone <= 2 ? zone : zone + 1; }

bool scan_sign(scan_state& s, const num_cnv* c, int i) {
  if (s.sign_seen || s.open || s.bracket_used) return false;
  s.sign_seen = true;
  s.L->sign_kind = NUM_SIGN_MINUS;
  if (s.zone == 3 && c->drcr) {
    s.zone = 4;
    s.L->trail_sign = 1;
    enter_part(s.L, NUM_PART_TRAIL, i);
  }
  return true;
}

bool scan_currency(scan_state& s) {
  if (s.zone < 3) {
    if (s.cur_before) return false;
    s.cur_before = true;
    s.L->cur_kind = NUM_CUR_ONE;
    return true;
  }
  if (s.cur_after) return false;
  s.cur_after = true;
  s.L->cur_kind = s.cur_before ? NUM_CUR_BOTH : NUM_CUR_ONE;
  return true;
}

bool scan_bracket(scan_state& s, char ch) {
  if (ch == '(' || ch == '<') {
    if (s.zone >= 3 || s.bracket_used || s.sign_seen) return false;
    s.open = ch;
    s.bracket_used = true;
    s.L->sign_kind = NUM_SIGN_BRACKETS;
    return true;
  }
  if (s.zone < 3 || s.open != (ch == ')' ? '(' : '<')) return false;
  s.open = 0;
  return true;
}

bool scan_underscore(scan_state& s, int i) {
  if (s.zone != 1 && s.zone != 3) return false;
  ++s.zone;
  enter_part(s.L, part_of_zone(s.zone), i + 1);
  return true;
}

// One character (or "cr"/"dr") outside the run; the index after it, or -1.
int scan_other(scan_state& s, const num_cnv* c, const char* m, int n, int i) {
  const char ch = m[i];
  const bool word = (ch == 'c' || ch == 'd') && i + 1 < n && m[i + 1] == 'r';
  bool ok = true;
  if (ch == '-' || word) ok = scan_sign(s, c, i);
  else if (ch == '$') ok = scan_currency(s);
  else if (ch == '(' || ch == '<' || ch == ')' || ch == '>') ok = scan_bracket(s, ch);
  else if (ch == '_') return scan_underscore(s, i) ? i + 1 : -1;
  if (!ok) return -1;
  const int width = word ? 2 : 1;
  s.L->span[part_of_zone(s.zone)] += width;
  return i + width;
}

bool starts_run(const char* m, int n, int i) {
  return is_run_char(m[i]) || (m[i] == '.' && i + 1 < n && is_run_char(m[i + 1]));
}

}  // namespace

namespace numi {

namespace {

bool scan_fresh(const num_cnv* c, mask_layout* L);

// The last mask scanned, per thread: a field is converted many times
// through one mask.
struct scan_cache {
  bool valid = false, ok = false;
  uint8_t len = 0, drcr = 0;
  char mask[kNumMaskLen];
  mask_layout L;
};

}  // namespace

bool scan_mask(const num_cnv* c, mask_layout* L) {
  thread_local scan_cache last;
  const size_t n = c->mask_len > kNumMaskLen ? kNumMaskLen : c->mask_len;
  if (!last.valid || last.len != n || last.drcr != c->drcr || memcmp(last.mask, c->mask, n) != 0) {
    last.ok = scan_fresh(c, &last.L);
    last.len = static_cast<uint8_t>(n);
    last.drcr = c->drcr;
    memcpy(last.mask, c->mask, n);
    last.valid = true;
  }
  *L = last.L;
  L->m = c->mask;
  return last.ok;
}

namespace {

bool scan_fresh(const num_cnv* c, mask_layout* L) {
  memset(L, 0, sizeof *L);
  const char* m = c->mask;
  int n = c->mask_len > kNumMaskLen ? kNumMaskLen : c->mask_len;
  while (n > 0 && m[n - 1] == ' ') --n;
  L->m = m;
  L->len = n;
  L->point = -1;
  scan_state s;
  s.L = L;
  for (int i = 0; i < n;) {
    if (starts_run(m, n, i)) {
      if (s.run_seen || s.zone > 2) return false;
      s.run_seen = true;
      enter_part(L, NUM_PART_DIGITS, i);
      const int end = scan_run(m, n, i, L);
      if (end < 0) return false;
      L->span[NUM_PART_DIGITS] = end - i;
      s.zone = 3;
      enter_part(L, NUM_PART_AFTER, end);
      i = end;
      continue;
    }
    i = scan_other(s, c, m, n, i);
    if (i < 0) return false;
  }
  // Parts never entered start where the mask ends.
  if (!s.run_seen || s.open) return false;
  if (s.zone < 4) enter_part(L, NUM_PART_TRAIL, n);
  return true;
}

}  // namespace

}  // namespace numi

int cv_num_msk(num_cnv* c) {
  mask_layout L;
  if (!numi::scan_mask(c, &L)) return 0;
  c->msk_tot = L.tot;
  c->msk_int = L.int_pos;
  c->msk_dec = L.dec_pos;
  c->sign_kind = L.sign_kind;
  c->cur_kind = L.cur_kind;
  c->has_point = L.has_point;
  c->has_group = L.has_group;
  c->trail_sign = L.trail_sign;
  c->zone_lits[0] = static_cast<uint8_t>(L.span[NUM_PART_LEAD]);
  c->zone_lits[1] = static_cast<uint8_t>(L.span[NUM_PART_SIGN]);
  c->zone_lits[2] = static_cast<uint8_t>(L.span[NUM_PART_AFTER]);
  c->zone_lits[3] = static_cast<uint8_t>(L.span[NUM_PART_TRAIL]);
  return 1;
}

int part_of(const num_cnv* c, int part, int* start, int* len) {
  mask_layout L;
  if (part < NUM_PART_LEAD || part > NUM_PART_TRAIL || !numi::scan_mask(c, &L)) return 0;
  *start = L.start[part];
  *len = L.span[part];
  return 1;
}

int compute_msk_chars(const num_cnv* c) {
  mask_layout L;
  if (!numi::scan_mask(c, &L)) return 0;
  int count = 0;
  if (c->drcr) {
    const int end = L.start[NUM_PART_DIGITS];
    for (int i = 0; i < end; ++i) count += L.m[i] == '-' || L.m[i] == '(' || L.m[i] == '<';
    return count;
  }
  const int end = L.point >= 0 ? L.point : L.len;
  for (int i = 0; i < end; ++i) {
    const char ch = L.m[i];
    if (ch == '-' || ch == '(' || ch == '<' || ch == ')' || ch == '>') ++count;
    if ((ch == 'c' || ch == 'd') && i + 1 < L.len && L.m[i + 1] == 'r') ++count;
  }
  return count;
}

}  // namespace kivo
