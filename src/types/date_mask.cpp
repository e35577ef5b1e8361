// The date-mask chunk reader and the mask compiler.
//
// A compiled mask is read again by the same chunk reader (stored spelling),
// so the compiler writes literals as their source text (quotes and escapes
// kept) and tokens in the "~" form, which no literal can be confused with.
#include "types/date_mask.h"

#include <cctype>
#include <cstring>
#include <initializer_list>

#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "types/std_date.h"

namespace kivo {

namespace {

bool is_level_digit(char c) { return c >= '1' && c <= '8'; }

uint32_t name_width(uint8_t code) {
  switch (code) {
    case TK_MONTH_NAME:
    case TK_DAY_NAME: return 10;
    case TK_MONTH_ABBR:
    case TK_DAY_ABBR: return 3;
    default: return 2;  // am/pm, suffix
  }
}

// A token at the start of `t` in stored spelling; false when none starts there.
bool stored_token(const char* t, int n, date_chunk* c) {
  if (n >= 3 && t[0] == '5' && t[1] == '5' && t[2] == '5') {
    *c = date_chunk{3, 3, 0, {}, TK_DOY, 'B'};
    return true;
  }
  if (n >= 3 && t[0] == '0' && (t[1] == '0' || t[1] == '5') && t[2] == '5') {
    *c = date_chunk{3, 3, 0, {}, TK_DOY, 'Z'};
    return true;
  }
  if (n >= 2 && is_level_digit(t[0]) && t[1] == t[0]) {
    *c = date_chunk{2, 2, 0, {}, static_cast<uint8_t>(t[0]), 'B'};
    return true;
  }
  if (n >= 2 && t[0] == '0' && is_level_digit(t[1])) {
    *c = date_chunk{2, 2, 0, {}, static_cast<uint8_t>(t[1]), 'Z'};
    return true;
  }
  return false;
}

// The three-character "~" form: a level digit or 'J' with 'Z'/'B', or a name
// code with a case modifier.
bool tilde_token(const char* t, int n, date_chunk* c) {
  if (n < 3 || t[0] != '~') return false;
  char code = t[1], mod = t[2];
  if ((is_level_digit(code) || code == 'J') && (mod == 'Z' || mod == 'B')) {
    *c = date_chunk{3, code == 'J' ? 3u : 2u, 0, {}, static_cast<uint8_t>(code), static_cast<uint8_t>(mod)};
    return true;
  }
  if (strchr("ASMmDd", code) && code != '\0' && (mod == 'U' || mod == 'L' || mod == 'C')) {
    *c = date_chunk{
        3, name_width(static_cast<uint8_t>(code)), 0, {}, static_cast<uint8_t>(code), static_cast<uint8_t>(mod)};
    return true;
  }
  return false;
}

bool is_letter(char c) { return isalpha(static_cast<unsigned char>(c)) != 0; }

uint8_t case_of(const char* w, int n) {
  if (islower(static_cast<unsigned char>(w[0]))) return 'L';
  if (n >= 2 && isupper(static_cast<unsigned char>(w[0])) && isupper(static_cast<unsigned char>(w[1]))) return 'U';
  return 'C';
}

// A name of the language (source spelling) at the start of `t`: the longest
// match that is not followed by a further letter; an abbreviation wins over a
// full name of the same length.
bool name_token(const char* t, int n, bool after_day, date_chunk* c) {
  int best_len = 0;
  uint8_t best_code = 0;
  auto consider = [&](const char* word, int wlen, uint8_t code) {
    if (wlen <= 0 || wlen > n || wlen < best_len) return;
    if (strncasecmp(t, word, wlen) != 0) return;
    if (wlen < n && is_letter(t[wlen])) return;
    if (wlen == best_len && !(code == TK_MONTH_ABBR || code == TK_DAY_ABBR)) return;
    best_len = wlen;
    best_code = code;
  };
  for (int i = 1; i <= 12; ++i) {
    consider(com.month_names[i], com.month_lens[i], TK_MONTH_NAME);
    consider(com.month_abbr[i], 3, TK_MONTH_ABBR);
  }
  for (int i = 1; i <= 7; ++i) {
    consider(com.day_names[i], com.day_lens[i], TK_DAY_NAME);
    consider(com.day_abbr[i], 3, TK_DAY_ABBR);
  }
  consider(com.ampm, 2, TK_AMPM);
  consider(com.ampm + 2, 2, TK_AMPM);
  if (after_day) {
    for (const char* s : {"ST", "ND", "RD", "TH"}) consider(s, 2, TK_SUFFIX);
  }
  if (best_len == 0) return false;
  *c = date_chunk{static_cast<uint32_t>(best_len), name_width(best_code), 0, {}, best_code, case_of(t, best_len)};
  return true;
}

bool token_at(const char* t, int n, bool digits_only, bool after_day, bool word_start, date_chunk* c) {
  if (stored_token(t, n, c)) return true;
  if (digits_only) return tilde_token(t, n, c);
  return word_start && name_token(t, n, after_day, c);
}

}  // namespace

date_chunk cv_get_chunk(const char* text, int len, int digits_only, int after_day) {
  date_chunk c{};
  if (len <= 0) return c;
  if (token_at(text, len, digits_only, after_day, true, &c)) return c;

  // A run of literal text up to the next token.
  c.code = TK_LITERAL;
  int p = 0;
  while (p < len && c.text_len < kDateMaskLen) {
    char ch = text[p];
    if (p > 0) {
      date_chunk next;
      bool word_start = !is_letter(text[p - 1]);
      if (token_at(text + p, len - p, digits_only, false, word_start, &next)) break;
    }
    if (ch == '"') {
      int q = p + 1;
      while (q < len && text[q] != '"' && c.text_len < kDateMaskLen) c.text[c.text_len++] = text[q++];
      if (q >= len) {
        c.mod = 'Q';  // unterminated quote
        p = len;
      } else if (text[q] == '"') {
        p = q + 1;
      } else {
        p = q;  // text full: the rest of the quote goes on in the next chunk
        break;
      }
      continue;
    }
    if (ch == '\\' && p + 1 < len) {
      c.text[c.text_len++] = text[p + 1];
      p += 2;
      continue;
    }
    c.text[c.text_len++] = ch;
    ++p;
  }
  c.used = static_cast<uint32_t>(p);
  c.width = c.text_len;
  return c;
}

namespace {

constexpr int kCompiledMax = 256;

struct compile_state {
  char out[kCompiledMax];
  int out_len = 0;
  uint32_t width = 0;
  bool overflow = false;

  void put(const char* s, int n, uint32_t w) {
    if (out_len + n > kCompiledMax) {
      overflow = true;
      return;
    }
    memcpy(out + out_len, s, n);
    out_len += n;
    width += w;
  }
};

// Whether a token fits an element of levels hi..lo; sets the flags it shows.
bool token_valid(date_msk_blk* b, int hi, int lo, bool ampm_ok, uint8_t code) {
  if (is_level_code(code)) {
    int d = code - '0';
    if (d < lo || d > hi) return false;
    b->level_flags[d - 1] = 1;
    return true;
  }
  switch (code) {
    case TK_AMPM:
      if (hi < LVL_HOUR || lo > LVL_HOUR || !ampm_ok) return false;
      b->h24 = 0;
      return true;
    case TK_DAY_NAME:
    case TK_DAY_ABBR: return hi > 6 && lo < 6;
    case TK_DOY:
      if (hi < 6 || lo >= 6) return false;
      b->doy = 1;
      b->level_flags[5] = b->level_flags[4] = 1;
      return true;
    case TK_MONTH_NAME:
    case TK_MONTH_ABBR:
      if (hi < 6 || lo > 6) return false;
      b->level_flags[5] = 1;
      return true;
    case TK_SUFFIX: return hi > 4 && lo < 6;
    default: return false;
  }
}

bool known_token(uint8_t code) { return is_level_code(code) || (code && strchr("AdDJmMS", code)); }

int trimmed(const char* s, int n) {
  while (n > 0 && s[n - 1] == ' ') --n;
  return n;
}

bool valid_mask_type(uint8_t type) {
  return type == DT_TEXT_ANY || (type >= DT_TEXT_DOY && type <= DT_PD) || type == DT_UNIVERSAL;
}

// Compiles the mask's chunks into `st`. A literal before a token is kept only
// when the token is; a literal after a kept token stays with it; a trailing
// dropped token takes back what followed the last kept one. False on a token
// no mask may hold.
bool compile_chunks(date_msk_blk* b, int hi, int lo, bool ampm_ok, compile_state& st) {
  char pending[kCompiledMax];
  int pending_len = 0;
  uint32_t pending_width = 0;
  bool after_valid = false, last_dropped = false;
  int keep_len = 0;
  uint32_t keep_width = 0;

  const int n = trimmed(b->mask, static_cast<int>(b->len));
  for (int p = 0; p < n;) {
    date_chunk c = cv_get_chunk(b->mask + p, n - p, 1);
    const char* src = b->mask + p;
    p += static_cast<int>(c.used);
    if (c.code == TK_LITERAL) {
      if (after_valid) {
        st.put(src, static_cast<int>(c.used), c.width);
      } else if (pending_len + static_cast<int>(c.used) <= kCompiledMax) {
        memcpy(pending + pending_len, src, c.used);
        pending_len += static_cast<int>(c.used);
        pending_width += c.width;
      }
      continue;
    }
    if (!known_token(c.code)) return false;
    after_valid = token_valid(b, hi, lo, ampm_ok, c.code);
    last_dropped = !after_valid;
    if (after_valid) {
      st.put(pending, pending_len, pending_width);
      char tok[3] = {'~', static_cast<char>(c.code), static_cast<char>(c.mod)};
      st.put(tok, 3, c.width);
      keep_len = st.out_len;
      keep_width = st.width;
    }
    pending_len = 0;
    pending_width = 0;
  }
  if (last_dropped) {
    st.out_len = keep_len;
    st.width = keep_width;
  }
  return true;
}

// The compiled form into the block, blank padded. False when it does not fit.
bool store_compiled(date_msk_blk* b, const compile_state& st) {
  int out_len = trimmed(st.out, st.out_len);
  if (st.overflow || out_len > static_cast<int>(b->len)) {
    b->first = b->last = 0;
    return false;
  }
  memcpy(b->mask, st.out, out_len);
  memset(b->mask + out_len, ' ', b->len - out_len);
  b->len = static_cast<uint32_t>(out_len);
  return true;
}

// The levels found into first/last: contiguous or 0/0.
void settle_levels(date_msk_blk* b) {
  int first = 0, last = 0;
  for (int lvl = 8; lvl >= 1; --lvl) {
    if (!b->level_flags[lvl - 1]) continue;
    if (!first) first = lvl;
    last = lvl;
  }
  for (int lvl = first; lvl >= last && first; --lvl) {
    if (!b->level_flags[lvl - 1]) {
      first = last = 0;
      break;
    }
  }
  b->first = static_cast<uint8_t>(first);
  b->last = static_cast<uint8_t>(last);
}

// Refines the storage type by the day of year and gives the length to use.
int refined_length(date_msk_blk* b, uint8_t type, uint32_t width) {
  const int first = b->first, last = b->last;
  switch (type) {
    case DT_TEXT_ANY:
    case DT_TEXT_DOY:
    case DT_TEXT: b->type = b->doy ? DT_TEXT_DOY : DT_TEXT; return static_cast<int>(width);
    case DT_BIN_ANY:
    case DT_BIN_DOY:
    case DT_BIN:
      b->type = b->doy ? DT_BIN_DOY : DT_BIN;
      if (!first) return 0;
      return (first >= LVL_DAY && last <= LVL_HOUR) ? 8 : 4;
    case DT_PD_ANY:
    case DT_PD_DOY:
    case DT_PD:
      b->type = b->doy ? DT_PD_DOY : DT_PD;
      if (!first) return 0;
      return first - last + 2;
    default: return kUniversalLen;
  }
}

}  // namespace

int cv_cmpl_date_msk(date_msk_blk* b) {
  const uint8_t type = b->type;
  if (!valid_mask_type(type)) {
    sys_err("CVDAT", __LINE__, "cv_cmpl_date_msk() - bad storage type");
    return 0;
  }
  const int hi = b->first, lo = b->last;
  const bool ampm_ok = b->h24 != 0;
  memset(b->level_flags, 0, sizeof b->level_flags);
  b->doy = 0;
  b->h24 = 1;

  compile_state st;
  if (!compile_chunks(b, hi, lo, ampm_ok, st)) {
    sys_err("CVDAT", __LINE__, "cv_cmpl_date_msk() - bad mask token");
    return 0;
  }
  if (!store_compiled(b, st)) return 0;
  settle_levels(b);
  bool any_level = false;
  for (uint8_t f : b->level_flags) any_level |= f != 0;
  if (!any_level) return 0;
  return refined_length(b, type, st.width);
}

}  // namespace kivo
