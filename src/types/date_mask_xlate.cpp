// Translation of date masks between the spelling users write (names of the
// current language) and the stored spelling that does not depend on it.
//
// Both routines rewrite the 60-character mask only on success. The reverse
// translation quotes any literal word that would read as a name, and puts an
// empty quote between a name and an adjacent letter, so that translating the
// result back gives the stored mask again.
#include <cctype>
#include <cstring>
#include <string>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "types/date_mask.h"

namespace kivo {

namespace {

constexpr uint32_t kStatusDone = 1;
constexpr uint32_t kStatusRefused = 2;

int trimmed_len(const uint8_t* s, int n) {
  while (n > 0 && s[n - 1] == ' ') --n;
  return n;
}

bool is_letter(char c) { return isalpha(static_cast<unsigned char>(c)) != 0; }

bool finish(uint8_t* arg, const std::string& out) {
  if (out.size() > static_cast<size_t>(kDateMaskLen)) return false;
  memcpy(arg, out.data(), out.size());
  memset(arg + out.size(), ' ', kDateMaskLen - out.size());
  st_le32(arg, kDateMaskLen, kStatusDone);
  return true;
}

void put_cased(std::string& out, const char* word, int n, uint8_t mod) {
  for (int i = 0; i < n; ++i) {
    const unsigned char ch = static_cast<unsigned char>(word[i]);
    const bool upper = mod == 'U' || (mod == 'C' && i == 0);
    out += static_cast<char>(upper ? toupper(ch) : tolower(ch));
  }
}

// Keeps a name from running into a letter on either side.
void separate(std::string& out, char next) {
  if (!out.empty() && is_letter(out.back()) && is_letter(next)) out += "\"\"";
}

}  // namespace

int cv_xlate_dat_msk(void*, uint8_t* arg) {
  st_le32(arg, kDateMaskLen, kStatusRefused);
  const char* src = reinterpret_cast<const char*>(arg);
  const int n = trimmed_len(arg, kDateMaskLen);
  if (memchr(src, '~', n)) return 0;

  std::string out;
  bool level_used[9] = {}, ampm_used = false, weekday_used = false, month_used = false;
  bool after_day = false;
  for (int p = 0; p < n;) {
    const date_chunk c = cv_get_chunk(src + p, n - p, 0, after_day);
    const std::string text(src + p, c.used);
    p += static_cast<int>(c.used);
    after_day = false;
    if (c.code == TK_LITERAL) {
      if (c.mod == 'Q') return 0;  // unterminated quote
      out += text;
      continue;
    }
    bool* slot = nullptr;
    if (is_level_code(c.code)) slot = &level_used[c.code - '0'];
    else if (c.code == TK_DOY || c.code == TK_MONTH_ABBR || c.code == TK_MONTH_NAME) slot = &month_used;
    else if (c.code == TK_DAY_ABBR || c.code == TK_DAY_NAME) slot = &weekday_used;
    else if (c.code == TK_AMPM) slot = &ampm_used;
    if (slot && *slot) {
      out += '"' + text + '"';  // a second occurrence stays literal
      continue;
    }
    if (slot) *slot = true;
    if (is_level_code(c.code) || c.code == TK_DOY) {
      out += text;
      after_day = c.code == '5' || c.code == TK_DOY;
    } else {
      out += '~';
      out += static_cast<char>(c.code);
      out += static_cast<char>(c.mod);
    }
  }
  return finish(arg, out) ? 1 : 0;
}

namespace {

// A literal run of the mask: words that would read as names in the user's
// spelling get quotes.
void quote_literal(std::string& out, const char* text, size_t used, bool after_day, bool after_name) {
  bool sub_after_day = after_day;
  for (int q = 0; q < static_cast<int>(used);) {
    const date_chunk s = cv_get_chunk(text + q, static_cast<int>(used) - q, 0, sub_after_day);
    const std::string piece(text + q, s.used);
    q += static_cast<int>(s.used);
    sub_after_day = false;
    if (after_name) separate(out, piece[0]);
    after_name = false;
    if (s.code == TK_LITERAL) out += piece;
    else out += '"' + piece + '"';
  }
}

// A token in the user's spelling; false for a suffix that follows no day.
bool spell_token(std::string& word, const date_chunk& c, const char* text, bool after_day) {
  switch (c.code) {
    case TK_AMPM: put_cased(word, com.ampm, 2, c.mod); return true;
    case TK_MONTH_ABBR: put_cased(word, com.month_abbr[1], 3, c.mod); return true;
    case TK_MONTH_NAME: put_cased(word, com.month_names[1], com.month_lens[1], c.mod); return true;
    case TK_DAY_ABBR: put_cased(word, com.day_abbr[1], 3, c.mod); return true;
    case TK_DAY_NAME: put_cased(word, com.day_names[1], com.day_lens[1], c.mod); return true;
    case TK_SUFFIX:
      if (!after_day) return false;
      put_cased(word, "TH", 2, c.mod);
      return true;
    default:
      word.assign(text, c.used);  // level and day-of-year tokens are spelled alike
      return true;
  }
}

}  // namespace

int cv_unxlate_dat_msk(void*, uint8_t* arg) {
  st_le32(arg, kDateMaskLen, kStatusRefused);
  const char* src = reinterpret_cast<const char*>(arg);
  const int n = trimmed_len(arg, kDateMaskLen);

  std::string out;
  bool after_day = false, after_name = false;
  for (int p = 0; p < n;) {
    const date_chunk c = cv_get_chunk(src + p, n - p, 1);
    const char* text = src + p;
    p += static_cast<int>(c.used);
    if (c.code == TK_LITERAL) {
      if (c.mod == 'Q') return 0;
      quote_literal(out, text, c.used, after_day, after_name);
      after_day = after_name = false;
      continue;
    }
    if (text[0] == '~' && (is_level_code(c.code) || c.code == TK_DOY)) return 0;
    std::string word;
    if (!spell_token(word, c, text, after_day)) return 0;
    const bool is_name = !(is_level_code(c.code) || c.code == TK_DOY);
    if (is_name) separate(out, word[0]);
    out += word;
    after_name = is_name;
    after_day = c.code == '5' || c.code == TK_DOY;
  }
  return finish(arg, out) ? 1 : 0;
}

}  // namespace kivo
